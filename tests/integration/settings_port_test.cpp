// Where the agent looks for the settings file, for each HOME of the table the bridge's
// tests read too: when the two look in different places, a healthy bridge shows as
// "○ Not connected" for good.
#include "health/settings.h"
#include "platform/linux/linux_files.h"
#include "support/settings_port_table.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace ShadeLedgerZizadezavav {
namespace {

class SettingsHome : public ::testing::TestWithParam<SettingsPortCase> { };

TEST_P(SettingsHome, TheAgentReadsTheFileTheBridgeReads)
{
    TempHome temporary;
    const auto& entry = GetParam().entry;
    std::string directory = temporary.root() + "/case/";
    makeDirectories(directory);
    for (const auto& link : entry.value("links", nlohmann::json::array())) {
        makeDirectories(directory + bytesOf(link[1]));
        ASSERT_EQ(symlink(bytesOf(link[1]).c_str(), (directory + bytesOf(link[0])).c_str()), 0);
    }
    std::string settingsHome = directory + bytesOf(entry.value("settingsIn", entry["home"]));
    writeFile(appendingPathComponent(settingsHome, settingsRelativePath), bytesOf(entry["text"]));
    temporary.setenv("HOME", directory + bytesOf(entry["home"]));

    LinuxFileManager files;
    EXPECT_EQ(std::to_string(bridgePortFromSettings(files)), GetParam().port());
}

INSTANTIATE_TEST_SUITE_P(Table, SettingsHome, ::testing::ValuesIn(settingsPortCases(true)),
    [](const ::testing::TestParamInfo<SettingsPortCase>& info) {
        return settingsPortTestName(info.param);
    });

} // namespace
} // namespace ShadeLedgerZizadezavav
