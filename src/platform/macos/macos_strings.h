// Strings across the edge of the macOS layer: the core speaks UTF-8 std::string, the
// platform NSString.
#pragma once

#import <Foundation/Foundation.h>

#include <string>
#include <string_view>

namespace ShadeLedgerZizadezavav {

// Text that is not UTF-8 becomes the empty string, never nil.
inline NSString* nsString(std::string_view text)
{
    NSString* string = [[NSString alloc] initWithBytes:text.data()
                                                length:text.size()
                                              encoding:NSUTF8StringEncoding];
    return string ? string : @"";
}

inline std::string stdString(NSString* string)
{
    if (!string) {
        return {};
    }
    const char* bytes = string.UTF8String;
    return bytes ? std::string(bytes, [string lengthOfBytesUsingEncoding:NSUTF8StringEncoding])
                 : std::string();
}

} // namespace ShadeLedgerZizadezavav
