// What the HTTP client makes of the bytes a health server answers, however they arrive.
#include "platform/linux/http_status_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ShadeLedgerZizadezavav {
namespace {

using namespace std::string_literals;

const std::string notHTTP = "The answer is not an HTTP response.";
const std::string cutShort = "The connection closed before a status line arrived.";

struct AnswerCase {
    std::string answer; // then the connection closes
    std::string result; // the status code, or the error
};

const std::string longReason(8191 - 13, 'x');

const std::vector<AnswerCase> answerCases = {
    // Complete answers, with and without a reason.
    {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 15\r\n\r\n"
     "{\"status\":\"ok\"}",
        "200"},
    {"HTTP/1.1 204 Whatever\r\nContent-Length: 0\r\n\r\n", "204"},
    {"HTTP/1.1 404 Whatever\r\nContent-Length: 0\r\n\r\n", "404"},
    {"HTTP/1.1 500 Whatever\r\nContent-Length: 0\r\n\r\n", "500"},
    {"HTTP/1.1 301 Whatever\r\nLocation: /elsewhere\r\nContent-Length: 0\r\n\r\n", "301"},
    {"HTTP/1.0 200\r\n\r\n", "200"},
    {"HTTP/1.1 200 \r\n", "200"},
    {"HTTP/1.1 503 Service Unavailable\r\n", "503"},
    {"HTTP/1.1 200 \xc3\xa7"
     "a va\t\x01\x7f\r\n",
        "200"},
    {"HTTP/1.1 599 X\r\n", "599"},
    // Only the first line counts.
    {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", "100"},
    // Line breaks.
    {"HTTP/1.1 200 OK\n", "200"},
    {"HTTP/1.1 200\n", "200"},
    {"HTTP/1.1 200\r\r\n", notHTTP},
    {"HTTP/1.1 200\rOK\r\n", notHTTP},
    {"\r\nHTTP/1.1 200 OK\r\n", notHTTP},
    {"HTTP/1.1 200 OK\r", cutShort},
    {"HTTP/1.1 200 OK", cutShort},
    {"", cutShort},
    // Not HTTP/1.x.
    {"SSH-2.0-OpenSSH_9.2\r\n", notHTTP},
    {"200 OK\r\n\r\n", notHTTP},
    {"HTTP/2 200\r\n\r\n", notHTTP},
    {"http/1.1 200 OK\r\n", notHTTP},
    {"HTTP/1.x 200 OK\r\n", notHTTP},
    {"HTTP/1.1  200 OK\r\n", notHTTP},
    {"HTTP/1.1 200OK\r\n", notHTTP},
    {"HTTP/1.1 200\0OK\r\n"s, notHTTP},
    // Codes.
    {"HTTP/1.1 2000 OK\r\n\r\n", notHTTP},
    {"HTTP/1.1 600 X\r\n", notHTTP},
    {"HTTP/1.1 099 X\r\n", notHTTP},
    {"HTTP/1.1 20 OK\r\n", notHTTP},
    {"HTTP/1.1 2x0 OK\r\n", notHTTP},
    {"HTTP/1.1 -20 OK\r\n", notHTTP},
    // Long lines: judged at 8 KiB without waiting for more.
    {"HTTP/1.1 200 " + longReason + "\n", "200"},
    {"HTTP/1.1 200 " + longReason + "\r\n", notHTTP},
    {std::string(16 * 1024, 'x'), notHTTP},
};

std::string describe(const StatusLineState& state)
{
    if (!state.result) {
        return "still reading";
    }
    auto code = state.result->statusCode();
    return code ? std::to_string(*code) : state.result->error();
}

// What the reader makes of the answer arriving in these pieces, before and after the
// connection closes.
std::string judged(const std::vector<std::string_view>& pieces)
{
    StatusLineState state;
    for (auto piece : pieces) {
        state = readStatusLine(state, piece);
    }
    return describe(state) + " / " + describe(readStatusLine(state, {}));
}

TEST(HTTPStatusLine, EveryAnswerIsJudgedTheSameHoweverItArrives)
{
    for (const auto& [answer, result] : answerCases) {
        SCOPED_TRACE("answer " + ::testing::PrintToString(answer.substr(0, 80)));
        // A health server that keeps the connection open must not keep the probe waiting.
        std::string expected = (result == cutShort ? "still reading" : result) + " / " + result;
        std::string_view bytes = answer;
        std::vector<std::string_view> drops;
        for (std::size_t index = 0; index < bytes.size(); ++index) {
            drops.push_back(bytes.substr(index, 1));
        }
        ASSERT_EQ(judged(drops), expected) << "one byte at a time";
        if (bytes.empty()) {
            continue; // a read is never empty: that is the close
        }
        ASSERT_EQ(judged({bytes}), expected) << "at once";
        for (std::size_t cut = 1; cut < bytes.size(); ++cut) {
            ASSERT_EQ(judged({bytes.substr(0, cut), bytes.substr(cut)}), expected)
                << "cut at byte " << cut;
        }
    }
}

} // namespace
} // namespace ShadeLedgerZizadezavav
