#include "platform/linux/desktop_entry.h"

#include "platform/linux/glib_owners.h"

#include <string_view>

namespace ShadeLedgerZizadezavav {

std::string desktopExecArgument(const std::string& argument)
{
    constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    constexpr std::string_view escapedInQuotes = "\"`$\\";
    bool quoted = argument.empty() || argument.find_first_of(reserved) != std::string::npos;
    std::string result;
    if (quoted) {
        result.push_back('"');
    }
    for (char character : argument) {
        if (character == '%') {
            result += "%%";
            continue;
        }
        if (quoted && escapedInQuotes.find(character) != std::string_view::npos) {
            result.push_back('\\');
        }
        result.push_back(character);
    }
    if (quoted) {
        result.push_back('"');
    }
    return result;
}

std::optional<std::string> programOfDesktopExec(const std::string& exec)
{
    // Field codes first: %% is a literal %; the others stand for files, URLs, the icon
    // and such, none of which can be part of the program.
    std::string expanded;
    for (std::size_t index = 0; index < exec.size(); ++index) {
        if (exec[index] != '%') {
            expanded.push_back(exec[index]);
            continue;
        }
        if (index + 1 < exec.size() && exec[index + 1] == '%') {
            expanded.push_back('%');
        }
        ++index;
    }
    // A desktop entry quotes as the shell's double quotes do, for the characters it allows.
    gint argc = 0;
    gchar** rawArgv = nullptr;
    GErrorPtr error;
    if (!g_shell_parse_argv(expanded.c_str(), &argc, &rawArgv, errorOut(error))) {
        debugError("a desktop entry's Exec not parsed", error);
        return std::nullopt;
    }
    GStrvPtr argv(rawArgv);
    if (argc < 1) {
        return std::nullopt;
    }
    return std::string(argv.get()[0]);
}

} // namespace ShadeLedgerZizadezavav
