#include "platform/linux/linux_http.h"

#include "platform/linux/glib_owners.h"

#include <array>
#include <deque>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace ShadeLedgerZizadezavav {

namespace {

// A status line longer than this is not one.
constexpr std::size_t maxStatusLineBytes = std::size_t{8} * 1024;

// "HTTP/1.x NNN" followed by the end of the line or a space and a reason.
std::optional<int> statusCodeOfLine(std::string_view line)
{
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    constexpr std::string_view prefix = "HTTP/1.";
    if (line.size() < prefix.size() + 5 || line.substr(0, prefix.size()) != prefix) {
        return std::nullopt;
    }
    std::string_view rest = line.substr(prefix.size());
    if (!g_ascii_isdigit(rest[0]) || rest[1] != ' ') {
        return std::nullopt;
    }
    std::string_view code = rest.substr(2, 3);
    if (code[0] < '1' || code[0] > '5' || !g_ascii_isdigit(code[1]) || !g_ascii_isdigit(code[2])) {
        return std::nullopt;
    }
    if (rest.size() > 5 && rest[5] != ' ') {
        return std::nullopt;
    }
    return (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
}

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

std::string messageOf(const GError* error, const char* fallback)
{
    return error && error->message ? error->message : fallback;
}

} // namespace

// Everything below runs on the client thread, except the constructor, the destructor
// and submit(), which run on the caller's thread and only talk to the client context.
class LinuxHTTPClient::Engine {
public:
    explicit Engine(std::chrono::milliseconds timeout);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    void submit(const std::string& address, HTTPCompletion completion);

private:
    struct Request {
        Request(Engine& owner, HTTPCompletion done)
            : engine(owner)
            , completion(std::move(done))
            , cancellable(g_cancellable_new())
        {
        }

        Engine& engine;
        HTTPCompletion completion;
        GObjectPtr<GCancellable> cancellable;
        GObjectPtr<GSocketClient> socketClient;
        GObjectPtr<GSocketConnection> connection;
        GSourcePtr timeout;
        std::string requestText;
        std::string received;
        std::array<char, 512> buffer{};
        // A GIO operation holds this request as its user data until its callback runs.
        bool operationPending = false;
        bool completed = false;
    };

    // What get() hands to the client thread.
    struct Submission {
        std::string address;
        HTTPCompletion completion;
    };

    void run();
    void start(const std::string& address, HTTPCompletion completion);
    void read(Request& request);
    void complete(
        Request& request, std::optional<HTTPResponse> response, std::optional<HTTPError> error);
    void fail(Request& request, std::string description);
    // Forgets a request once it has completed and no operation refers to it.
    void releaseIfIdle(Request& request);
    // An operation's callback has come back; false when the request is finished with.
    bool operationReturned(Request& request);

    // Starts what get() handed over; ends the loop once the destructor asks.
    void takeSubmissions();
    static gboolean wake(gpointer data);
    static gboolean timedOut(gpointer data);
    static void connected(GObject* source, GAsyncResult* result, gpointer data);
    static void written(GObject* source, GAsyncResult* result, gpointer data);
    static void readSome(GObject* source, GAsyncResult* result, gpointer data);

    std::chrono::milliseconds timeout_;
    GMainContextPtr context_;
    GMainLoopPtr loop_;
    // The hand-over from get() and the destructor: a queue under a std::mutex and one
    // long-lived source on the client context, woken with g_source_set_ready_time. No
    // GLib allocation crosses threads, so thread checkers see every ordering.
    std::mutex submissionsMutex_;
    std::deque<Submission> submissions_;
    bool quitRequested_ = false;
    GSourcePtr wakeSource_;
    std::unordered_map<Request*, std::unique_ptr<Request>> requests_;
    bool stopping_ = false;
    std::thread thread_;
};

namespace {

// Ready only through its ready time, which get() sets from the caller's thread.
gboolean dispatchWake(GSource* source, GSourceFunc callback, gpointer data)
{
    g_source_set_ready_time(source, -1);
    return callback(data);
}

GSourceFuncs wakeSourceFunctions = {nullptr, nullptr, dispatchWake, nullptr, nullptr, nullptr};

} // namespace

LinuxHTTPClient::Engine::Engine(std::chrono::milliseconds timeout)
    : timeout_(timeout)
    , context_(g_main_context_new())
    , loop_(g_main_loop_new(context_.get(), FALSE))
{
    wakeSource_.reset(g_source_new(&wakeSourceFunctions, sizeof(GSource)));
    g_source_set_callback(wakeSource_.get(), &Engine::wake, this, nullptr);
    g_source_set_ready_time(wakeSource_.get(), -1);
    g_source_attach(wakeSource_.get(), context_.get());
    thread_ = std::thread([this] { run(); });
}

LinuxHTTPClient::Engine::~Engine()
{
    {
        std::lock_guard lock(submissionsMutex_);
        quitRequested_ = true;
    }
    g_source_set_ready_time(wakeSource_.get(), 0);
    thread_.join();
}

void LinuxHTTPClient::Engine::submit(const std::string& address, HTTPCompletion completion)
{
    {
        std::lock_guard lock(submissionsMutex_);
        submissions_.push_back({address, std::move(completion)});
    }
    g_source_set_ready_time(wakeSource_.get(), 0);
}

void LinuxHTTPClient::Engine::run()
{
    g_main_context_push_thread_default(context_.get());
    g_main_loop_run(loop_.get());

    // Shutting down: requests still queued or in flight complete with an error, then
    // every cancelled operation comes back before the thread ends.
    stopping_ = true;
    std::vector<Request*> inFlight;
    for (auto& [request, owner] : requests_) {
        inFlight.push_back(request);
    }
    for (Request* request : inFlight) {
        fail(*request, "The HTTP client was shut down.");
    }
    while (!requests_.empty() || g_main_context_pending(context_.get())) {
        g_main_context_iteration(context_.get(), !requests_.empty());
    }
    // get() and the destructor run on one thread: nothing more can arrive.
    takeSubmissions();
    g_main_context_pop_thread_default(context_.get());
}

gboolean LinuxHTTPClient::Engine::wake(gpointer data)
{
    static_cast<Engine*>(data)->takeSubmissions();
    return G_SOURCE_CONTINUE;
}

void LinuxHTTPClient::Engine::takeSubmissions()
{
    std::deque<Submission> ready;
    bool quit = false;
    {
        std::lock_guard lock(submissionsMutex_);
        ready.swap(submissions_);
        quit = quitRequested_;
    }
    for (auto& submission : ready) {
        start(submission.address, std::move(submission.completion));
    }
    if (quit) {
        g_main_loop_quit(loop_.get());
    }
}

void LinuxHTTPClient::Engine::start(const std::string& address, HTTPCompletion completion)
{
    auto owner = std::make_unique<Request>(*this, std::move(completion));
    Request& request = *owner;
    requests_.emplace(&request, std::move(owner));

    if (stopping_) {
        fail(request, "The HTTP client was shut down.");
        return;
    }

    // Encoded: a %0D%0A in the path must stay text, not become a line break.
    GError* rawError = nullptr;
    GUriPtr uri(g_uri_parse(address.c_str(), G_URI_FLAGS_ENCODED, &rawError));
    GErrorPtr error(rawError);
    if (!uri) {
        fail(request, "Invalid address: " + messageOf(error.get(), address.c_str()));
        return;
    }
    const char* scheme = g_uri_get_scheme(uri.get());
    const char* host = g_uri_get_host(uri.get());
    if (!scheme || g_ascii_strcasecmp(scheme, "http") != 0) {
        fail(request, "Unsupported address: " + address);
        return;
    }
    if (!host || !*host || !isPlainText(host)) {
        fail(request, "Invalid host in address: " + address);
        return;
    }
    int port = g_uri_get_port(uri.get());
    if (port < 0) {
        port = 80;
    }
    std::string target = g_uri_get_path(uri.get());
    if (target.empty()) {
        target = "/";
    }
    if (const char* query = g_uri_get_query(uri.get())) {
        target += std::string("?") + query;
    }
    if (!isPlainText(target)) {
        fail(request, "Invalid path in address: " + address);
        return;
    }
    std::string hostName = std::string_view(host).find(':') == std::string_view::npos
        ? std::string(host)
        : "[" + std::string(host) + "]";
    request.requestText = "GET " + target + " HTTP/1.1\r\nHost: " + hostName + ":"
        + std::to_string(port) + "\r\nConnection: close\r\n\r\n";

    request.timeout.reset(g_timeout_source_new(static_cast<guint>(timeout_.count())));
    g_source_set_callback(request.timeout.get(), &Engine::timedOut, &request, nullptr);
    g_source_attach(request.timeout.get(), context_.get());

    request.socketClient = adoptGObject(g_socket_client_new());
    // The bridge is local: no proxy from the environment or the desktop settings.
    g_socket_client_set_enable_proxy(request.socketClient.get(), FALSE);
    auto connectable = adoptGObject(g_network_address_new(host, static_cast<guint16>(port)));
    request.operationPending = true;
    g_socket_client_connect_async(request.socketClient.get(),
        G_SOCKET_CONNECTABLE(connectable.get()), request.cancellable.get(), &Engine::connected,
        &request);
}

gboolean LinuxHTTPClient::Engine::timedOut(gpointer data)
{
    auto& request = *static_cast<Request*>(data);
    // complete() destroys this source; the dispatch holds its own reference meanwhile.
    request.engine.fail(request, "The request timed out.");
    return G_SOURCE_REMOVE;
}

bool LinuxHTTPClient::Engine::operationReturned(Request& request)
{
    request.operationPending = false;
    if (request.completed) {
        releaseIfIdle(request);
        return false;
    }
    return true;
}

void LinuxHTTPClient::Engine::connected(GObject* source, GAsyncResult* result, gpointer data)
{
    auto& request = *static_cast<Request*>(data);
    GError* rawError = nullptr;
    auto connection
        = adoptGObject(g_socket_client_connect_finish(G_SOCKET_CLIENT(source), result, &rawError));
    GErrorPtr error(rawError);
    Engine& engine = request.engine;
    if (!engine.operationReturned(request)) {
        return;
    }
    if (!connection) {
        engine.fail(request, messageOf(error.get(), "Could not connect."));
        return;
    }
    request.connection = std::move(connection);
    request.operationPending = true;
    g_output_stream_write_all_async(
        g_io_stream_get_output_stream(G_IO_STREAM(request.connection.get())),
        request.requestText.data(), request.requestText.size(), G_PRIORITY_DEFAULT,
        request.cancellable.get(), &Engine::written, &request);
}

void LinuxHTTPClient::Engine::written(GObject* source, GAsyncResult* result, gpointer data)
{
    auto& request = *static_cast<Request*>(data);
    GError* rawError = nullptr;
    bool done
        = g_output_stream_write_all_finish(G_OUTPUT_STREAM(source), result, nullptr, &rawError);
    GErrorPtr error(rawError);
    Engine& engine = request.engine;
    if (!engine.operationReturned(request)) {
        return;
    }
    if (!done) {
        engine.fail(request, messageOf(error.get(), "Could not send the request."));
        return;
    }
    engine.read(request);
}

void LinuxHTTPClient::Engine::read(Request& request)
{
    request.operationPending = true;
    g_input_stream_read_async(g_io_stream_get_input_stream(G_IO_STREAM(request.connection.get())),
        request.buffer.data(), request.buffer.size(), G_PRIORITY_DEFAULT, request.cancellable.get(),
        &Engine::readSome, &request);
}

void LinuxHTTPClient::Engine::readSome(GObject* source, GAsyncResult* result, gpointer data)
{
    auto& request = *static_cast<Request*>(data);
    GError* rawError = nullptr;
    gssize count = g_input_stream_read_finish(G_INPUT_STREAM(source), result, &rawError);
    GErrorPtr error(rawError);
    Engine& engine = request.engine;
    if (!engine.operationReturned(request)) {
        return;
    }
    if (count < 0) {
        engine.fail(request, messageOf(error.get(), "Could not read the response."));
        return;
    }
    if (count == 0) {
        engine.fail(request, "The connection closed before a status line arrived.");
        return;
    }
    request.received.append(request.buffer.data(), static_cast<std::size_t>(count));
    auto end = request.received.find('\n');
    if (end == std::string::npos) {
        if (request.received.size() >= maxStatusLineBytes) {
            engine.fail(request, "The answer is not an HTTP response.");
            return;
        }
        engine.read(request);
        return;
    }
    auto statusCode = statusCodeOfLine(std::string_view(request.received).substr(0, end));
    if (!statusCode) {
        engine.fail(request, "The answer is not an HTTP response.");
        return;
    }
    engine.complete(request, HTTPResponse{.isHTTP = true, .statusCode = *statusCode}, std::nullopt);
}

void LinuxHTTPClient::Engine::fail(Request& request, std::string description)
{
    complete(request, std::nullopt, HTTPError{std::move(description)});
}

void LinuxHTTPClient::Engine::complete(
    Request& request, std::optional<HTTPResponse> response, std::optional<HTTPError> error)
{
    if (request.completed) {
        return;
    }
    request.completed = true;
    request.timeout.reset();
    // Whatever operation is still out comes back cancelled and then lets the request go.
    // The connection closes when the request is released.
    g_cancellable_cancel(request.cancellable.get());
    HTTPCompletion completion = std::move(request.completion);
    request.completion = nullptr;
    if (completion) {
        completion(std::nullopt, response, std::move(error));
    }
    releaseIfIdle(request);
}

void LinuxHTTPClient::Engine::releaseIfIdle(Request& request)
{
    if (request.completed && !request.operationPending) {
        requests_.erase(&request);
    }
}

LinuxHTTPClient::LinuxHTTPClient(std::chrono::milliseconds timeout)
    : engine_(std::make_unique<Engine>(timeout))
{
}

LinuxHTTPClient::~LinuxHTTPClient() = default;

void LinuxHTTPClient::get(const std::string& address, HTTPCompletion completion)
{
    engine_->submit(address, std::move(completion));
}

} // namespace ShadeLedgerZizadezavav
