// The alert on macOS: see macos_alert.h for how each call maps the contract.
#include "platform/macos/macos_alert.h"

#import <AppKit/AppKit.h>

#include "platform/macos/macos_strings.h"

namespace ShadeLedgerZizadezavav {

static NSAlertStyle platformStyle(AlertStyle style)
{
    switch (style) {
    case AlertStyle::informational:
        return NSAlertStyleInformational;
    case AlertStyle::critical:
        return NSAlertStyleCritical;
    case AlertStyle::warning:
        break;
    }
    return NSAlertStyleWarning;
}

long MacOSAlertPresenter::runModal(const Alert& alert)
{
    NSAlert* question = [[NSAlert alloc] init];
    question.messageText = nsString(alert.messageText);
    question.informativeText = nsString(alert.informativeText);
    for (const auto& title : alert.buttons) {
        [question addButtonWithTitle:nsString(title)];
    }
    question.alertStyle = platformStyle(alert.alertStyle);
    // A modal window refuses termination by default, without asking the delegate; the
    // agent's never is: a logout, SIGTERM or Quit while the question is open ends the
    // agent, and the question goes unanswered.
    question.window.preventsApplicationTerminationWhenModal = NO;
    return static_cast<long>([question runModal]);
}

} // namespace ShadeLedgerZizadezavav
