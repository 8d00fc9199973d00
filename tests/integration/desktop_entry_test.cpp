// A desktop entry's Exec value: written for a program's path, and read for the program
// it starts, as desktops read it.
#include "platform/linux/desktop_entry.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace ShadeLedgerZizadezavav;

TEST(DesktopExec, QuotingFollowsTheDesktopEntryRules)
{
    struct Written {
        std::string argument;
        std::string exec;
    };
    const std::vector<Written> written = {
        {"/opt/agent", "/opt/agent"},
        {"/opt/my agent", "\"/opt/my agent\""},
        {"/opt/100%", "/opt/100%%"},
        {"/a\"b`c$d\\e", "\"/a\\\"b\\`c\\$d\\\\e\""},
        {"/opt/it's", "\"/opt/it's\""},
    };
    for (const auto& [argument, exec] : written) {
        EXPECT_EQ(desktopExecArgument(argument), exec) << "written for " << argument;
    }

    struct Read {
        std::string exec;
        std::optional<std::string> program;
    };
    const std::vector<Read> read = {
        {"\"/opt/my agent\" %U", "/opt/my agent"},
        {"/opt/100%%", "/opt/100%"},
        {"\"/a\\\"b\\`c\\$d\\\\e\"", "/a\"b`c$d\\e"},
        {"", std::nullopt},
    };
    for (const auto& [exec, program] : read) {
        EXPECT_EQ(programOfDesktopExec(exec), program) << "read from " << exec;
    }
}
