// The alert on Linux: a question asked through zenity, or kdialog when zenity is absent,
// found on PATH.
//
// Implements: the message as the title and first paragraph, the informative text below
// it, the first two buttons in order (the first is the dialog's OK, the second its
// Cancel), an icon after the style, texts shown as they are (no markup). While the
// dialog is up the main context keeps running in a nested loop, so the status item
// still answers its host, and the application is modal: commands are dropped.
// Terminating the application closes the dialog (SIGTERM, then SIGKILL after a grace of
// one second) and never confirms, whatever the dialog's exit status.
// Exit status 0 is the first button (1000); any other end, or no dialog tool at all, is
// the second (1001), so nothing is ever confirmed without the user.
// Does not implement: a third button or more (only the first two are shown).
#pragma once

#include "platform/alert.h"
#include "platform/linux/linux_application.h"

namespace ShadeLedgerZizadezavav {

class LinuxAlertPresenter : public AlertPresenter {
public:
    explicit LinuxAlertPresenter(LinuxApplication& application);

    long runModal(const Alert& alert) override;

private:
    LinuxApplication& application_;
};

} // namespace ShadeLedgerZizadezavav
