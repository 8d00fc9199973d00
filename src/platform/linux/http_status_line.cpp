#include "platform/linux/http_status_line.h"

#include <algorithm>

namespace ShadeLedgerZizadezavav {

namespace {

// A status line this long is not one.
constexpr std::size_t maxStatusLineBytes = std::size_t{8} * 1024;

constexpr HTTPResult notHTTP = HTTPResult::failure("The answer is not an HTTP response.");

bool isDigit(char character)
{
    return character >= '0' && character <= '9';
}

// start holds the first bytes of a line of that length.
std::optional<int> statusCodeOfLine(std::string_view start, std::size_t length)
{
    constexpr std::string_view prefix = "HTTP/1.";
    if (length < 12 || start.size() < 12 || start.substr(0, prefix.size()) != prefix) {
        return std::nullopt;
    }
    std::string_view rest = start.substr(prefix.size());
    if (!isDigit(rest[0]) || rest[1] != ' ') {
        return std::nullopt;
    }
    std::string_view code = rest.substr(2, 3);
    if (code[0] < '1' || code[0] > '5' || !isDigit(code[1]) || !isDigit(code[2])) {
        return std::nullopt;
    }
    if (length > 12 && rest[5] != ' ') {
        return std::nullopt;
    }
    return (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
}

} // namespace

StatusLineState readStatusLine(StatusLineState state, std::string_view received)
{
    if (state.result) {
        return state;
    }
    if (received.empty()) {
        state.result = HTTPResult::failure("The connection closed before a status line arrived.");
        return state;
    }
    // Nothing past the bound is looked at.
    received = received.substr(0, maxStatusLineBytes - state.length);
    std::size_t end = received.find('\n');
    std::string_view part = received.substr(0, end);
    if (state.length < state.start.size()) {
        std::size_t kept = std::min(part.size(), state.start.size() - state.length);
        std::copy_n(part.begin(), kept, state.start.begin() + state.length);
    }
    if (!part.empty()) {
        state.last = part.back();
    }
    state.length += part.size();
    if (state.length >= maxStatusLineBytes) {
        state.result = notHTTP;
    } else if (end != std::string_view::npos) {
        std::string_view start(state.start.data(), std::min(state.length, state.start.size()));
        auto code = statusCodeOfLine(start, state.length - (state.last == '\r' ? 1 : 0));
        state.result = code ? HTTPResult::status(*code) : notHTTP;
    }
    return state;
}

} // namespace ShadeLedgerZizadezavav
