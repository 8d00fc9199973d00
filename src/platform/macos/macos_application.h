// The application on macOS: NSApplication sharedApplication, run on the main thread, with
// a delegate object of this layer's own.
//
// Implements:
// - setDelegate: the core's delegate is held weakly by MacOSApplicationDelegate, which
//   is NSApplication's delegate (setDelegate:; AppKit holds it weakly, this object holds
//   it strongly);
// - the two lifecycle callbacks, applicationDidFinishLaunching: and
//   applicationWillTerminate:, forwarded once each; applicationShouldTerminate: is not
//   implemented, so termination is never delayed or refused;
// - the seven menu actions as methods of MacOSApplicationDelegate under the actions'
//   names, taking no sender: menu items carry no target, so AppKit sends a chosen item's
//   action along the responder chain, which for an agent without windows ends at the
//   application's delegate. Actions are dropped while a modal alert runs and once
//   termination has begun;
// - menu item validation (validateMenuItem:, asked by the menus' automatic enabling of
//   the target of each item's action): an item is enabled as its Menu says, and every
//   item is disabled while a modal alert runs and once termination has begun;
// - run: NSApplication run; setActivationPolicy: with the same values (1 is accessory);
// - terminate: NSApplication terminate: with no sender. AppKit then calls
//   applicationWillTerminate: and ends the process itself with exit(), so run does not
//   return, and the platform object outlives everything that exit() destroys;
// - SIGTERM, SIGINT and SIGHUP (a polite kill) are terminations like Quit: dispatch
//   signal sources on the main queue call terminate:. The signals get an empty handler
//   rather than SIG_IGN, which children would inherit across exec.
#pragma once

#import <AppKit/AppKit.h>

#include <memory>
#include <vector>

#include "platform/application.h"

@interface MacOSApplicationDelegate : NSObject <NSApplicationDelegate, NSMenuItemValidation>
- (void)setApplicationDelegate:(std::weak_ptr<ShadeLedgerZizadezavav::ApplicationDelegate>)delegate;
- (void)quit;
- (void)restartBridge;
- (void)viewLog;
- (void)toggleLogin;
- (void)openApp;
- (void)checkForUpdates;
- (void)confirmUninstall;
@end

namespace ShadeLedgerZizadezavav {

class MacOSApplication : public Application {
public:
    MacOSApplication();

    void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) override;
    void run() override;
    void setActivationPolicy(ActivationPolicy policy) override;
    void terminate() override;

private:
    NSApplication* application_;
    MacOSApplicationDelegate* delegate_;
    std::vector<dispatch_source_t> terminationSignals_;
};

} // namespace ShadeLedgerZizadezavav
