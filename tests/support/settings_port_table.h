// The table of settings texts and the port each gives
// (tests/resources/settings_port_cases.json), which the bridge's tests read too.
// Header-only, for the portable unit tests and the Linux integration tests alike.
#pragma once

#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace ShadeLedgerZizadezavav {

struct SettingsPortCase {
    nlohmann::json entry;

    std::string name() const { return entry["name"].get<std::string>(); }
    std::string port() const { return entry["port"].get<std::string>(); }
    bool setsHome() const { return entry.contains("home"); }
};

inline void PrintTo(const SettingsPortCase& portCase, std::ostream* stream)
{
    *stream << portCase.name();
}

// A byte value of the table: a string (UTF-8), {hex}, {repeat, times}, or a list joined.
inline std::string bytesOf(const nlohmann::json& value)
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

// The cases that set HOME, or the others.
inline std::vector<SettingsPortCase> settingsPortCases(bool settingHome)
{
    std::ifstream file(std::string(SL_SOURCE_DIR) + "/tests/resources/settings_port_cases.json");
    std::stringstream text;
    text << file.rdbuf();
    auto table = nlohmann::json::parse(text.str());
    std::vector<SettingsPortCase> cases;
    for (const auto& entry : table["cases"]) {
        if (entry.contains("home") == settingHome) {
            cases.push_back({entry});
        }
    }
    return cases;
}

// A test name from the case's: "a byte-order mark twice" → ByteOrderMarkTwice.
inline std::string settingsPortTestName(const SettingsPortCase& portCase)
{
    std::string result;
    bool upper = true;
    for (char c : portCase.name()) {
        auto byte = static_cast<unsigned char>(c);
        if ((byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z')
            || (byte >= 'A' && byte <= 'Z')) {
            result.push_back(
                upper && byte >= 'a' && byte <= 'z' ? static_cast<char>(byte - 'a' + 'A') : c);
            upper = false;
        } else {
            upper = true;
        }
    }
    return result;
}

} // namespace ShadeLedgerZizadezavav
