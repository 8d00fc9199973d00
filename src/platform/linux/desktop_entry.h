// A desktop entry's Exec value, written and read as the Desktop Entry specification has
// it: arguments separated by spaces, double-quoted where they hold a reserved character
// (with ", `, $ and \ escaped inside the quotes), and field codes (%f, %U, ...) that the
// desktop replaces, %% standing for a literal %. Both sides work on the value after
// key-file string escaping has been undone (g_key_file_get_string/set_string do that).
#pragma once

#include <optional>
#include <string>

namespace ShadeLedgerZizadezavav {

// One argument of an Exec value: double-quoted (with ", `, $ and \ escaped) when it holds a
// reserved character, and every % doubled.
std::string desktopExecArgument(const std::string& argument);

// The program an Exec value starts, as a desktop reads it: field codes dropped (%% kept as
// %), then the quoting undone. None when it cannot be parsed or names no program.
std::optional<std::string> programOfDesktopExec(const std::string& exec);

} // namespace ShadeLedgerZizadezavav
