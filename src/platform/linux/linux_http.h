// The HTTP client on Linux: a plain GET over GIO sockets, no HTTP library.
//
// One client thread runs its own GMainContext. get() hands each request to it (a queue
// and a wake-up source on that context). There the address is parsed with GUri and a
// GSocketClient, with proxies disabled, connects to host:port; the request line, Host and
// "Connection: close" are written and only the status line is read, never more than a
// few kilobytes. The body is not read. Requests run concurrently, each bounded by the
// time-out (a GCancellable and a timeout source on the client context). The completion
// runs exactly once, on the client thread: with the status code, or with an error for
// an address GUri refuses, a refused or failed connection, an answer that is not an HTTP
// status line, or the time-out. Redirects are not followed; nothing is cached.
//
// Destroying the client completes every request still in flight with an error, on the
// client thread, before the thread is joined; so a completion must not destroy the client.
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
    std::unique_ptr<Engine> engine_;
};

} // namespace ShadeLedgerZizadezavav
