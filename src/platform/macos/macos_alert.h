// The alert on macOS: NSAlert.
//
// runModal: an NSAlert with setMessageText:, setInformativeText:, addButtonWithTitle:
// for every button in order and setAlertStyle: (the contract's styles are NSAlertStyle's
// values), run with runModal, whose answer is the contract's: 1000 for the first button
// added, 1001 for the second. Nothing brings the application to the front first: runModal
// is the only call. An alert without buttons gets AppKit's implicit OK, which answers 0
// (NSAlert.h), so it never reads as the first button. The alert's window does not prevent
// termination (preventsApplicationTerminationWhenModal NO): termination while it is open
// runs applicationWillTerminate: and ends the process inside runModal, which never returns.
#pragma once

#include "platform/alert.h"

namespace ShadeLedgerZizadezavav {

class MacOSAlertPresenter : public AlertPresenter {
public:
    long runModal(const Alert& alert) override;
};

} // namespace ShadeLedgerZizadezavav
