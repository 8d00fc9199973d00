// The application on macOS: see macos_application.h for how each call maps the contract.
#include "platform/macos/macos_application.h"

#include "platform/macos/macos_status_bar.h"

#include <csignal>

using ShadeLedgerZizadezavav::ApplicationDelegate;
using ShadeLedgerZizadezavav::MenuAction;

@implementation MacOSApplicationDelegate {
    std::weak_ptr<ApplicationDelegate> _delegate;
    BOOL _launched;
    BOOL _terminating;
}

- (void)setApplicationDelegate:(std::weak_ptr<ApplicationDelegate>)delegate
{
    _delegate = std::move(delegate);
}

- (void)applicationDidFinishLaunching:(NSNotification*)notification
{
    if (_launched || _terminating) {
        return;
    }
    _launched = YES;
    if (auto delegate = _delegate.lock()) {
        delegate->applicationDidFinishLaunching();
    }
}

- (void)applicationWillTerminate:(NSNotification*)notification
{
    if (_terminating) {
        return;
    }
    _terminating = YES;
    if (auto delegate = _delegate.lock()) {
        delegate->applicationWillTerminate();
    }
}

- (BOOL)validateMenuItem:(NSMenuItem*)menuItem
{
    // What perform: would drop shows disabled.
    if (_terminating || NSApp.modalWindow) {
        return NO;
    }
    if ([menuItem isKindOfClass:[MacOSMenuItem class]]) {
        return static_cast<MacOSMenuItem*>(menuItem).enabledByAgent;
    }
    return YES;
}

- (void)perform:(MenuAction)action
{
    // The alert's answer comes first; an agent on its way out takes no more commands.
    if (_terminating || NSApp.modalWindow) {
        return;
    }
    if (auto delegate = _delegate.lock()) {
        delegate->performAction(action);
    }
}

- (void)quit
{
    [self perform:MenuAction::quit];
}

- (void)restartBridge
{
    [self perform:MenuAction::restartBridge];
}

- (void)viewLog
{
    [self perform:MenuAction::viewLog];
}

- (void)toggleLogin
{
    [self perform:MenuAction::toggleLogin];
}

- (void)openApp
{
    [self perform:MenuAction::openApp];
}

- (void)checkForUpdates
{
    [self perform:MenuAction::checkForUpdates];
}

- (void)confirmUninstall
{
    [self perform:MenuAction::confirmUninstall];
}

@end

namespace ShadeLedgerZizadezavav {

// Lets the dispatch source see the signal without the default action ending the process.
static void noteSignal(int)
{
}

MacOSApplication::MacOSApplication()
    : application_(NSApplication.sharedApplication)
    , delegate_([[MacOSApplicationDelegate alloc] init])
{
    application_.delegate = delegate_;
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        std::signal(signalNumber, noteSignal);
        dispatch_source_t source = dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL,
            static_cast<uintptr_t>(signalNumber), 0, dispatch_get_main_queue());
        dispatch_source_set_event_handler(source, ^{ [NSApp terminate:nil]; });
        dispatch_activate(source);
        terminationSignals_.push_back(source);
    }
}

void MacOSApplication::setDelegate(std::weak_ptr<ApplicationDelegate> delegate)
{
    [delegate_ setApplicationDelegate:std::move(delegate)];
}

void MacOSApplication::run()
{
    [application_ run];
}

void MacOSApplication::setActivationPolicy(ActivationPolicy policy)
{
    NSApplicationActivationPolicy platformPolicy = NSApplicationActivationPolicyRegular;
    switch (policy) {
    case ActivationPolicy::regular:
        break;
    case ActivationPolicy::accessory:
        platformPolicy = NSApplicationActivationPolicyAccessory;
        break;
    case ActivationPolicy::prohibited:
        platformPolicy = NSApplicationActivationPolicyProhibited;
        break;
    }
    [application_ setActivationPolicy:platformPolicy];
}

void MacOSApplication::terminate()
{
    [application_ terminate:nil];
}

} // namespace ShadeLedgerZizadezavav
