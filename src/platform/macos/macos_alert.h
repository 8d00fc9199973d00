// The alert on macOS: NSAlert.
//
// runModal: an NSAlert with setMessageText:, setInformativeText:, addButtonWithTitle:
// for every button in order and setAlertStyle: (the contract's styles are NSAlertStyle's
// values), run with runModal, whose answer is the contract's: 1000 for the first button
// added, 1001 for the second. An agent without a Dock icon is not the active
// application, so it is activated first, or the question would open behind other
// windows. An alert without buttons gets AppKit's single OK, which answers 1000.
#pragma once

#include "platform/alert.h"

namespace ShadeLedgerZizadezavav {

class MacOSAlertPresenter : public AlertPresenter {
public:
    long runModal(const Alert& alert) override;
};

} // namespace ShadeLedgerZizadezavav
