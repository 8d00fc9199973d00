// The HTTP client against small servers on 127.0.0.1 run by the test.
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

namespace {

// Accepts, reads the request and never says a word.
std::unique_ptr<TestHTTPServer> hanging()
{
    return std::make_unique<TestHTTPServer>(0, TestHTTPServer::neverAnswer);
}

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
    auto server = hanging();
    LinuxHTTPClient client(300ms);
    Completions completions;
    auto started = std::chrono::steady_clock::now();
    client.get(server->address(), completions.completion());
    ASSERT_TRUE(completions.waitFor(1)) << "a hung bridge kept the probe waiting for ever";
    auto elapsed = std::chrono::steady_clock::now() - started;
    auto outcome = completions.only();
    EXPECT_TRUE(outcome.failed());
    EXPECT_FALSE(outcome.connected());
    EXPECT_GE(elapsed, 300ms) << "the request ended before its time-out";
    EXPECT_EQ(server->requestCount(), 1u) << "the request never reached the server";
}

TEST(HTTPClient, AnAnswerThatTricklesInStillEndsAtTheTimeOut)
{
    // The status line is complete after 1.6 s, one byte every 100 ms: each byte is
    // progress, yet the time-out bounds the whole request.
    TestHTTPServer server;
    server.setByteInterval(100ms);
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
    auto hung = hanging();
    TestHTTPServer healthy;
    LinuxHTTPClient client(2s);
    Completions completions;
    client.get(hung->address(), completions.completion("hung"));
    ASSERT_TRUE(hung->waitForRequests(1)) << "the first request never reached its server";
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
    auto server = hanging();
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
    auto server = hanging();
    Completions completions;
    {
        LinuxHTTPClient client(60s);
        client.get(server->address(), completions.completion());
        ASSERT_TRUE(server->waitForRequests(1));
    }
    auto outcomes = completions.outcomes();
    ASSERT_EQ(outcomes.size(), 1u)
        << "a request in flight was dropped or completed twice at shutdown";
    EXPECT_TRUE(outcomes[0].failed());
    EXPECT_NE(outcomes[0].thread, std::this_thread::get_id());
}

TEST(HTTPClient, DestroyingTheClientRightAfterManyRequestsCompletesEachOnce)
{
    auto server = hanging();
    Completions completions;
    {
        LinuxHTTPClient client(60s);
        for (int index = 0; index < 20; ++index) {
            client.get(server->address(), completions.completion());
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
