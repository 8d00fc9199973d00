// Declarations of the Foundation API the macOS layer uses, written from Apple's published
// reference pages (types, nullability and availability as documented), for syntax checks
// of the layer on machines without the macOS SDK. Only what the layer calls is declared:
// a call to anything else, a misspelt selector or a wrong argument type fails the check.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <dispatch/dispatch.h>

#pragma clang assume_nonnull begin

typedef signed char BOOL;
#define YES ((BOOL)1)
#define NO ((BOOL)0)
#define nil nullptr
typedef long NSInteger;
typedef unsigned long NSUInteger;
typedef double NSTimeInterval;
typedef double CGFloat;
typedef struct objc_selector* SEL;
typedef NSUInteger NSStringEncoding;
#define NSUTF8StringEncoding ((NSStringEncoding)4)
#define API_AVAILABLE(...) __attribute__((availability(macos, introduced = 13.0)))

@class NSString, NSArray<ObjectType>, NSDictionary<KeyType, ObjectType>, NSData, NSURL, NSError,
    NSDate;

@protocol NSObject
- (BOOL)isKindOfClass:(Class)aClass;
@end

@protocol NSCopying
- (id)copyWithZone:(nullable struct _NSZone*)zone;
@end

typedef struct {
    unsigned long state;
    id __unsafe_unretained _Nullable* _Nullable itemsPtr;
    unsigned long* _Nullable mutationsPtr;
    unsigned long extra[5];
} NSFastEnumerationState;

@protocol NSFastEnumeration
- (NSUInteger)countByEnumeratingWithState:(NSFastEnumerationState*)state
                                  objects:(id __unsafe_unretained _Nullable[_Nonnull])buffer
                                    count:(NSUInteger)len;
@end

__attribute__((objc_root_class))
@interface NSObject<NSObject>
+ (instancetype)alloc;
+ (Class)class;
- (instancetype)init;
@end

@interface NSString : NSObject <NSCopying>
+ (nullable instancetype)stringWithUTF8String:(const char*)nullTerminatedCString;
- (nullable instancetype)initWithBytes:(const void*)bytes
                                length:(NSUInteger)len
                              encoding:(NSStringEncoding)encoding;
@property (nullable, readonly) const char* UTF8String __attribute__((objc_returns_inner_pointer));
- (NSUInteger)lengthOfBytesUsingEncoding:(NSStringEncoding)enc;
@end

// The class of string literals.
@interface NSConstantString : NSString
@end

@interface NSNumber : NSObject <NSCopying>
@property (readonly) const char* objCType __attribute__((objc_returns_inner_pointer));
@property (readonly) BOOL boolValue;
@property (readonly) long long longLongValue;
@property (readonly) double doubleValue;
@end

@interface NSArray<__covariant ObjectType> : NSObject <NSCopying, NSFastEnumeration>
@end

@interface NSMutableArray<ObjectType> : NSArray <ObjectType>
+ (instancetype)arrayWithCapacity:(NSUInteger)numItems;
- (void)addObject:(ObjectType)anObject;
@end

@interface NSDictionary<__covariant KeyType, __covariant ObjectType>
    : NSObject <NSCopying, NSFastEnumeration>
- (nullable ObjectType)objectForKeyedSubscript:(KeyType)key;
@end

@interface NSMutableDictionary<KeyType, ObjectType> : NSDictionary <KeyType, ObjectType>
+ (instancetype)dictionaryWithCapacity:(NSUInteger)numItems;
- (void)setObject:(ObjectType)obj forKeyedSubscript:(KeyType<NSCopying>)key;
@end

typedef NSUInteger NSDataBase64EncodingOptions;
typedef NSUInteger NSDataWritingOptions;
enum : NSUInteger { NSDataWritingAtomic = 1UL << 0 };

@interface NSData : NSObject <NSCopying>
+ (instancetype)data;
@property (readonly) const void* bytes __attribute__((objc_returns_inner_pointer));
@property (readonly) NSUInteger length;
- (NSString*)base64EncodedStringWithOptions:(NSDataBase64EncodingOptions)options;
- (BOOL)writeToURL:(NSURL*)url
           options:(NSDataWritingOptions)writeOptionsMask
             error:(NSError**)errorPtr;
@end

@interface NSDate : NSObject <NSCopying>
@property (readonly) NSTimeInterval timeIntervalSinceReferenceDate;
@end

@interface NSISO8601DateFormatter : NSObject
- (NSString*)stringFromDate:(NSDate*)date;
@end

@interface NSError : NSObject <NSCopying>
@property (readonly, copy) NSString* localizedDescription;
@end

@interface NSURL : NSObject <NSCopying>
+ (nullable instancetype)URLWithString:(NSString*)URLString;
+ (NSURL*)fileURLWithPath:(NSString*)path;
+ (NSURL*)fileURLWithPath:(NSString*)path isDirectory:(BOOL)isDir;
@property (nullable, readonly, copy) NSString* path;
@end

@interface NSNotification : NSObject <NSCopying>
@end

typedef NSString* NSFileAttributeKey;

@interface NSFileManager : NSObject
@property (class, readonly, strong) NSFileManager* defaultManager;
@property (readonly, copy) NSURL* homeDirectoryForCurrentUser;
- (BOOL)fileExistsAtPath:(NSString*)path;
- (BOOL)fileExistsAtPath:(NSString*)path isDirectory:(nullable BOOL*)isDirectory;
- (nullable NSString*)destinationOfSymbolicLinkAtPath:(NSString*)path error:(NSError**)error;
- (BOOL)createFileAtPath:(NSString*)path
                contents:(nullable NSData*)data
              attributes:(nullable NSDictionary<NSFileAttributeKey, id>*)attr;
- (BOOL)createDirectoryAtURL:(NSURL*)url
    withIntermediateDirectories:(BOOL)createIntermediates
                     attributes:(nullable NSDictionary<NSFileAttributeKey, id>*)attributes
                          error:(NSError**)error;
- (BOOL)removeItemAtURL:(NSURL*)URL error:(NSError**)error;
- (BOOL)trashItemAtURL:(NSURL*)url
      resultingItemURL:(NSURL* _Nullable* _Nullable)outResultingURL
                 error:(NSError**)error;
@end

@interface NSFileHandle : NSObject
+ (nullable instancetype)fileHandleForWritingToURL:(NSURL*)url error:(NSError**)error;
- (instancetype)initWithFileDescriptor:(int)fd closeOnDealloc:(BOOL)closeopt;
@property (readonly) int fileDescriptor;
@end

@interface NSTask : NSObject
@property (nullable, copy) NSURL* executableURL;
@property (nullable, copy) NSArray<NSString*>* arguments;
@property (nullable, copy) NSDictionary<NSString*, NSString*>* environment;
@property (nullable, copy) NSURL* currentDirectoryURL;
@property (nullable, retain) id standardOutput;
@property (nullable, retain) id standardError;
@property (nullable, copy) void (^terminationHandler)(NSTask*);
@property (readonly) int processIdentifier;
@property (readonly, getter=isRunning) BOOL running;
- (BOOL)launchAndReturnError:(NSError**)error;
- (void)waitUntilExit;
- (void)terminate;
@end

@interface NSProcessInfo : NSObject
@property (class, readonly, strong) NSProcessInfo* processInfo;
@property (readonly) int processIdentifier;
@property (readonly, copy) NSDictionary<NSString*, NSString*>* environment;
@end

@interface NSBundle : NSObject
@property (class, readonly, strong) NSBundle* mainBundle;
@property (nullable, readonly, copy) NSURL* resourceURL;
@property (readonly, copy) NSString* bundlePath;
@property (nullable, readonly, copy) NSDictionary<NSString*, id>* infoDictionary;
@end

@interface NSUserDefaults : NSObject
@property (class, readonly, strong) NSUserDefaults* standardUserDefaults;
- (BOOL)boolForKey:(NSString*)defaultName;
- (void)setBool:(BOOL)value forKey:(NSString*)defaultName;
- (void)removeObjectForKey:(NSString*)defaultName;
@end

@class NSTimer;

@interface NSTimer : NSObject
+ (NSTimer*)scheduledTimerWithTimeInterval:(NSTimeInterval)interval
                                   repeats:(BOOL)repeats
                                     block:(void (^)(NSTimer* timer))block;
- (void)invalidate;
@end

typedef NSString* NSRunLoopMode;
extern "C" NSRunLoopMode const NSRunLoopCommonModes;

@interface NSRunLoop : NSObject
@property (class, readonly, strong) NSRunLoop* mainRunLoop;
- (void)addTimer:(NSTimer*)timer forMode:(NSRunLoopMode)mode;
@end

@interface NSThread : NSObject
+ (void)sleepForTimeInterval:(NSTimeInterval)ti;
@end

@interface NSURLResponse : NSObject <NSCopying>
@end

@interface NSHTTPURLResponse : NSURLResponse
@property (readonly) NSInteger statusCode;
@end

@interface NSURLSessionTask : NSObject <NSCopying>
- (void)resume;
- (void)cancel;
@end

@interface NSURLSessionDataTask : NSURLSessionTask
@end

@interface NSURLSession : NSObject
@property (class, readonly, strong) NSURLSession* sharedSession;
- (NSURLSessionDataTask*)dataTaskWithURL:(NSURL*)url
                       completionHandler:(void (^)(NSData* _Nullable data,
                                             NSURLResponse* _Nullable response,
                                             NSError* _Nullable error))completionHandler;
@end

#pragma clang assume_nonnull end
