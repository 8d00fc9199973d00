// Health monitoring: the bridge's port, the probe and the connection state.
#include <cmath>
#include <limits>
#include <string>

#include <nlohmann/json.hpp>

#include "agent/app_delegate.h"
#include "health/settings.h"

namespace ShadeLedgerZizadezavav {

namespace {
constexpr Milliseconds healthInterval{3000};
constexpr const char* settingsRelativePath
    = "Library/Application Support/ShadeLedger/zizadezavav.json";

// The exact whole number a JSON number token spells, when it lies within the
// signed 64-bit range. Works on the text so that no rounding through double can
// turn 8080.5 or 2^63 + 1 into something usable.
std::optional<std::int64_t> wholeNumberFromToken(std::string_view token)
{
    bool negative = !token.empty() && token.front() == '-';
    if (negative) {
        token.remove_prefix(1);
    }
    std::string digits;
    std::int64_t exponent = 0;
    std::size_t i = 0;
    for (; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i) {
        digits.push_back(token[i]);
    }
    if (i < token.size() && token[i] == '.') {
        for (++i; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i) {
            digits.push_back(token[i]);
            --exponent;
        }
    }
    if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
        ++i;
        bool negativeExponent = i < token.size() && token[i] == '-';
        if (i < token.size() && (token[i] == '-' || token[i] == '+')) {
            ++i;
        }
        std::int64_t written = 0;
        for (; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i) {
            // Beyond this the number is out of range or not whole either way.
            written = std::min<std::int64_t>(written * 10 + (token[i] - '0'), 100000);
        }
        exponent += negativeExponent ? -written : written;
    }
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
    while (!digits.empty() && digits.back() == '0') {
        digits.pop_back();
        ++exponent;
    }
    if (digits.empty()) {
        return 0;
    }
    if (exponent < 0 || static_cast<std::int64_t>(digits.size()) + exponent > 19) {
        return std::nullopt;
    }
    digits.append(static_cast<std::size_t>(exponent), '0');
    // At most 19 digits: fits unsigned 64 bits.
    std::uint64_t magnitude = std::stoull(digits);
    constexpr std::uint64_t limit = std::uint64_t{1} << 63;
    if (negative) {
        if (magnitude > limit) {
            return std::nullopt;
        }
        return magnitude == limit ? std::numeric_limits<std::int64_t>::min()
                                  : -static_cast<std::int64_t>(magnitude);
    }
    if (magnitude >= limit) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(magnitude);
}

// Follows the parse and keeps what the top-level member "port" holds; the last
// of several such members counts.
class PortReader final : public nlohmann::json_sax<nlohmann::json> {
public:
    std::optional<std::int64_t> port;
    bool topLevelObject = false;

    bool null() override { return scalar(std::nullopt); }
    bool boolean(bool) override { return scalar(std::nullopt); }
    bool number_integer(number_integer_t value) override { return scalar(value); }
    bool number_unsigned(number_unsigned_t value) override
    {
        if (value > static_cast<number_unsigned_t>(std::numeric_limits<std::int64_t>::max())) {
            return scalar(std::nullopt);
        }
        return scalar(static_cast<std::int64_t>(value));
    }
    bool number_float(number_float_t, const string_t& token) override
    {
        return scalar(wholeNumberFromToken(token));
    }
    bool string(string_t&) override { return scalar(std::nullopt); }
    bool binary(binary_t&) override { return scalar(std::nullopt); }
    bool start_object(std::size_t) override
    {
        if (depth == 0) {
            topLevelObject = true;
        }
        return open();
    }
    bool key(string_t& name) override
    {
        portIsNext = depth == 1 && name == "port";
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override
    {
        return false;
    }

private:
    int depth = 0;
    bool portIsNext = false;

    bool scalar(std::optional<std::int64_t> value)
    {
        if (depth == 1 && portIsNext) {
            port = value;
            portIsNext = false;
        }
        return true;
    }
    bool open()
    {
        scalar(std::nullopt); // an object or array as "port" is not usable
        ++depth;
        return true;
    }
    bool close()
    {
        --depth;
        return true;
    }
};
} // namespace

std::optional<std::int64_t> portFromSettingsText(std::string_view text)
{
    PortReader reader;
    bool parsed = nlohmann::json::sax_parse(text.begin(), text.end(), &reader);
    if (!parsed || !reader.topLevelObject) {
        return std::nullopt;
    }
    return reader.port;
}

std::int64_t AppDelegate::bridgePort()
{
    std::string path = appendingPathComponent(
        platform.files.homeDirectoryForCurrentUser(), settingsRelativePath);
    // Only a small regular file is read: a FIFO or a huge file must not stall the
    // main thread.
    auto text = platform.files.contentsOfRegularFile(path, settingsFileSizeLimit);
    if (!text) {
        return defaultBridgePort;
    }
    return portFromSettingsText(*text).value_or(defaultBridgePort);
}

void AppDelegate::checkHealth()
{
    std::string address = "http://127.0.0.1:" + std::to_string(bridgePort()) + "/health";
    Scheduler& scheduler = platform.scheduler;
    platform.http.get(address, [weak = weak_from_this(), &scheduler](HTTPResult result) {
        // On the client's thread: only the result travels to the main queue.
        bool healthy = result.statusCode() == 200;
        scheduler.async([weak, healthy] {
            if (auto self = weak.lock()) {
                self->applyProbeResult(healthy);
            }
        });
    });
}

void AppDelegate::applyProbeResult(bool connected)
{
    if (isConnected == connected) {
        return;
    }
    isConnected = connected;
    rebuildMenu();
}

void AppDelegate::scheduleHealthCheck()
{
    healthTimer = platform.scheduler.scheduledTimer(
        healthInterval, true, [weak = weak_from_this()](Timer&) {
            if (auto self = weak.lock()) {
                self->checkHealth();
            }
        });
}

} // namespace ShadeLedgerZizadezavav
