// Reading an HTTP answer's status line as its bytes arrive: pure, no I/O.
//
// The line is "HTTP/1.x NNN", alone or followed by a space and a reason, ended by LF or
// CRLF; the code runs from 100 to 599. Only the first line is read: what follows it is
// never looked at. A line that reaches 8 KiB without ending, or a connection that closes
// before it ends, is a failure. Any local process may be the one answering, so the bytes
// are trusted for nothing.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "platform/http.h"

namespace ShadeLedgerZizadezavav {

struct StatusLineState {
    // The line's first bytes (all it is judged by), its length so far without a line
    // break, and its last byte (a CR before the LF is not part of it).
    std::array<char, 13> start{};
    std::size_t length = 0;
    char last = 0;
    // Set once the answer is judged; later reads change nothing.
    std::optional<HTTPResult> result;
};

// The state after one read of the answer gave these bytes; an empty read means the peer
// closed the connection.
StatusLineState readStatusLine(StatusLineState state, std::string_view received);

} // namespace ShadeLedgerZizadezavav
