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
        dispatch_async(dispatch_get_global_queue(QOS_CLASS_UTILITY, 0),
            ^{ completion(HTTPResult::failure("The address is not a valid URL.")); });
        return;
    }
    NSURLSessionDataTask* task = [NSURLSession.sharedSession
          dataTaskWithURL:url
        completionHandler:^(NSData*, NSURLResponse* response, NSError* error) {
            if (error) {
                completion(HTTPResult::failure("The request failed."));
            } else if ([response isKindOfClass:[NSHTTPURLResponse class]]) {
                completion(HTTPResult::status(
                    static_cast<int>(static_cast<NSHTTPURLResponse*>(response).statusCode)));
            } else {
                completion(HTTPResult::failure("The answer is not an HTTP response."));
            }
        }];
    [task resume];

    __weak NSURLSessionDataTask* running = task;
    auto nanoseconds
        = static_cast<std::int64_t>(timeout_.count()) * static_cast<std::int64_t>(NSEC_PER_MSEC);
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, nanoseconds),
        dispatch_get_global_queue(QOS_CLASS_UTILITY, 0), ^{ [running cancel]; });
}

} // namespace ShadeLedgerZizadezavav
