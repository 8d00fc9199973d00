// The HTTP client on Linux: a plain GET over one non-blocking socket, no HTTP library.
//
// One client thread runs its own GMainContext. get() queues the request and wakes that
// context once; there the address is parsed with GUri, the host must be a literal IP
// address (no resolver, so no proxy either), and a non-blocking TCP socket connects to
// it. One GLib source per request watches the socket and carries the request's deadline,
// so the time-out bounds the whole request, however slowly the answer trickles in. The
// request line, Host and "Connection: close" are written and only the status line is
// read, never more than a few kilobytes; the body is not read. Requests run
// concurrently. The completion runs exactly once, on the client thread: with the status
// code, or with an error for an address GUri refuses, a refused or failed connection, an
// answer that is not an HTTP status line, or the time-out. Redirects are not followed;
// nothing is cached.
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
