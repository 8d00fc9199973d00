// The version shown in the menu, from the information dictionary.
#pragma once

#include <optional>
#include <string>

#include "platform/bundle.h"

namespace ShadeLedgerZizadezavav {

// "CFBundleShortVersionString" when it is a string; otherwise "".
std::string versionString(const std::optional<InfoDictionary>& infoDictionary);

} // namespace ShadeLedgerZizadezavav
