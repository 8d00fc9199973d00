// A tiny HTTP server on 127.0.0.1 standing in for a bridge in tests. It serves on a
// thread of its own, so it answers whatever the test is doing meanwhile: every request
// gets the status the test last set (switchable at any time), or, in the never-answer
// mode, the connection is accepted, read and left hanging until the client closes it.
// It counts requests and how many connections are open at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ShadeLedgerZizadezavav {

class TestHTTPServer {
public:
    // The status meaning "accept the connection, read the request, never answer".
    static constexpr int neverAnswer = 0;

    // Listens on 127.0.0.1 at that port (0: any free one). Throws std::runtime_error when
    // the port cannot be bound.
    explicit TestHTTPServer(int port = 0, int status = 200);
    // None when the port cannot be bound (in use elsewhere on this machine).
    static std::unique_ptr<TestHTTPServer> tryListen(int port, int status = 200);
    ~TestHTTPServer();
    TestHTTPServer(const TestHTTPServer&) = delete;
    TestHTTPServer& operator=(const TestHTTPServer&) = delete;

    int port() const { return port_; }
    // The status of every request received from now on; connections already left hanging
    // stay so.
    void setStatus(int status);

    // Complete request heads received.
    std::size_t requestCount() const;
    // The first line of every request head received, in order.
    std::vector<std::string> requestLines() const;
    std::size_t acceptedCount() const;
    // Connections open now, and the most that were ever open at the same moment.
    std::size_t openCount() const;
    std::size_t maxOpenCount() const;

private:
    struct Client {
        int fd = -1;
        std::string received;
        bool handled = false;
    };

    void serve();
    void acceptAll();
    // False when the connection is finished with.
    bool readFrom(Client& client);

    int port_ = 0;
    int listener_ = -1;
    int stopEvent_ = -1;
    std::vector<Client> clients_; // the serving thread's alone

    mutable std::mutex mutex_;
    int status_ = 200;
    std::vector<std::string> requestLines_;
    std::size_t accepted_ = 0;
    std::size_t open_ = 0;
    std::size_t maxOpen_ = 0;

    std::thread thread_;
};

// The status of a plain GET of that path from 127.0.0.1 at that port, as a client sees it;
// none when nothing answers with a status line within the time-out.
std::optional<int> httpGetStatus(
    int port, const std::string& path, std::chrono::milliseconds timeout = std::chrono::seconds(5));

} // namespace ShadeLedgerZizadezavav
