// Reading the bridge's port from the settings file's text in one pass, which judges the text
// as the bridge's JSON.parse does and reads the top-level "port" member's number exactly,
// never rounded through a double.
#include "health/settings.h"

#include <algorithm>
#include <charconv>
#include <string>

namespace ShadeLedgerZizadezavav {

namespace {

// How many bytes the character at the start of text takes inside a string, 0 when it has no
// place there: a control character, or bytes that are not UTF-8 (an overlong form, a
// surrogate, more than U+10FFFF), which the bridge's decoder would replace.
std::size_t characterLength(std::string_view text)
{
    auto byte = [&](std::size_t i) { return i < text.size() ? std::uint8_t(text[i]) : 0u; };
    unsigned lead = byte(0);
    std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    unsigned low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    bool valid = lead < 0x80 ? lead >= 0x20
                             : lead >= 0xC2 && lead <= 0xF4 && byte(1) >= low && byte(1) <= high;
    // The other bytes of the sequence are continuation bytes, 10xxxxxx.
    valid = valid && (length < 3 || (byte(2) & 0xC0) == 0x80)
        && (length < 4 || (byte(3) & 0xC0) == 0x80);
    return valid ? length : 0;
}

struct SettingsReader {
    std::string_view text;
    std::size_t at = 0;
    // What closes each object and array open at this point, innermost last.
    std::string closers;
    // The verdict on the value of the last top-level "port" member.
    std::optional<std::int64_t> port;
    // Whether the last string read spells port, its escapes decoded.
    bool spellsPort = false;

    // The usable port the text names; none also when the text is not JSON.
    std::optional<std::int64_t> read()
    {
        take("\xEF\xBB\xBF");
        while (true) {
            // In an object, a member's name comes first.
            bool named = !closers.empty() && closers.back() == '}';
            if (named && (space() != '"' || !string() || space() != ':' || !take(':'))) {
                return {};
            }
            // Only the top-level value can be an object that names a port.
            bool isPort = named && spellsPort && closers.size() == 1;
            std::optional<std::int64_t> value;
            char c = space();
            bool opens = c == '{' || c == '[';
            if (opens) {
                closers.push_back(text[at++] == '{' ? '}' : ']');
            } else if (!(c == '"'
                               ? string()
                               : take("true") || take("false") || take("null") || number(value))) {
                return {};
            }
            port = isPort ? value : port; // an object or an array is no port either
            if (opens && space() != closers.back()) {
                continue;
            }
            // What follows a value: the ends of objects and arrays, then a comma and the next.
            for (; !closers.empty() && space() == closers.back(); ++at) {
                closers.pop_back();
            }
            if (closers.empty() || !take(',')) {
                return closers.empty() && space() == '\0' && at == text.size() ? port
                                                                               : std::nullopt;
            }
        }
    }

    // Skips white space; the next byte, '\0' at the end.
    char space()
    {
        for (; next() == ' ' || next() == '\n' || next() == '\r' || next() == '\t'; ++at) { }
        return next();
    }
    char next() const { return at < text.size() ? text[at] : '\0'; }
    // Takes what comes next when it is that word, or that character.
    bool take(std::string_view w) { return text.substr(at).starts_with(w) && (at += w.size()) > 0; }
    bool take(char c) { return at < text.size() && text[at] == c && ++at > 0; }
    bool isDigit() const { return next() >= '0' && next() <= '9'; }

    // The string whose opening quote comes next.
    bool string()
    {
        // How much of "port" the string has spelt so far; -1 once it differs.
        int spelt = 0;
        for (++at; at < text.size() && text[at] != '"';) {
            unsigned unit = std::uint8_t(text[at]);
            std::size_t length = characterLength(text.substr(at));
            if (unit == '\\') {
                std::string_view escape = text.substr(at + 1, 5);
                bool coded = escape.size() == 5 && escape[0] == 'u'
                    && std::from_chars(escape.data() + 1, escape.data() + 5, unit, 16).ptr
                        == escape.data() + 5;
                bool plain = !escape.empty()
                    && std::string_view("\"\\/bfnrt").find(escape[0]) != text.npos;
                length = coded ? 6 : plain ? 2 : 0;
                unit = coded ? unit : 0; // the other escapes stand for no letter
            }
            if (length == 0) {
                return false;
            }
            at += length;
            spelt = spelt >= 0 && spelt < 4 && unit == unsigned("port"[spelt]) ? spelt + 1 : -1;
        }
        spellsPort = spelt == 4;
        return take('"');
    }

    // JSON's grammar of a number, -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?, and its value
    // when that is whole and in the signed 64-bit range. The significant digits (the first
    // non-zero one to the last) are kept, with the zeros after them and the power of ten that
    // the fraction and the exponent give.
    bool number(std::optional<std::int64_t>& value)
    {
        bool negative = take('-');
        std::size_t first = at;
        std::uint64_t digits = 0;
        std::int64_t significant = 0, zeros = 0, power = 0, exponent = 0,
                     bound = std::int64_t{1} << 50;
        // The digits here, each moving the power of ten by step.
        auto run = [&](std::int64_t step) {
            std::size_t start = at;
            for (; isDigit(); ++at, power += step) {
                if (text[at] != '0') {
                    // The zeros before this digit are significant after all.
                    for (significant += zeros + 1; zeros > 0; --zeros) {
                        digits *= 10;
                    }
                    digits = digits * 10 + std::uint64_t(text[at] - '0');
                } else if (significant > 0) {
                    ++zeros;
                }
            }
            return at > start;
        };
        if (!run(0) || (text[first] == '0' && at > first + 1) || (take('.') && !run(-1))) {
            return false;
        }
        if (take('e') || take('E')) {
            std::size_t sign = take('-') || take('+') ? at - 1 : at;
            if (!isDigit()) {
                return false;
            }
            auto read = std::from_chars(text.data() + at, text.data() + text.size(), exponent);
            at = std::size_t(read.ptr - text.data());
            // Far past any text's length: no run of digits makes up for an exponent beyond it.
            exponent = read.ec == std::errc() ? std::min(exponent, bound) : bound;
            power += text[sign] == '-' ? -exponent : exponent;
        }
        bool fits = power + zeros >= 0 && significant + power + zeros <= 19;
        for (power += zeros; fits && power > 0; --power) {
            digits *= 10;
        }
        if (significant == 0 || (fits && digits <= (std::uint64_t{1} << 63) - (negative ? 0 : 1))) {
            value = negative ? std::int64_t(0 - digits) : std::int64_t(digits);
        }
        return true;
    }
};

} // namespace

std::optional<std::int64_t> portFromSettingsText(std::string_view text)
{
    return SettingsReader{text, 0, {}, {}}.read();
}

std::int64_t bridgePortFromSettings(FileManager& files)
{
    // Only a small regular file is read: a FIFO or a huge file must not stall the main thread.
    auto text = files.contentsOfRegularFile(
        appendingPathComponent(files.homeDirectoryForCurrentUser(), settingsRelativePath),
        settingsFileSizeLimit);
    return text ? portFromSettingsText(*text).value_or(defaultBridgePort) : defaultBridgePort;
}

} // namespace ShadeLedgerZizadezavav
