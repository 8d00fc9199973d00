// The HTTP client on Linux: a plain GET over one non-blocking socket, no HTTP library.
//
// One client thread waits in epoll_wait on one descriptor that holds every request's
// socket and an eventfd: get() queues the request and wakes the thread once through the
// eventfd. There the address is parsed with GUri (once while it stays the same), the host
// must be a literal IP address (no resolver) and a non-blocking TCP socket connects
// straight to it (no proxy). The thread waits no longer than the earliest deadline, so the
// time-out bounds the whole request, however slowly the answer trickles in. The request
// line, Host and "Connection: close" are written and only the status line is read
// (http_status_line.h); the body is not read. Requests run concurrently. The completion
// runs exactly once, on the client thread, with one result: the status code, or an error
// for an address GUri refuses, a refused or failed connection, an answer that is not an
// HTTP status line, or the time-out. Redirects are not followed; nothing is cached.
//
// Destroying the client completes every request still in flight with an error, on the
// client thread, before the thread is joined; so a completion must not destroy the client.
//
// When the client thread cannot be made (too many processes or threads), that is said once
// on standard error and each request completes at once with an error, on the caller's
// thread; every later request tries to make the thread again.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/http.h"

namespace ShadeLedgerZizadezavav {

class LinuxHTTPClient : public HTTPClient {
public:
    explicit LinuxHTTPClient(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    ~LinuxHTTPClient() override;
    LinuxHTTPClient(const LinuxHTTPClient&) = delete;
    LinuxHTTPClient& operator=(const LinuxHTTPClient&) = delete;

    void get(const std::string& address, HTTPCompletion completion) override;

private:
    class Engine;
    bool startEngine();

    std::unique_ptr<Engine> engine_;
    bool startFailureReported_ = false;
};

} // namespace ShadeLedgerZizadezavav
