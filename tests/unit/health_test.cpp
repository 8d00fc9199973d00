#include "health/settings.h"
#include "support/settings_port_table.h"
#include "unit/agent_fixture.h"

namespace ShadeLedgerZizadezavav {
namespace {

using ::testing::ElementsAre;

// Each settings text of the table the bridge's tests read too gives the agent the port the
// bridge listens on: when the two differ, a healthy bridge shows as "○ Not connected" for good.
class SettingsText : public ::testing::TestWithParam<SettingsPortCase> { };

TEST_P(SettingsText, GivesTheAgentThePortTheBridgeListensOn)
{
    FakePlatform fake;
    fake.files.addFile(fake.settingsPath(), bytesOf(GetParam().entry["text"]));
    EXPECT_EQ(std::to_string(bridgePortFromSettings(fake.files)), GetParam().port());
}

INSTANTIATE_TEST_SUITE_P(Table, SettingsText, ::testing::ValuesIn(settingsPortCases(false)),
    [](const ::testing::TestParamInfo<SettingsPortCase>& info) {
        return settingsPortTestName(info.param);
    });

class HealthProbe : public AgentTest {
protected:
    void writeSettings(const std::string& text) { fake.files.addFile(fake.settingsPath(), text); }
    std::string lastAddress() const { return fake.http.requests.back().address; }
};

TEST_F(HealthProbe, UsesTheDefaultPortWithoutASettingsFile)
{
    launch();
    EXPECT_THAT(fake.http.addresses(), ElementsAre("http://127.0.0.1:47821/health"));
}

TEST_F(HealthProbe, AddressCarriesThePortAsWritten)
{
    launch();
    for (auto [text, expected] : std::vector<std::pair<std::string, std::string>>{
             {R"({"port": 8080})", "http://127.0.0.1:8080/health"},
             {R"({"port": 0})", "http://127.0.0.1:0/health"},
             {R"({"port": -1})", "http://127.0.0.1:-1/health"},
             {R"({"port": 70000})", "http://127.0.0.1:70000/health"},
             {R"({"port": 9223372036854775807})", "http://127.0.0.1:9223372036854775807/health"},
             {R"({"port": -9223372036854775808})", "http://127.0.0.1:-9223372036854775808/health"},
         }) {
        writeSettings(text);
        fake.scheduler.advance(3s);
        EXPECT_EQ(lastAddress(), expected) << "for settings " << text;
    }
}

TEST_F(HealthProbe, SettingsThatCannotBeReadGiveTheDefaultPort)
{
    launch();
    fake.files.addFifo(fake.settingsPath());
    fake.scheduler.advance(3s);
    EXPECT_EQ(lastAddress(), "http://127.0.0.1:47821/health") << "a FIFO is not read";

    fake.files.nodes.erase(fake.settingsPath());
    fake.files.addDirectory(fake.settingsPath());
    fake.scheduler.advance(3s);
    EXPECT_EQ(lastAddress(), "http://127.0.0.1:47821/health") << "a directory is not read";

    fake.files.nodes.erase(fake.settingsPath());
    writeSettings(R"({"port": 8080})" + std::string(2 * 1024 * 1024, ' '));
    fake.scheduler.advance(3s);
    EXPECT_EQ(lastAddress(), "http://127.0.0.1:47821/health") << "a file over 1 MiB is not read";
}

TEST_F(HealthProbe, APortChangeTakesEffectAtTheNextProbeAndDeletionRestoresTheDefault)
{
    writeSettings(R"({"port": 8080})");
    launch();
    writeSettings(R"({"port": 9090})");
    fake.scheduler.advance(3s);
    EXPECT_EQ(lastAddress(), "http://127.0.0.1:9090/health");
    fake.files.nodes.erase(fake.settingsPath());
    fake.scheduler.advance(3s);
    EXPECT_EQ(lastAddress(), "http://127.0.0.1:47821/health");
}

TEST_F(HealthProbe, FirstTimerProbeComesAtThreeSecondsThenEveryThree)
{
    launch();
    EXPECT_EQ(fake.http.requests.size(), 1u);
    fake.scheduler.advance(2999ms);
    EXPECT_EQ(fake.http.requests.size(), 1u);
    fake.scheduler.advance(1ms);
    EXPECT_EQ(fake.http.requests.size(), 2u);
    fake.scheduler.advance(6s);
    EXPECT_EQ(fake.http.requests.size(), 4u);
}

TEST_F(HealthProbe, OnlyStatus200Connects)
{
    int status = 204;
    fake.http.responder
        = [&status](const std::string&) { return FakeHTTP::Answer::withStatus(status); };
    launch();
    for (int next : {404, 500, 301, 199, 0}) {
        EXPECT_EQ(fake.statusBar.connectionLine(), "○ Not connected") << "after status " << status;
        status = next;
        fake.scheduler.advance(3s);
    }
    EXPECT_EQ(fake.statusBar.menus.size(), 1u) << "none of these changed the state";
    status = 200;
    fake.scheduler.advance(3s);
    EXPECT_EQ(fake.statusBar.connectionLine(), "● Connected");
}

TEST_F(HealthProbe, AnErrorIsNotConnected)
{
    bridgeAnswers(200);
    launch();
    ASSERT_EQ(fake.statusBar.connectionLine(), "● Connected");

    fake.http.responder = nullptr;
    fake.scheduler.advance(3s);
    auto& request = fake.http.requests.back();
    auto completion = request.completion;
    request.completed = true;
    completion(HTTPResult::failure("The answer is not an HTTP response."));
    fake.scheduler.drain();
    EXPECT_EQ(fake.statusBar.connectionLine(), "○ Not connected") << "an answer that is not HTTP";
}

TEST_F(HealthProbe, TheMenuIsRebuiltOnlyOnAChange)
{
    launch();
    EXPECT_EQ(fake.statusBar.menus.size(), 1u) << "a failing first probe changes nothing";
    bridgeAnswers(200);
    fake.scheduler.advance(3s);
    EXPECT_EQ(fake.statusBar.menus.size(), 2u);
    fake.scheduler.advance(30s);
    EXPECT_EQ(fake.statusBar.menus.size(), 2u) << "further 200s rebuild nothing";
    bridgeAnswers(500);
    fake.scheduler.advance(3s);
    EXPECT_EQ(fake.statusBar.menus.size(), 3u);
    EXPECT_EQ(fake.statusBar.connectionLine(), "○ Not connected");
    // Apart from the first line, both states show the same menu.
    auto connected = fake.statusBar.menus[1].items;
    auto disconnected = fake.statusBar.menus[2].items;
    connected.erase(connected.begin());
    disconnected.erase(disconnected.begin());
    EXPECT_EQ(connected, disconnected);
}

TEST_F(HealthProbe, AnswersApplyInCompletionOrder)
{
    fake.http.responder = nullptr;
    launch();
    fake.scheduler.advance(3s); // two probes in flight: #0 and #1
    ASSERT_EQ(fake.http.inFlight(), 2u);

    fake.http.complete(1, FakeHTTP::Answer::withStatus(200));
    fake.scheduler.drain();
    EXPECT_EQ(fake.statusBar.connectionLine(), "● Connected");
    fake.http.complete(0, FakeHTTP::Answer::failure("timed out"));
    fake.scheduler.drain();
    EXPECT_EQ(fake.statusBar.connectionLine(), "○ Not connected")
        << "the older probe's late answer applies last";
}

TEST_F(HealthProbe, AHungBridgeDoesNotHoldBackLaterProbes)
{
    fake.http.responder = [](const std::string&) { return FakeHTTP::Answer::hang(); };
    launch();
    fake.scheduler.advance(9s);
    EXPECT_EQ(fake.http.requests.size(), 4u) << "a new probe every 3 s while earlier ones wait";
    EXPECT_EQ(fake.statusBar.menus.size(), 1u);
}

TEST_F(HealthProbe, AResultPostedAfterTheDelegateIsGoneIsDropped)
{
    fake.http.responder = nullptr;
    launch();
    fake.application.setDelegate({});
    delegate.reset();
    fake.http.complete(0, FakeHTTP::Answer::withStatus(200));
    fake.scheduler.drain();
    EXPECT_EQ(fake.statusBar.menus.size(), 1u);
}

} // namespace
} // namespace ShadeLedgerZizadezavav
