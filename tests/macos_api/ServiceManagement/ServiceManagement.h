// Declarations of the ServiceManagement API the macOS layer uses, written from Apple's
// published reference pages, for syntax checks on machines without the macOS SDK.
#pragma once

#include <Foundation/Foundation.h>

#pragma clang assume_nonnull begin

typedef enum : NSInteger {
    SMAppServiceStatusNotRegistered = 0,
    SMAppServiceStatusEnabled = 1,
    SMAppServiceStatusRequiresApproval = 2,
    SMAppServiceStatusNotFound = 3,
} SMAppServiceStatus;

API_AVAILABLE(macos(13.0))
@interface SMAppService : NSObject
@property (class, readonly) SMAppService* mainAppService;
@property (readonly) SMAppServiceStatus status;
- (BOOL)registerAndReturnError:(NSError**)error;
- (BOOL)unregisterAndReturnError:(NSError**)error;
@end

#pragma clang assume_nonnull end
