// Reading the bridge's port from the settings file's text: the exact number the
// text spells, never rounded through a double.
#include "health/settings.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <string>

#include <nlohmann/json.hpp>

namespace ShadeLedgerZizadezavav {

namespace {

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
        // The fraction and trailing zeros can move the exponent by at most the
        // token's length; beyond that the number is out of range or not whole either
        // way, so the written exponent is held just past it.
        const auto bound = static_cast<std::int64_t>(token.size()) + 20;
        std::int64_t written = 0;
        for (; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i) {
            written = std::min<std::int64_t>(written * 10 + (token[i] - '0'), bound);
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

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The JSON grammar of a number: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool isJSONNumber(std::string_view token)
{
    std::size_t i = 0;
    auto digits = [&] {
        std::size_t start = i;
        while (i < token.size() && isDigit(token[i])) {
            ++i;
        }
        return i - start;
    };
    if (i < token.size() && token[i] == '-') {
        ++i;
    }
    std::size_t whole = digits();
    if (whole == 0 || (whole > 1 && token[i - whole] == '0')) {
        return false;
    }
    if (i < token.size() && token[i] == '.') {
        ++i;
        if (digits() == 0) {
            return false;
        }
    }
    if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
        ++i;
        if (i < token.size() && (token[i] == '+' || token[i] == '-')) {
            ++i;
        }
        if (digits() == 0) {
            return false;
        }
    }
    return i == token.size();
}

// The UTF-16 unit of the escape \uXXXX at text[at], if there is one.
std::optional<unsigned> escapedUnit(std::string_view text, std::size_t at)
{
    if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') {
        return std::nullopt;
    }
    unsigned unit = 0;
    auto [end, error] = std::from_chars(text.data() + at + 2, text.data() + at + 6, unit, 16);
    if (error != std::errc() || end != text.data() + at + 6) {
        return std::nullopt;
    }
    return unit;
}

// nlohmann refuses two things the JSON grammar allows: an escaped UTF-16 surrogate without
// its other half, and a number too large for a double. The rule ignores
// every member but "port", whatever it holds, and neither is a usable port. So each is
// replaced with text of the same length that nlohmann takes and that is no usable port:
// the escape with \ufffd, the number with 0.5 and spaces. Anything else is left for the
// parse to judge.
std::string withoutRefusedValues(std::string_view text)
{
    std::string result(text);
    bool inString = false;
    for (std::size_t i = 0; i < result.size(); ++i) {
        char c = result[i];
        if (inString) {
            if (c == '"') {
                inString = false;
            } else if (c == '\\') {
                if (auto unit = escapedUnit(result, i)) {
                    bool high = *unit >= 0xD800 && *unit <= 0xDBFF;
                    bool low = *unit >= 0xDC00 && *unit <= 0xDFFF;
                    auto next = high ? escapedUnit(result, i + 6) : std::nullopt;
                    if (next && *next >= 0xDC00 && *next <= 0xDFFF) {
                        i += 11; // a whole pair
                        continue;
                    }
                    if (high || low) {
                        result.replace(i, 6, "\\ufffd");
                    }
                    i += 5;
                    continue;
                }
                ++i; // the escaped character
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '-' || isDigit(c)) {
            std::size_t end = i;
            while (end < result.size()
                && (isDigit(result[end])
                    || std::string_view("+-.eE").find(result[end]) != std::string_view::npos)) {
                ++end;
            }
            std::string_view token(result.data() + i, end - i);
            // nlohmann's own verdict on the number alone: no second reading of numbers.
            if (isJSONNumber(token) && !nlohmann::json::accept(token)) {
                result.replace(i, end - i, "0.5" + std::string(end - i - 3, ' '));
            }
            i = end - 1;
        }
    }
    return result;
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
    // nlohmann takes a NUL for the end of the input and would ignore what follows; JSON has
    // no place for one.
    if (text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    std::string tolerable = withoutRefusedValues(text);
    PortReader reader;
    bool parsed = nlohmann::json::sax_parse(tolerable.begin(), tolerable.end(), &reader);
    if (!parsed || !reader.topLevelObject) {
        return std::nullopt;
    }
    return reader.port;
}

std::int64_t bridgePortFromSettings(FileManager& files)
{
    std::string path
        = appendingPathComponent(files.homeDirectoryForCurrentUser(), settingsRelativePath);
    // Only a small regular file is read: a FIFO or a huge file must not stall the main
    // thread.
    auto text = files.contentsOfRegularFile(path, settingsFileSizeLimit);
    if (!text) {
        return defaultBridgePort;
    }
    return portFromSettingsText(*text).value_or(defaultBridgePort);
}

} // namespace ShadeLedgerZizadezavav
