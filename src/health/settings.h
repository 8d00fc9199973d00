// Reading the bridge's port from the settings file's text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/files.h"

namespace ShadeLedgerZizadezavav {

inline constexpr std::int64_t defaultBridgePort = 47821;
// Larger settings files are not read at all.
inline constexpr std::size_t settingsFileSizeLimit = std::size_t{1024} * 1024;
inline constexpr const char* settingsRelativePath
    = "Library/Application Support/ShadeLedger/zizadezavav.json";

// The usable "port" of a JSON object text: a whole number within the signed
// 64-bit range. None for anything else (booleans and strings included).
std::optional<std::int64_t> portFromSettingsText(std::string_view text);

// The port the settings file below the user's home names now, or the default.
std::int64_t bridgePortFromSettings(FileManager& files);

} // namespace ShadeLedgerZizadezavav
