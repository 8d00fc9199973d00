// Declarations of the AppKit API the macOS layer uses, written from Apple's published
// reference pages, for syntax checks of the layer on machines without the macOS SDK.
#pragma once

#include <Foundation/Foundation.h>

#pragma clang assume_nonnull begin

@interface NSResponder : NSObject
@end

@interface NSView : NSResponder
@end

@interface NSControl : NSView
@end

@class NSImage, NSMenu, NSMenuItem, NSWindow, NSRunningApplication;

@interface NSButton : NSControl
@property (copy) NSString* title;
@property (nullable, strong) NSImage* image;
@end

@interface NSStatusBarButton : NSButton
@end

@interface NSWindow : NSResponder
@end

typedef NSString* NSImageName;

@interface NSImage : NSObject <NSCopying>
+ (nullable NSImage*)imageNamed:(NSImageName)name;
// The property "template" as its accessors: the name is a keyword in Objective-C++.
- (BOOL)isTemplate;
- (void)setTemplate:(BOOL)isTemplate;
@end

typedef NSInteger NSControlStateValue;
static const NSControlStateValue NSControlStateValueOff = 0;
static const NSControlStateValue NSControlStateValueOn = 1;

@interface NSMenuItem : NSObject <NSCopying>
+ (NSMenuItem*)separatorItem;
- (instancetype)initWithTitle:(NSString*)string
                       action:(nullable SEL)selector
                keyEquivalent:(NSString*)charCode;
@property (getter=isEnabled) BOOL enabled;
@property NSControlStateValue state;
@end

@interface NSMenu : NSObject <NSCopying>
- (instancetype)init;
- (void)addItem:(NSMenuItem*)newItem;
@end

@interface NSStatusItem : NSObject
@property (nullable, readonly, strong) NSStatusBarButton* button;
@property (nullable, strong) NSMenu* menu;
@end

@interface NSStatusBar : NSObject
@property (class, readonly, strong) NSStatusBar* systemStatusBar;
- (NSStatusItem*)statusItemWithLength:(CGFloat)length;
@end

typedef NSInteger NSModalResponse;
static const NSModalResponse NSAlertFirstButtonReturn = 1000;

typedef enum : NSUInteger {
    NSAlertStyleWarning = 0,
    NSAlertStyleInformational = 1,
    NSAlertStyleCritical = 2,
} NSAlertStyle;

@interface NSAlert : NSObject
@property (copy) NSString* messageText;
@property (copy) NSString* informativeText;
@property NSAlertStyle alertStyle;
- (NSButton*)addButtonWithTitle:(NSString*)title;
- (NSModalResponse)runModal;
@end

typedef enum : NSInteger {
    NSApplicationActivationPolicyRegular = 0,
    NSApplicationActivationPolicyAccessory = 1,
    NSApplicationActivationPolicyProhibited = 2,
} NSApplicationActivationPolicy;

@protocol NSApplicationDelegate <NSObject>
@optional
- (void)applicationDidFinishLaunching:(NSNotification*)notification;
- (void)applicationWillTerminate:(NSNotification*)notification;
@end

@interface NSApplication : NSResponder
@property (class, readonly, strong) __kindof NSApplication* sharedApplication;
@property (nullable, weak) id<NSApplicationDelegate> delegate;
@property (nullable, readonly, strong) NSWindow* modalWindow;
- (void)run;
- (BOOL)setActivationPolicy:(NSApplicationActivationPolicy)activationPolicy;
- (void)activateIgnoringOtherApps:(BOOL)flag;
- (void)terminate:(nullable id)sender;
@end

extern "C" __kindof NSApplication* _Null_unspecified NSApp;

@interface NSRunningApplication : NSObject
+ (NSArray<NSRunningApplication*>*)runningApplicationsWithBundleIdentifier:
    (NSString*)bundleIdentifier;
+ (nullable instancetype)runningApplicationWithProcessIdentifier:(pid_t)pid;
@property (readonly) pid_t processIdentifier;
@property (nullable, readonly, copy) NSDate* launchDate;
- (BOOL)terminate;
@end

@interface NSWorkspaceOpenConfiguration : NSObject <NSCopying>
+ (instancetype)configuration;
@end

@interface NSWorkspace : NSObject
@property (class, readonly, strong) NSWorkspace* sharedWorkspace;
- (BOOL)openURL:(NSURL*)url;
- (nullable NSURL*)URLForApplicationWithBundleIdentifier:(NSString*)bundleIdentifier;
- (void)openURLs:(NSArray<NSURL*>*)urls
    withApplicationAtURL:(NSURL*)applicationURL
           configuration:(NSWorkspaceOpenConfiguration*)configuration
       completionHandler:(void (^_Nullable)(NSRunningApplication* _Nullable app,
                             NSError* _Nullable error))completionHandler;
@end

#pragma clang assume_nonnull end
