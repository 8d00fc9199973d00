// The one HTTP server on 127.0.0.1 of the tests, standing in for a bridge or playing a
// misbehaving peer of the HTTP client, on a thread of its own: every request gets the status
// the test last set (switchable at any time), or, in the never-answer mode, is read and left
// hanging until the client closes it. It records requests and counts open connections.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ShadeLedgerZizadezavav {

class TestHTTPServer {
public:
    // The status meaning "accept the connection, read the request, never answer".
    static constexpr int neverAnswer = 0;

    // Listens on 127.0.0.1 at that port (0: any free one); with an interval, every answer
    // goes out one byte at each interval. Throws std::runtime_error when the port cannot be
    // bound.
    explicit TestHTTPServer(
        int port = 0, int status = 200, std::chrono::milliseconds byteInterval = {});
    // None when the port cannot be bound (in use elsewhere on this machine).
    static std::unique_ptr<TestHTTPServer> tryListen(int port, int status = 200);
    ~TestHTTPServer();
    TestHTTPServer(const TestHTTPServer&) = delete;
    TestHTTPServer& operator=(const TestHTTPServer&) = delete;

    int port() const { return port_; }
    // The status of every request received from now on; connections already left hanging
    // stay so.
    void setStatus(int status);
    // From now on the status of each request is the plan's for the request's number
    // (counted from 0 over the server's life), until setStatus.
    void setStatusPlan(std::function<int(std::size_t request)> plan);
    // An address of this server: "http://127.0.0.1:<port>" and the path.
    std::string address(const std::string& path = "/health") const;

    // Complete request heads received.
    std::size_t requestCount() const;
    // The first line of every request head received, in order.
    std::vector<std::string> requestLines() const;
    // Every request head received (up to and with its blank line), in order; only the
    // first thousand are kept, so that a long run does not grow.
    std::vector<std::string> requestHeads() const;
    // Waits until that many request heads have arrived; false at the time-out.
    bool waitForRequests(
        std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    std::size_t acceptedCount() const;
    // Connections open now, and the most that were ever open at the same moment.
    std::size_t openCount() const;
    std::size_t maxOpenCount() const;

private:
    using Clock = std::chrono::steady_clock;
    struct Client {
        int fd = -1;
        std::string received;
        bool handled = false;
        // The answer still to send, then the connection closes.
        std::string unsent;
        Clock::time_point nextByte;
    };

    void serve();
    void acceptAll();
    // False when the connection is finished with.
    bool readFrom(Client& client);
    bool sendTo(Client& client);

    int port_ = 0;
    const std::chrono::milliseconds byteInterval_;
    int listener_ = -1;
    int stopEvent_ = -1;
    std::vector<Client> clients_; // the serving thread's alone

    mutable std::mutex mutex_;
    mutable std::condition_variable requestArrived_;
    int status_ = 200;
    std::function<int(std::size_t)> plan_;
    std::size_t requestCount_ = 0;
    std::vector<std::string> requestHeads_;
    std::size_t accepted_ = 0;
    std::size_t open_ = 0;
    std::size_t maxOpen_ = 0;

    std::thread thread_;
};

} // namespace ShadeLedgerZizadezavav
