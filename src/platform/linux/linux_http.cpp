#include "platform/linux/linux_http.h"

#include "platform/linux/glib_owners.h"
#include "platform/linux/http_status_line.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <list>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <pthread.h>
#include <string_view>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>

namespace ShadeLedgerZizadezavav {

namespace {

constexpr const char* shutDown = "The HTTP client was shut down.";
constexpr const char* notStarted = "The HTTP client could not start its thread.";

// Nothing that could end the request line or a header early.
bool isPlainText(std::string_view text)
{
    for (unsigned char character : text) {
        if (character <= 0x20 || character >= 0x7f) {
            return false;
        }
    }
    return true;
}

const char* connectionFailure(int error)
{
    return error == ECONNREFUSED ? "The connection was refused." : "Could not connect.";
}

} // namespace

// Everything below runs on the client thread, except the constructor, the destructor
// and submit(), which run on the caller's thread and only touch the hand-over.
//
// The thread waits in epoll_wait on one descriptor that holds the hand-over's eventfd and
// every request's socket, with the earliest deadline as the time-out. A probe usually
// costs two wake-ups: the hand-over, then the answer.
class LinuxHTTPClient::Engine {
public:
    explicit Engine(std::chrono::milliseconds timeout);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Starts the client thread; false, with why, when it cannot be made. Tried again at a
    // later request: processes and threads may be short only for a while.
    bool start(std::string& why);
    bool started() const { return thread_.joinable(); }
    void submit(const std::string& address, HTTPCompletion completion);

private:
    using Clock = std::chrono::steady_clock;
    struct Request;
    using Requests = std::list<Request>;

    // Where an address leads and what is sent there.
    struct Target {
        sockaddr_storage address{};
        socklen_t addressLength = 0;
        std::string requestText;
    };

    // Owned by exactly one list: the hand-over queue, then the requests in flight, then, done
    // and without its socket, the spares that later requests reuse (the probe's every 3 s
    // then allocates nothing here on one thread to free it on another).
    struct Request {
        std::string address;
        HTTPCompletion completion;
        Requests::iterator position;
        FileDescriptor socket;
        // Its name in the epoll set. Not its address: a child process forked meanwhile may
        // hold the socket open, and its registration with it, after the request is gone.
        std::uint64_t id = 0;
        Clock::time_point deadline;
        std::shared_ptr<const Target> target;
        std::size_t sent = 0;
        StatusLineState answer;
    };

    void run();
    // Milliseconds until the earliest deadline; -1 when nothing is in flight.
    int waitTime() const;
    // False once the client is shutting down.
    bool takeSubmissions();
    void start(Request& request);
    // An error when the address is unusable.
    static const char* parse(const std::string& address, Target& target);
    // Starts connecting; an error when that fails at once.
    const char* connect(Request& request);
    // False once the request has completed (and is gone).
    bool send(Request& request);
    void receive(Request& request);
    void complete(Request& request, HTTPResult result);
    // Waits for the socket to be ready for what comes next (an epoll_ctl operation).
    void watch(Request& request, int operation, std::uint32_t events);
    void handle(Request& request);

    std::chrono::milliseconds timeout_;
    // The hand-over from get() and the destructor: a queue under a std::mutex and an
    // eventfd in the epoll set.
    std::mutex submissionsMutex_;
    Requests submissions_;
    Requests spares_;
    bool quitRequested_ = false;
    FileDescriptor wakeDescriptor_;
    FileDescriptor epollDescriptor_;
    Requests inFlight_;
    // Completed since the last hand-over, on their way to the spares.
    Requests finished_;
    std::uint64_t lastId_ = 0;
    std::string targetAddress_;
    std::shared_ptr<const Target> target_;
    std::string setupError_;
    std::thread thread_;
};

LinuxHTTPClient::Engine::Engine(std::chrono::milliseconds timeout)
    : timeout_(timeout)
    , wakeDescriptor_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    , epollDescriptor_(epoll_create1(EPOLL_CLOEXEC))
{
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u64 = 0;
    if (!wakeDescriptor_ || !epollDescriptor_
        || epoll_ctl(epollDescriptor_.get(), EPOLL_CTL_ADD, wakeDescriptor_.get(), &wake) != 0) {
        setupError_ = g_strerror(errno);
    }
}

LinuxHTTPClient::Engine::~Engine()
{
    if (!thread_.joinable()) {
        return;
    }
    {
        std::lock_guard lock(submissionsMutex_);
        quitRequested_ = true;
    }
    eventfd_write(wakeDescriptor_.get(), 1);
    thread_.join();
}

bool LinuxHTTPClient::Engine::start(std::string& why)
{
    if (!setupError_.empty()) {
        why = setupError_;
        return false;
    }
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error& error) {
        why = error.what();
        return false;
    }
    return true;
}

void LinuxHTTPClient::Engine::submit(const std::string& address, HTTPCompletion completion)
{
    {
        std::lock_guard lock(submissionsMutex_);
        if (spares_.empty()) {
            submissions_.emplace_back();
        } else {
            submissions_.splice(submissions_.end(), spares_, spares_.begin());
        }
        Request& request = submissions_.back();
        request.address = address;
        request.completion = std::move(completion);
    }
    eventfd_write(wakeDescriptor_.get(), 1);
}

void LinuxHTTPClient::Engine::run()
{
    pthread_setname_np(pthread_self(), "http");
    for (bool running = true; running;) {
        std::array<epoll_event, 16> ready;
        // Fails only when a signal interrupts it: then nothing is ready.
        int count = epoll_wait(epollDescriptor_.get(), ready.data(), ready.size(), waitTime());
        // Sockets first, then what was handed over meanwhile.
        bool woken = false;
        for (int index = 0; index < count; ++index) {
            std::uint64_t id = ready[index].data.u64;
            if (id == 0) {
                woken = true;
                continue;
            }
            auto found = std::find_if(inFlight_.begin(), inFlight_.end(),
                [id](const Request& request) { return request.id == id; });
            if (found != inFlight_.end()) {
                handle(*found);
            }
        }
        if (woken) {
            eventfd_t submitted = 0;
            eventfd_read(wakeDescriptor_.get(), &submitted);
            running = takeSubmissions();
        }
        // Checked on every round: an answer that trickles in still ends at the deadline.
        auto now = Clock::now();
        for (auto next = inFlight_.begin(); next != inFlight_.end();) {
            Request& request = *next++;
            if (now >= request.deadline) {
                complete(request, HTTPResult::failure("The request timed out."));
            }
        }
    }
    // Shutting down: whatever is still in flight or queued completes with an error. get()
    // and the destructor run on one thread: nothing more can arrive.
    while (!inFlight_.empty()) {
        complete(inFlight_.front(), HTTPResult::failure(shutDown));
    }
    Requests queued;
    {
        std::lock_guard lock(submissionsMutex_);
        queued.swap(submissions_);
    }
    for (auto& request : queued) {
        request.completion(HTTPResult::failure(shutDown));
    }
}

int LinuxHTTPClient::Engine::waitTime() const
{
    if (inFlight_.empty()) {
        return -1;
    }
    auto earliest = Clock::time_point::max();
    for (const auto& request : inFlight_) {
        earliest = std::min(earliest, request.deadline);
    }
    auto left = std::chrono::ceil<std::chrono::milliseconds>(earliest - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

void LinuxHTTPClient::Engine::handle(Request& request)
{
    if (request.sent < request.target->requestText.size()) {
        if (send(request) && request.sent == request.target->requestText.size()) {
            watch(request, EPOLL_CTL_MOD, EPOLLIN);
        }
        return;
    }
    receive(request);
}

void LinuxHTTPClient::Engine::watch(Request& request, int operation, std::uint32_t events)
{
    epoll_event event{};
    event.events = events;
    event.data.u64 = request.id;
    if (epoll_ctl(epollDescriptor_.get(), operation, request.socket.get(), &event) != 0) {
        complete(request, HTTPResult::failure("Could not watch the connection."));
    }
}

bool LinuxHTTPClient::Engine::takeSubmissions()
{
    // As many spares as requests were ever in flight at once are enough.
    constexpr std::size_t maxSpares = 8;
    Requests ready;
    bool quit = false;
    {
        std::lock_guard lock(submissionsMutex_);
        ready.swap(submissions_);
        quit = quitRequested_;
        spares_.splice(spares_.end(), finished_);
        while (spares_.size() > maxSpares) {
            spares_.pop_back();
        }
    }
    if (quit) {
        // Back in the queue, to be completed as shut down.
        std::lock_guard lock(submissionsMutex_);
        submissions_.splice(submissions_.begin(), ready);
        return false;
    }
    while (!ready.empty()) {
        inFlight_.splice(inFlight_.end(), ready, ready.begin());
        Request& request = inFlight_.back();
        request.position = std::prev(inFlight_.end());
        request.id = ++lastId_;
        request.sent = 0;
        request.answer = {};
        start(request);
    }
    return true;
}

void LinuxHTTPClient::Engine::start(Request& request)
{
    request.deadline = Clock::now() + timeout_;
    if (const char* problem = connect(request)) {
        complete(request, HTTPResult::failure(problem));
        return;
    }
    // On the loopback interface the connection is usually made by now: the request goes
    // out at once, and the first wake-up is the answer.
    if (send(request)) {
        bool sentAll = request.sent == request.target->requestText.size();
        watch(request, EPOLL_CTL_ADD, sentAll ? EPOLLIN : EPOLLOUT);
    }
}

const char* LinuxHTTPClient::Engine::parse(const std::string& address, Target& target)
{
    // Encoded: a %0D%0A in the path must stay text, not become a line break.
    GErrorPtr error;
    GUriPtr uri(g_uri_parse(address.c_str(), G_URI_FLAGS_ENCODED, errorOut(error)));
    if (!uri) {
        return "The address is not a valid URL.";
    }
    const char* scheme = g_uri_get_scheme(uri.get());
    if (!scheme || g_ascii_strcasecmp(scheme, "http") != 0) {
        return "The address is not an http URL.";
    }
    const char* host = g_uri_get_host(uri.get());
    int port = g_uri_get_port(uri.get());
    if (port < 0) {
        port = 80;
    }
    bool ipv6 = host && std::string_view(host).find(':') != std::string_view::npos;
    if (!ipv6) {
        auto& ipv4Address = reinterpret_cast<sockaddr_in&>(target.address);
        ipv4Address.sin_family = AF_INET;
        ipv4Address.sin_port = htons(static_cast<std::uint16_t>(port));
        if (!host || inet_pton(AF_INET, host, &ipv4Address.sin_addr) != 1) {
            return "The host is not a literal IP address.";
        }
        target.addressLength = sizeof ipv4Address;
    } else {
        auto& ipv6Address = reinterpret_cast<sockaddr_in6&>(target.address);
        ipv6Address.sin6_family = AF_INET6;
        ipv6Address.sin6_port = htons(static_cast<std::uint16_t>(port));
        if (inet_pton(AF_INET6, host, &ipv6Address.sin6_addr) != 1) {
            return "The host is not a literal IP address.";
        }
        target.addressLength = sizeof ipv6Address;
    }
    std::string_view path = g_uri_get_path(uri.get());
    const char* query = g_uri_get_query(uri.get());
    if (!isPlainText(path) || (query && !isPlainText(query))) {
        return "The address has a path that cannot be sent.";
    }

    std::array<char, 8> portText{};
    auto portEnd = std::to_chars(portText.data(), portText.data() + portText.size(), port).ptr;
    std::string& text = target.requestText;
    text.reserve(64 + path.size() + (query ? std::char_traits<char>::length(query) : 0));
    text.append("GET ").append(path.empty() ? "/" : path);
    if (query) {
        text.append("?").append(query);
    }
    text.append(" HTTP/1.1\r\nHost: ");
    if (ipv6) {
        text.append("[").append(host).append("]");
    } else {
        text.append(host);
    }
    text.append(":")
        .append(portText.data(), static_cast<std::size_t>(portEnd - portText.data()))
        .append("\r\nConnection: close\r\n\r\n");
    return nullptr;
}

const char* LinuxHTTPClient::Engine::connect(Request& request)
{
    // The probe asks for the same address every time: it is parsed once, and again only
    // when it changes.
    if (!target_ || request.address != targetAddress_) {
        auto target = std::make_shared<Target>();
        if (const char* problem = parse(request.address, *target)) {
            return problem;
        }
        target_ = std::move(target);
        targetAddress_ = request.address;
    }
    request.target = target_;
    const Target& target = *request.target;
    request.socket.reset(::socket(
        target.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!request.socket) {
        return "Could not open a socket.";
    }
    if (::connect(request.socket.get(), reinterpret_cast<const sockaddr*>(&target.address),
            target.addressLength)
            != 0
        && errno != EINPROGRESS) {
        return connectionFailure(errno);
    }
    return nullptr;
}

bool LinuxHTTPClient::Engine::send(Request& request)
{
    ssize_t count = ::send(request.socket.get(), request.target->requestText.data() + request.sent,
        request.target->requestText.size() - request.sent, MSG_NOSIGNAL);
    if (count < 0) {
        if (errno != EAGAIN && errno != EINTR) {
            complete(request, HTTPResult::failure(connectionFailure(errno)));
            return false;
        }
        return true; // not connected yet, or the buffer is full: wait until writable
    }
    request.sent += static_cast<std::size_t>(count);
    return true;
}

void LinuxHTTPClient::Engine::receive(Request& request)
{
    std::array<char, 512> buffer;
    ssize_t count = ::recv(request.socket.get(), buffer.data(), buffer.size(), 0);
    if (count < 0) {
        if (errno != EAGAIN && errno != EINTR) {
            complete(request, HTTPResult::failure("Could not read the response."));
        }
        return;
    }
    request.answer
        = readStatusLine(request.answer, {buffer.data(), static_cast<std::size_t>(count)});
    if (request.answer.result) {
        complete(request, *request.answer.result);
    }
}

void LinuxHTTPClient::Engine::complete(Request& request, HTTPResult result)
{
    // Out of the list first, its socket closed: the completion may start requests of its own.
    HTTPCompletion completion = std::move(request.completion);
    request.completion = nullptr;
    request.socket.reset();
    request.target.reset();
    finished_.splice(finished_.end(), inFlight_, request.position);
    completion(result);
}

LinuxHTTPClient::LinuxHTTPClient(std::chrono::milliseconds timeout)
    : engine_(std::make_unique<Engine>(timeout))
{
    startEngine();
}

LinuxHTTPClient::~LinuxHTTPClient() = default;

bool LinuxHTTPClient::startEngine()
{
    if (engine_->started()) {
        return true;
    }
    std::string why;
    if (engine_->start(why)) {
        return true;
    }
    // Said once: every probe until the thread can be made shows not connected.
    if (!startFailureReported_) {
        startFailureReported_ = true;
        g_printerr("ShadeLedger Zizadezavav: cannot start the health probe (%s); the bridge "
                   "shows as not connected until it can\n",
            why.c_str());
    }
    return false;
}

void LinuxHTTPClient::get(const std::string& address, HTTPCompletion completion)
{
    if (!startEngine()) {
        completion(HTTPResult::failure(notStarted));
        return;
    }
    engine_->submit(address, std::move(completion));
}

} // namespace ShadeLedgerZizadezavav
