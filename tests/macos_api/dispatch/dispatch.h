// Declarations of the Dispatch calls the macOS layer makes, written from the published
// reference, for syntax checks on machines without the SDK. Under ARC dispatch objects
// are Objective-C objects, as the SDK declares them for Objective-C.
#pragma once

#include <stdint.h>

#pragma clang assume_nonnull begin

@protocol OS_dispatch_object
@end
@protocol OS_dispatch_queue <OS_dispatch_object>
@end
@protocol OS_dispatch_queue_main <OS_dispatch_queue>
@end
@protocol OS_dispatch_queue_global <OS_dispatch_queue>
@end
@protocol OS_dispatch_source <OS_dispatch_object>
@end

@class NSObject;
typedef NSObject<OS_dispatch_object>* dispatch_object_t;
typedef NSObject<OS_dispatch_queue>* dispatch_queue_t;
typedef NSObject<OS_dispatch_queue_main>* dispatch_queue_main_t;
typedef NSObject<OS_dispatch_queue_global>* dispatch_queue_global_t;
typedef NSObject<OS_dispatch_source>* dispatch_source_t;

typedef void (^dispatch_block_t)(void);
typedef uint64_t dispatch_time_t;
typedef const struct dispatch_source_type_s* dispatch_source_type_t;

#define DISPATCH_TIME_NOW (0ull)
#define NSEC_PER_MSEC 1000000ull
#define NSEC_PER_SEC 1000000000ull

typedef unsigned int qos_class_t;
#define QOS_CLASS_UTILITY 0x11u

extern "C" {
dispatch_queue_main_t dispatch_get_main_queue(void);
dispatch_queue_global_t dispatch_get_global_queue(intptr_t identifier, uintptr_t flags);
void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);
void dispatch_after(dispatch_time_t when, dispatch_queue_t queue, dispatch_block_t block);
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);

extern const struct dispatch_source_type_s _dispatch_source_type_signal;
#define DISPATCH_SOURCE_TYPE_SIGNAL (&_dispatch_source_type_signal)
dispatch_source_t dispatch_source_create(dispatch_source_type_t type, uintptr_t handle,
    uintptr_t mask, dispatch_queue_t _Nullable queue);
void dispatch_source_set_event_handler(
    dispatch_source_t source, dispatch_block_t _Nullable handler);
void dispatch_source_cancel(dispatch_source_t source);
void dispatch_activate(dispatch_object_t object);
}

#pragma clang assume_nonnull end
