#include "support/test_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace ShadeLedgerZizadezavav {

namespace {

std::string answerFor(int status)
{
    std::string body = status == 204 ? "" : "{\"status\":\"test\"}\n";
    // The agent reads only the code.
    return "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK\r\n" : " Status\r\n")
        + (status / 100 == 3 ? "Location: /elsewhere\r\n" : "")
        + "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size())
        + "\r\nConnection: close\r\n\r\n" + body;
}

} // namespace

TestHTTPServer::TestHTTPServer(int port, int status, std::chrono::milliseconds byteInterval)
    : byteInterval_(byteInterval)
    , status_(status)
{
    // Close-on-exec: an agent started by the test must not inherit the listener.
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener_ < 0) {
        throw std::runtime_error("socket failed");
    }
    int yes = 1;
    // A port another test server used a moment ago may still have connections in TIME_WAIT.
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || listen(listener_, 64) != 0
        || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::string problem = std::strerror(errno);
        close(listener_);
        throw std::runtime_error(
            "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + problem);
    }
    port_ = ntohs(address.sin_port);
    stopEvent_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopEvent_ < 0) {
        close(listener_);
        throw std::runtime_error("eventfd failed");
    }
    thread_ = std::thread([this] { serve(); });
}

std::unique_ptr<TestHTTPServer> TestHTTPServer::tryListen(int port, int status)
{
    try {
        return std::make_unique<TestHTTPServer>(port, status);
    } catch (const std::runtime_error&) {
        return nullptr;
    }
}

TestHTTPServer::~TestHTTPServer()
{
    std::uint64_t one = 1;
    [[maybe_unused]] auto written = write(stopEvent_, &one, sizeof one);
    thread_.join();
    for (auto& client : clients_) {
        close(client.fd);
    }
    close(listener_);
    close(stopEvent_);
}

void TestHTTPServer::setStatus(int status)
{
    std::lock_guard lock(mutex_);
    status_ = status;
    plan_ = nullptr;
}

void TestHTTPServer::setStatusPlan(std::function<int(std::size_t request)> plan)
{
    std::lock_guard lock(mutex_);
    plan_ = std::move(plan);
}

std::string TestHTTPServer::address(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::size_t TestHTTPServer::requestCount() const
{
    std::lock_guard lock(mutex_);
    return requestCount_;
}

std::vector<std::string> TestHTTPServer::requestLines() const
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    for (const auto& head : requestHeads_) {
        lines.push_back(head.substr(0, head.find("\r\n")));
    }
    return lines;
}

std::vector<std::string> TestHTTPServer::requestHeads() const
{
    std::lock_guard lock(mutex_);
    return requestHeads_;
}

bool TestHTTPServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return requestArrived_.wait_for(lock, timeout, [&] { return requestCount_ >= count; });
}

std::size_t TestHTTPServer::acceptedCount() const
{
    std::lock_guard lock(mutex_);
    return accepted_;
}

std::size_t TestHTTPServer::openCount() const
{
    std::lock_guard lock(mutex_);
    return open_;
}

std::size_t TestHTTPServer::maxOpenCount() const
{
    std::lock_guard lock(mutex_);
    return maxOpen_;
}

void TestHTTPServer::serve()
{
    while (true) {
        std::vector<pollfd> watched{{stopEvent_, POLLIN, 0}, {listener_, POLLIN, 0}};
        int wait = -1;
        auto now = Clock::now();
        for (const auto& client : clients_) {
            short events = POLLIN;
            if (!client.unsent.empty()) {
                if (byteInterval_.count() == 0) {
                    events |= POLLOUT;
                } else {
                    auto due = std::chrono::ceil<std::chrono::milliseconds>(
                        std::max(client.nextByte - now, Clock::duration::zero()));
                    wait = wait < 0 ? static_cast<int>(due.count())
                                    : std::min(wait, static_cast<int>(due.count()));
                }
            }
            watched.push_back({client.fd, events, 0});
        }
        if (poll(watched.data(), watched.size(), wait) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (watched[0].revents != 0) {
            return;
        }
        if (watched[1].revents != 0) {
            acceptAll();
        }
        // Clients accepted just now are looked at in the next round.
        std::vector<Client> kept;
        for (std::size_t i = 0; i + 2 < watched.size(); ++i) {
            Client& client = clients_[i];
            short events = watched[i + 2].revents;
            bool open = (events & (POLLIN | POLLHUP | POLLERR)) == 0 || readFrom(client);
            if (open && !client.unsent.empty()
                && ((events & POLLOUT) != 0
                    || (byteInterval_.count() > 0 && Clock::now() >= client.nextByte))) {
                open = sendTo(client);
            }
            if (open) {
                kept.push_back(std::move(client));
            } else {
                close(client.fd);
            }
        }
        for (std::size_t i = watched.size() - 2; i < clients_.size(); ++i) {
            kept.push_back(std::move(clients_[i]));
        }
        clients_ = std::move(kept);
        std::lock_guard lock(mutex_);
        open_ = clients_.size();
    }
}

void TestHTTPServer::acceptAll()
{
    while (true) {
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            return;
        }
        clients_.push_back(Client{fd, {}, false, {}, {}});
        std::lock_guard lock(mutex_);
        ++accepted_;
        open_ = clients_.size();
        maxOpen_ = std::max(maxOpen_, open_);
    }
}

bool TestHTTPServer::readFrom(Client& client)
{
    std::array<char, 4096> buffer{};
    ssize_t count = read(client.fd, buffer.data(), buffer.size());
    if (count < 0) {
        return errno == EAGAIN || errno == EINTR;
    }
    if (count == 0) {
        return false; // the client closed its end
    }
    if (client.handled) {
        return true; // answered or hanging: whatever else arrives is ignored
    }
    client.received.append(buffer.data(), static_cast<std::size_t>(count));
    auto headEnd = client.received.find("\r\n\r\n");
    if (headEnd == std::string::npos) {
        return client.received.size() < 64 * 1024;
    }
    client.handled = true;
    int status = 0;
    {
        std::lock_guard lock(mutex_);
        if (requestHeads_.size() < 1000) {
            requestHeads_.push_back(client.received.substr(0, headEnd + 4));
        }
        status = plan_ ? plan_(requestCount_) : status_;
        ++requestCount_;
        requestArrived_.notify_all();
    }
    if (status == neverAnswer) {
        return true;
    }
    client.unsent = answerFor(status);
    return sendTo(client);
}

bool TestHTTPServer::sendTo(Client& client)
{
    std::size_t wanted = byteInterval_.count() > 0 ? 1 : client.unsent.size();
    ssize_t sent = send(client.fd, client.unsent.data(), wanted, MSG_NOSIGNAL);
    if (sent < 0) {
        return errno == EAGAIN || errno == EINTR;
    }
    client.unsent.erase(0, static_cast<std::size_t>(sent));
    client.nextByte = Clock::now() + byteInterval_;
    return !client.unsent.empty();
}

} // namespace ShadeLedgerZizadezavav
