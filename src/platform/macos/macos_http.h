// The HTTP client on macOS: NSURLSession sharedSession.
//
// get: NSURL URLWithString:, then dataTaskWithURL:completionHandler: and resume. The
// session runs the completion on its own delegate queue, never the main thread; it gets
// one result: the statusCode of an NSHTTPURLResponse, else an error (any other response
// is not HTTP). An address NSURL refuses completes with an error on a global queue.
// The session's own time-out waits for silence only, so every request is also cancelled
// 10 s after it starts (cancel of a finished task has no effect): the completion then
// comes once, with the cancellation error.
#pragma once

#include <chrono>

#include "platform/http.h"

namespace ShadeLedgerZizadezavav {

class MacOSHTTPClient : public HTTPClient {
public:
    explicit MacOSHTTPClient(std::chrono::milliseconds timeout = std::chrono::seconds(10))
        : timeout_(timeout)
    {
    }

    void get(const std::string& address, HTTPCompletion completion) override;

private:
    std::chrono::milliseconds timeout_;
};

} // namespace ShadeLedgerZizadezavav
