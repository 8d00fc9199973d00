// HTTP: a plain GET whose completion runs once, off the main thread.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace ShadeLedgerZizadezavav {

// How one GET ended: with the status code of an HTTP answer, or with an error.
class HTTPResult {
public:
    static constexpr HTTPResult status(int code) { return {code, nullptr}; }
    // The description is not copied: it must outlive the completion call (the client's own
    // are literals), so no allocation is needed on the way.
    static constexpr HTTPResult failure(const char* description)
    {
        return {0, description ? description : "The request failed."};
    }

    // The status line's code, when an HTTP answer arrived.
    constexpr std::optional<int> statusCode() const
    {
        return error_ ? std::nullopt : std::optional<int>(statusCode_);
    }
    // Why no HTTP answer arrived; null when one did.
    constexpr const char* error() const { return error_; }

private:
    constexpr HTTPResult(int code, const char* error)
        : statusCode_(code)
        , error_(error)
    {
    }
    int statusCode_;
    const char* error_;
};

using HTTPCompletion = std::function<void(HTTPResult result)>;

class HTTPClient {
public:
    virtual ~HTTPClient() = default;
    // Starts a GET and returns at once. The completion runs exactly once, on the
    // client's own thread; an address that is not a valid URL completes with an error.
    // Every request ends after a finite time-out. A client that cannot make its thread
    // completes with an error at once, on the caller's thread.
    virtual void get(const std::string& address, HTTPCompletion completion) = 0;
};

} // namespace ShadeLedgerZizadezavav
