// The HTTP client on macOS: see macos_http.h for how each call maps the contract.
#include "platform/macos/macos_http.h"

#import <Foundation/Foundation.h>

#include <cstdint>

#include "platform/macos/macos_strings.h"

namespace ShadeLedgerZizadezavav {

void MacOSHTTPClient::get(const std::string& address, HTTPCompletion completion)
{
    NSURL* url = [NSURL URLWithString:nsString(address)];
    if (!url) {
        HTTPError error{"Not a valid URL: " + address};
        dispatch_async(dispatch_get_global_queue(QOS_CLASS_UTILITY, 0),
            ^{ completion(std::nullopt, std::nullopt, error); });
        return;
    }
    NSURLSessionDataTask* task = [NSURLSession.sharedSession
          dataTaskWithURL:url
        completionHandler:^(NSData* data, NSURLResponse* response, NSError* error) {
            std::optional<std::string> body;
            if (data) {
                body.emplace(static_cast<const char*>(data.bytes), data.length);
            }
            std::optional<HTTPResponse> answer;
            if ([response isKindOfClass:[NSHTTPURLResponse class]]) {
                answer = HTTPResponse{.isHTTP = true,
                    .statusCode
                    = static_cast<int>(static_cast<NSHTTPURLResponse*>(response).statusCode)};
            } else if (response) {
                answer = HTTPResponse{.isHTTP = false, .statusCode = 0};
            }
            std::optional<HTTPError> failure;
            if (error) {
                failure = HTTPError{stdString(error.localizedDescription)};
            }
            completion(std::move(body), std::move(answer), std::move(failure));
        }];
    [task resume];

    __weak NSURLSessionDataTask* running = task;
    auto nanoseconds
        = static_cast<std::int64_t>(timeout_.count()) * static_cast<std::int64_t>(NSEC_PER_MSEC);
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, nanoseconds),
        dispatch_get_global_queue(QOS_CLASS_UTILITY, 0), ^{ [running cancel]; });
}

} // namespace ShadeLedgerZizadezavav
