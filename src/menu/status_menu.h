// The status menu as a value of what it shows; the agent hands a new one to the status
// item whenever that changes.
#pragma once

#include <optional>
#include <string>

#include "platform/bundle.h"
#include "platform/status_bar.h"

namespace ShadeLedgerZizadezavav {

// What the menu shows.
struct MenuState {
    bool isConnected = false;
    bool loginEnabled = false;
    // The version line's number, "" when the bundle names none.
    std::string version;
};

// The whole menu: connection line, commands, version line.
Menu statusMenu(const MenuState& state);

// "CFBundleShortVersionString" when it is a string; otherwise "".
std::string versionString(const std::optional<InfoDictionary>& infoDictionary);

} // namespace ShadeLedgerZizadezavav
