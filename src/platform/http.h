// HTTP: a plain GET whose completion runs once, off the main thread.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace ShadeLedgerZizadezavav {

struct HTTPResponse {
    // False for an answer that is not HTTP.
    bool isHTTP = true;
    int statusCode = 0;
};

struct HTTPError {
    std::string description;
};

// Body, response and error, each possibly absent.
using HTTPCompletion = std::function<void(std::optional<std::string> body,
    std::optional<HTTPResponse> response, std::optional<HTTPError> error)>;

class HTTPClient {
public:
    virtual ~HTTPClient() = default;
    // Starts a GET and returns at once. The completion runs exactly once, on the
    // client's own thread, never on the main thread; an address that is not a
    // valid URL completes with an error. Every request ends after a finite time-out.
    virtual void get(const std::string& address, HTTPCompletion completion) = 0;
};

} // namespace ShadeLedgerZizadezavav
