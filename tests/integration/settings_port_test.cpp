// The port the agent reads from each settings file of the table the bridge's tests read
// too (tests/resources/settings_port_cases.json): when the two differ, a healthy bridge
// shows as "○ Not connected" for good.
#include "health/settings.h"
#include "platform/linux/linux_files.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cctype>
#include <unistd.h>

namespace ShadeLedgerZizadezavav {
namespace {

// A byte value of the table: a string (UTF-8), {hex}, {repeat, times}, or a list joined.
std::string bytesOf(const nlohmann::json& value)
{
    if (value.is_string()) {
        return value.get<std::string>();
    }
    std::string bytes;
    if (value.is_array()) {
        for (const auto& part : value) {
            bytes += bytesOf(part);
        }
    } else if (value.contains("hex")) {
        auto hex = value["hex"].get<std::string>();
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        }
    } else {
        std::string unit = bytesOf(value["repeat"]);
        for (int i = 0; i < value["times"].get<int>(); ++i) {
            bytes += unit;
        }
    }
    return bytes;
}

struct PortCase {
    nlohmann::json entry;
};

void PrintTo(const PortCase& portCase, std::ostream* stream)
{
    *stream << portCase.entry["name"].get<std::string>();
}

std::vector<PortCase> tableCases()
{
    std::string text
        = readFile(std::string(SL_SOURCE_DIR) + "/tests/resources/settings_port_cases.json");
    auto table = nlohmann::json::parse(text);
    std::vector<PortCase> cases;
    for (const auto& entry : table["cases"]) {
        cases.push_back({entry});
    }
    return cases;
}

// "a byte-order mark twice" → ByteOrderMarkTwice
std::string testName(const std::string& name)
{
    std::string result;
    bool upper = true;
    for (char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            result.push_back(
                upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c);
            upper = false;
        } else {
            upper = true;
        }
    }
    return result;
}

class SettingsPortRule : public ::testing::TestWithParam<PortCase> { };

TEST_P(SettingsPortRule, TheAgentProbesThePortTheBridgeListensOn)
{
    TempHome temporary;
    const auto& entry = GetParam().entry;
    std::string directory = temporary.root() + "/case/";
    makeDirectories(directory);
    std::string home = temporary.home();
    std::string settingsHome = home;
    if (entry.contains("home")) {
        home = directory + bytesOf(entry["home"]);
        settingsHome = directory + bytesOf(entry.value("settingsIn", entry["home"]));
        for (const auto& link : entry.value("links", nlohmann::json::array())) {
            makeDirectories(directory + bytesOf(link[1]));
            ASSERT_EQ(symlink(bytesOf(link[1]).c_str(), (directory + bytesOf(link[0])).c_str()), 0);
        }
    }
    writeFile(appendingPathComponent(settingsHome, settingsRelativePath), bytesOf(entry["text"]));
    temporary.setenv("HOME", home);

    LinuxFileManager files;
    EXPECT_EQ(std::to_string(bridgePortFromSettings(files)), entry["port"].get<std::string>());
}

INSTANTIATE_TEST_SUITE_P(Table, SettingsPortRule, ::testing::ValuesIn(tableCases()),
    [](const ::testing::TestParamInfo<PortCase>& info) {
        return testName(info.param.entry["name"].get<std::string>());
    });

} // namespace
} // namespace ShadeLedgerZizadezavav
