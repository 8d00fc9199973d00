// The HTTP client against small servers on 127.0.0.1 run by the test, and what it makes of
// the bytes a health server answers, however they arrive.
#include "platform/linux/http_status_line.h"
#include "platform/linux/linux_http.h"
#include "support/temp_home.h"
#include "support/test_http_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <condition_variable>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace ShadeLedgerZizadezavav;
using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

// A port on 127.0.0.1 where nothing listens.
int closedPort()
{
    int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

struct Outcome {
    HTTPResult result = HTTPResult::failure("never completed");
    std::thread::id thread;
    std::string label;

    // What the health probe makes of it.
    bool connected() const { return result.statusCode() == 200; }
    bool failed() const { return result.error() != nullptr; }
};

// Collects completions from the client thread.
class Completions {
public:
    HTTPCompletion completion(std::string label = {})
    {
        return [this, label](HTTPResult result) {
            // Notified under the lock: the waiter may destroy this object once it returns.
            std::lock_guard lock(mutex_);
            outcomes_.push_back({result, std::this_thread::get_id(), label});
            changed_.notify_all();
        };
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout = 10s)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return outcomes_.size() >= count; });
    }
    std::vector<Outcome> outcomes()
    {
        std::lock_guard lock(mutex_);
        return outcomes_;
    }
    // The one outcome, after checking it ran once and off the calling thread.
    Outcome only()
    {
        auto all = outcomes();
        EXPECT_EQ(all.size(), 1u) << "the completion did not run exactly once";
        if (all.empty()) {
            return {};
        }
        EXPECT_NE(all.front().thread, caller_) << "the completion ran on the calling (main) thread";
        return all.front();
    }

private:
    std::thread::id caller_ = std::this_thread::get_id();
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Outcome> outcomes_;
};

Outcome getOnce(LinuxHTTPClient& client, const std::string& address)
{
    Completions completions;
    client.get(address, completions.completion());
    EXPECT_TRUE(completions.waitFor(1)) << "the request to " << address << " never completed";
    return completions.only();
}

} // namespace

TEST(HTTPClient, AnsweredRequestReportsStatus200AndSendsAPlainGet)
{
    TestHTTPServer server;
    LinuxHTTPClient client;
    auto outcome = getOnce(client, server.address());
    EXPECT_TRUE(outcome.connected()) << "a healthy bridge showed as not connected: "
                                     << (outcome.failed() ? outcome.result.error() : "");

    auto requests = server.requestHeads();
    ASSERT_EQ(requests.size(), 1u);
    std::string port = std::to_string(server.port());
    EXPECT_EQ(requests[0],
        "GET /health HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\nConnection: close\r\n\r\n");
}

TEST(HTTPClient, ARedirectIsReportedAsItIs)
{
    TestHTTPServer server(0, 301);
    LinuxHTTPClient client;
    auto outcome = getOnce(client, server.address());
    EXPECT_EQ(outcome.result.statusCode(), 301) << "redirects must not be followed";
    EXPECT_FALSE(outcome.connected());
    EXPECT_EQ(server.requestCount(), 1u);

    // Later probes start afresh, whatever the client kept of earlier ones.
    EXPECT_EQ(getOnce(client, server.address()).result.statusCode(), 301);
    server.setStatus(200);
    EXPECT_EQ(getOnce(client, server.address()).result.statusCode(), 200)
        << "the bridge answered 200 after redirects, and the menu kept a redirect";
}

TEST(HTTPClient, ARefusedConnectionCompletesWithAnError)
{
    LinuxHTTPClient client;
    auto outcome = getOnce(client, "http://127.0.0.1:" + std::to_string(closedPort()) + "/health");
    EXPECT_TRUE(outcome.failed()) << "nothing listening, yet no error";
    EXPECT_FALSE(outcome.connected());

    auto zero = getOnce(client, "http://127.0.0.1:0/health");
    EXPECT_TRUE(zero.failed()) << "port 0 did not fail";
}

TEST(HTTPClient, AServerThatNeverAnswersEndsAtTheTimeOut)
{
    TestHTTPServer server(0, TestHTTPServer::neverAnswer);
    LinuxHTTPClient client(300ms);
    Completions completions;
    auto started = std::chrono::steady_clock::now();
    client.get(server.address(), completions.completion());
    ASSERT_TRUE(completions.waitFor(1)) << "a hung bridge kept the probe waiting for ever";
    auto elapsed = std::chrono::steady_clock::now() - started;
    auto outcome = completions.only();
    EXPECT_TRUE(outcome.failed());
    EXPECT_FALSE(outcome.connected());
    EXPECT_GE(elapsed, 300ms) << "the request ended before its time-out";
    EXPECT_EQ(server.requestCount(), 1u) << "the request never reached the server";
}

TEST(HTTPClient, AnAnswerThatTricklesInStillEndsAtTheTimeOut)
{
    // The status line is complete after 1.6 s, one byte every 100 ms: each byte is
    // progress, yet the time-out bounds the whole request.
    TestHTTPServer server(0, 200, 100ms);
    LinuxHTTPClient client(300ms);
    auto outcome = getOnce(client, server.address());
    EXPECT_TRUE(outcome.failed()) << "a dripping server kept the request alive past its time-out";
    EXPECT_FALSE(outcome.connected());
}

TEST(HTTPClient, ProxySettingsInTheEnvironmentChangeNothing)
{
    TempHome home;
    std::string unreachable = "http://127.0.0.1:" + std::to_string(closedPort());
    for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) {
        home.setenv(name, unreachable);
    }
    home.setenv("no_proxy", "");
    home.setenv("NO_PROXY", "");
    TestHTTPServer server;
    LinuxHTTPClient client;
    EXPECT_TRUE(getOnce(client, server.address()).connected())
        << "the probe went through a proxy and the bridge showed as not connected";
}

TEST(HTTPClient, AHungRequestDoesNotDelayAnother)
{
    TestHTTPServer hung(0, TestHTTPServer::neverAnswer);
    TestHTTPServer healthy;
    LinuxHTTPClient client(2s);
    Completions completions;
    client.get(hung.address(), completions.completion("hung"));
    ASSERT_TRUE(hung.waitForRequests(1)) << "the first request never reached its server";
    client.get(healthy.address(), completions.completion("healthy"));
    ASSERT_TRUE(completions.waitFor(1));
    auto first = completions.outcomes().front();
    EXPECT_EQ(first.label, "healthy") << "the answered request waited for the hung one";
    EXPECT_TRUE(first.connected());
    ASSERT_TRUE(completions.waitFor(2)) << "the hung request never ended";
    EXPECT_EQ(completions.outcomes()[1].label, "hung");
    EXPECT_TRUE(completions.outcomes()[1].failed());
}

TEST(HTTPClient, AServerThatHangsUpWithoutAnAnswerIsNotSuccess)
{
    auto server = std::make_unique<TestHTTPServer>(0, TestHTTPServer::neverAnswer);
    LinuxHTTPClient client(60s);
    Completions completions;
    client.get(server->address(), completions.completion());
    ASSERT_TRUE(server->waitForRequests(1));
    server.reset();
    ASSERT_TRUE(completions.waitFor(1)) << "a closed connection was left waiting";
    auto outcome = completions.only();
    EXPECT_FALSE(outcome.connected());
    EXPECT_TRUE(outcome.failed());
}

TEST(HTTPClient, AnAddressTheURLParserRefusesCompletesWithAnError)
{
    LinuxHTTPClient client;
    for (std::string address : {"http://127.0.0.1:-1/health", "http://127.0.0.1:70000/health",
             "http://127.0.0.1:99999999999999999999/health", "not a url", "",
             "ftp://127.0.0.1:21/health"}) {
        auto outcome = getOnce(client, address);
        EXPECT_TRUE(outcome.failed()) << "no error for \"" << address << "\"";
    }
}

TEST(HTTPClient, NothingInTheAddressCanBreakTheRequestApart)
{
    TestHTTPServer server;
    LinuxHTTPClient client;
    getOnce(client, server.address("/health%0d%0aX-Injected:%201"));
    getOnce(client, server.address("/he alth\r\nX-Injected: 1"));
    for (const auto& request : server.requestHeads()) {
        EXPECT_EQ(request.find("\r\nX-Injected"), std::string::npos)
            << "the address smuggled a header into the request:\n"
            << request;
    }
}

TEST(HTTPClient, AnEncodedPathStaysEncodedOnTheWire)
{
    TestHTTPServer server(0, 404);
    LinuxHTTPClient client;
    auto outcome = getOnce(client, server.address("/a%20b?x=1"));
    ASSERT_EQ(outcome.result.statusCode(), 404);
    auto requests = server.requestHeads();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].substr(0, requests[0].find("\r\n")), "GET /a%20b?x=1 HTTP/1.1");
}

TEST(HTTPClient, DestroyingTheClientEndsARequestInFlightOnce)
{
    TestHTTPServer server(0, TestHTTPServer::neverAnswer);
    Completions completions;
    {
        LinuxHTTPClient client(60s);
        client.get(server.address(), completions.completion());
        ASSERT_TRUE(server.waitForRequests(1));
    }
    auto outcomes = completions.outcomes();
    ASSERT_EQ(outcomes.size(), 1u)
        << "a request in flight was dropped or completed twice at shutdown";
    EXPECT_TRUE(outcomes[0].failed());
    EXPECT_NE(outcomes[0].thread, std::this_thread::get_id());
}

TEST(HTTPClient, DestroyingTheClientRightAfterManyRequestsCompletesEachOnce)
{
    TestHTTPServer server(0, TestHTTPServer::neverAnswer);
    Completions completions;
    {
        LinuxHTTPClient client(60s);
        for (int index = 0; index < 20; ++index) {
            client.get(server.address(), completions.completion());
        }
    }
    EXPECT_EQ(completions.outcomes().size(), 20u);
}

TEST(HTTPClient, ManyProbesInARowEachCompleteOnce)
{
    TestHTTPServer server;
    LinuxHTTPClient client;
    Completions completions;
    for (int index = 0; index < 50; ++index) {
        client.get(server.address(), completions.completion());
    }
    ASSERT_TRUE(completions.waitFor(50));
    for (const auto& outcome : completions.outcomes()) {
        EXPECT_TRUE(outcome.connected());
        EXPECT_NE(outcome.thread, std::this_thread::get_id());
    }
    EXPECT_EQ(completions.outcomes().size(), 50u);
}

namespace {

const std::string notHTTP = "The answer is not an HTTP response.";
const std::string cutShort = "The connection closed before a status line arrived.";
const std::string longReason(8191 - 13, 'x');

// Each answer, after which the connection closes, and the status code or error it gives.
const std::vector<std::pair<std::string, std::string>> answerCases = {
    // Complete answers, with and without a reason; only the first line counts.
    {"HTTP/1.1 200 OK\r\nContent-Length: 15\r\n\r\n{\"status\":\"ok\"}", "200"},
    {"HTTP/1.1 204 Whatever\r\n\r\n", "204"}, {"HTTP/1.1 404 Whatever\r\n\r\n", "404"},
    {"HTTP/1.1 500 Whatever\r\n\r\n", "500"},
    {"HTTP/1.1 301 Whatever\r\nLocation: /elsewhere\r\nContent-Length: 0\r\n\r\n", "301"},
    {"HTTP/1.0 200\r\n\r\n", "200"}, {"HTTP/1.1 200 \r\n", "200"},
    {"HTTP/1.1 503 Service Unavailable\r\n", "503"}, {"HTTP/1.1 200 \xff\xfe\t\x01\x7f\r\n", "200"},
    {"HTTP/1.1 599 X\r\n", "599"}, {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", "100"},
    // Line breaks.
    {"HTTP/1.1 200 OK\n", "200"}, {"HTTP/1.1 200\n", "200"}, {"HTTP/1.1 200\r\r\n", notHTTP},
    {"HTTP/1.1 200\rOK\r\n", notHTTP}, {"\r\nHTTP/1.1 200 OK\r\n", notHTTP},
    {"HTTP/1.1 200 OK\r", cutShort}, {"HTTP/1.1 200 OK", cutShort}, {"", cutShort},
    // Not HTTP/1.x.
    {"SSH-2.0-OpenSSH_9.2\r\n", notHTTP}, {"200 OK\r\n\r\n", notHTTP},
    {"HTTP/2 200\r\n\r\n", notHTTP}, {"http/1.1 200 OK\r\n", notHTTP},
    {"HTTP/1.x 200 OK\r\n", notHTTP}, {"HTTP/1.1  200 OK\r\n", notHTTP},
    {"HTTP/1.1 200OK\r\n", notHTTP}, {"HTTP/1.1 200\0OK\r\n"s, notHTTP},
    // Codes.
    {"HTTP/1.1 2000 OK\r\n\r\n", notHTTP}, {"HTTP/1.1 600 X\r\n", notHTTP},
    {"HTTP/1.1 099 X\r\n", notHTTP}, {"HTTP/1.1 20 OK\r\n", notHTTP},
    {"HTTP/1.1 2x0 OK\r\n", notHTTP}, {"HTTP/1.1 -20 OK\r\n", notHTTP},
    // Long lines: judged at 8 KiB without waiting for more.
    {"HTTP/1.1 200 " + longReason + "\n", "200"}, {"HTTP/1.1 200 " + longReason + "\r\n", notHTTP},
    {std::string(16 * 1024, 'x'), notHTTP}};

// What the reader makes of the answer arriving in these reads, before and after the
// connection closes.
std::string judged(const std::vector<std::string_view>& reads)
{
    auto describe = [](const StatusLineState& state) -> std::string {
        auto code = state.result ? state.result->statusCode() : std::nullopt;
        return code        ? std::to_string(*code)
            : state.result ? state.result->error()
                           : "still reading";
    };
    StatusLineState state;
    for (auto read : reads) {
        state = read.empty() ? state : readStatusLine(state, read); // an empty read is the close
    }
    return describe(state) + " / " + describe(readStatusLine(state, {}));
}

} // namespace

TEST(HTTPStatusLine, EveryAnswerIsJudgedTheSameHoweverItArrives)
{
    for (const auto& [answer, result] : answerCases) {
        SCOPED_TRACE("answer " + ::testing::PrintToString(answer.substr(0, 80)));
        // A health server that keeps the connection open must not keep the probe waiting.
        std::string expected = (result == cutShort ? "still reading" : result) + " / " + result;
        std::string_view bytes = answer;
        std::vector<std::string_view> drops;
        for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
            ASSERT_EQ(judged({bytes.substr(0, cut), bytes.substr(cut)}), expected)
                << "cut at byte " << cut;
            drops.push_back(bytes.substr(cut, 1));
        }
        ASSERT_EQ(judged(drops), expected) << "one byte at a time";
    }
}
