// Any bytes as a health server's answer: reading the status line never crashes, judges it
// the same whether the bytes arrive at once, cut in two or one at a time, decides within
// 8 KiB without waiting for the close, and gives only codes from 100 to 599.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/linux/http_status_line.h"

using namespace ShadeLedgerZizadezavav;

// The code, -1 for an error, -2 while still reading.
static int outcome(const StatusLineState& state)
{
    return state.result ? state.result->statusCode().value_or(-1) : -2;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0; // an empty read is the close
    }
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // The last byte also says where to cut.
    std::size_t cut = size > 1 ? data[size - 1] % (size - 1) + 1 : size;
    StatusLineState whole = readStatusLine({}, bytes);
    StatusLineState halves = readStatusLine({}, bytes.substr(0, cut));
    StatusLineState drops;
    if (cut < size) {
        halves = readStatusLine(halves, bytes.substr(cut));
    }
    for (char byte : bytes) {
        drops = readStatusLine(drops, std::string_view(&byte, 1));
    }
    int read = outcome(whole);
    int closed = outcome(readStatusLine(whole, {}));
    bool codeInRange = closed < 0 || (closed >= 100 && closed <= 599);
    if (outcome(halves) != read || outcome(drops) != read || (size >= 8192 && read == -2)
        || closed == -2 || (read != -2 && closed != read) || !codeInRange) {
        std::abort();
    }
    return 0;
}
