// The login item on Linux: an XDG autostart entry.
//
// The entry is $XDG_CONFIG_HOME/autostart/<bundle id>.desktop (Type=Application, Name,
// Exec = the agent's absolute executable path quoted as desktop entries require,
// X-GNOME-Autostart-enabled=true), written atomically. Status, read afresh at each call:
//   notFound (3)          the agent's own executable is unknown;
//   enabled (1)           an entry whose Exec starts this agent and that the desktop runs;
//   requiresApproval (2)  an entry for this agent that the desktop has switched off
//                         (Hidden=true or X-GNOME-Autostart-enabled=false);
//   notRegistered (0)     anything else: no entry, one that starts another program, one
//                         that is malformed or unreadable, a directory in its place.
// Unregistering when there is no entry succeeds: the agent then does not start at login,
// which is what was asked. There is no settings page to open for approval: desktops differ,
// and registering writes an entry the desktop runs, which is all the approval there is.
#pragma once

#include <optional>
#include <string>

#include "platform/login_item.h"

namespace ShadeLedgerZizadezavav {

class LinuxLoginItemService : public LoginItemService {
public:
    // executablePath: the agent's absolute executable path, or none when unknown.
    LinuxLoginItemService(std::string bundleIdentifier, std::optional<std::string> executablePath);

    LoginItemStatus status() override;
    bool registerItem() override;
    bool unregisterItem() override;
    void openSystemSettingsLoginItems() override { }

    // Where the entry lives now (XDG_CONFIG_HOME is read at each call).
    std::string entryPath() const;

private:
    std::string bundleIdentifier_;
    std::optional<std::string> executablePath_;
};

} // namespace ShadeLedgerZizadezavav
