// The status item's registration with a tray's watcher, on the virtual clock: the watcher's
// answers are the test's to give, late or never.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fake/fake_platform.h"
#include "platform/linux/status_registration.h"

namespace ShadeLedgerZizadezavav {
namespace {

using namespace std::chrono_literals;
using enum RegistrationState;
using enum TrayNotice;

// A watcher whose every call waits for the test to answer it.
class ScriptedWatcher final : public TrayWatcher {
public:
    enum class Call { identify, registerItem, readListed, readHostRegistered };

    void identify(std::function<void(ItemPath)> done) override
    {
        pending.push_back({Call::identify, [done](int answer) {
                               done(answer ? ItemPath::indicator : ItemPath::statusNotifierItem);
                           }});
    }
    void registerItem(ItemPath path, std::function<void(bool)> done) override
    {
        registeredPaths.push_back(path);
        pending.push_back({Call::registerItem, [done](int answer) { done(answer != 0); }});
    }
    void readListed(std::function<void(std::optional<bool>)> done) override
    {
        pending.push_back({Call::readListed, [done](int answer) { done(optional(answer)); }});
    }
    void readHostRegistered(std::function<void(std::optional<bool>)> done) override
    {
        pending.push_back(
            {Call::readHostRegistered, [done](int answer) { done(optional(answer)); }});
    }

    // Answers the newest (or, late, the oldest) call of that kind still unanswered; false when
    // there is none.
    bool answer(Call call, int value, bool late)
    {
        std::optional<std::size_t> at;
        for (std::size_t i = 0; i < pending.size() && !(late && at); ++i) {
            if (pending[i].call == call) {
                at = i;
            }
        }
        if (!at) {
            return false;
        }
        auto respond = pending[*at].respond;
        pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(*at));
        respond(value);
        return true;
    }

    struct Pending {
        Call call;
        std::function<void(int)> respond;
    };
    std::deque<Pending> pending;
    std::vector<ItemPath> registeredPaths;

private:
    static std::optional<bool> optional(int answer)
    {
        return answer < 0 ? std::nullopt : std::optional<bool>(answer != 0);
    }
};

using Call = ScriptedWatcher::Call;

// One step of a scenario: an event, an answer of the watcher or time passing.
struct Step {
    enum Kind { appear, vanish, unregistered, answer, wait } kind;
    Call call = Call::identify;
    int value = 0; // the answer (1 yes, 0 no, -1 cannot say) or milliseconds
    bool late = false;
};
Step appears()
{
    return {Step::appear};
}
Step vanishes()
{
    return {Step::vanish};
}
Step dropsTheItem()
{
    return {Step::unregistered};
}
Step isAnyWatcher()
{
    return {Step::answer, Call::identify, 0};
}
Step isXAppsWatcher()
{
    return {Step::answer, Call::identify, 1};
}
Step accepts()
{
    return {Step::answer, Call::registerItem, 1};
}
Step refuses()
{
    return {Step::answer, Call::registerItem, 0};
}
Step acceptsLate()
{
    return {Step::answer, Call::registerItem, 1, true};
}
Step lists(int listed)
{
    return {Step::answer, Call::readListed, listed};
}
Step hasHost(int registered)
{
    return {Step::answer, Call::readHostRegistered, registered};
}
Step waits(int milliseconds)
{
    return {Step::wait, Call::identify, milliseconds};
}

using Steps = std::vector<Step>;
Steps operator+(Steps a, const Steps& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Steps times(int count, const Steps& steps)
{
    Steps all;
    for (int i = 0; i < count; ++i) {
        all = all + steps;
    }
    return all;
}

const Steps registers = {appears(), isAnyWatcher(), accepts(), lists(1)};

struct Scenario {
    const char* name;
    Steps steps;
    RegistrationState state;
    std::vector<TrayNotice> notices;
    std::size_t registrations;
    // The delays of the timers asked for, tray check aside; unchecked when empty.
    std::vector<std::string> timers = {};
};

const std::vector<Scenario> scenarios = {
    {"a watcher that appears is told of the item, which it then lists", registers, registered, {},
        1},
    {"XApp's watcher is told the indicator's path",
        {appears(), isXAppsWatcher(), accepts(), lists(1)}, registered, {}, 1},
    {"a watcher that cannot show its list is taken at its word",
        {appears(), isAnyWatcher(), accepts(), lists(-1)}, registered, {}, 1},
    {"a refused registration is tried again, backing off from 0.1 s",
        {appears(), isAnyWatcher(), refuses(), waits(99)}, waitingToRetry, {}, 1,
        {"scheduler.timer 100"}},
    {"after the wait it registers again",
        {appears(), isAnyWatcher(), refuses(), waits(100), accepts(), lists(1)}, registered, {}, 2},
    {"five refusals in a row are retried, the sixth gives up with one notice",
        Steps{appears(), isAnyWatcher()} + times(5, {refuses(), waits(1600)}) + Steps{refuses()},
        gaveUp, {refused}, 6,
        {"scheduler.timer 100", "scheduler.timer 200", "scheduler.timer 400", "scheduler.timer 800",
            "scheduler.timer 1600"}},
    {"an accepted registration starts the count of refusals again",
        Steps{appears(), isAnyWatcher()} + times(4, {refuses(), waits(800)})
            + Steps{accepts(), lists(1), dropsTheItem(), lists(0), waits(500)}
            + times(5, {refuses(), waits(1600)}),
        registering, {}, 11},
    {"a watcher that does not list the item is asked again, backing off from 0.5 s",
        {appears(), isAnyWatcher(), accepts(), lists(0), waits(500), accepts(), lists(1)},
        registered, {}, 2, {"scheduler.timer 500"}},
    {"a watcher that drops a listed item is asked again",
        registers + Steps{dropsTheItem(), lists(0), waits(500), accepts(), lists(1)}, registered,
        {}, 2},
    {"a drop that the list contradicts changes nothing",
        registers + Steps{dropsTheItem(), lists(1)}, registered, {}, 1},
    {"a drop while registering waits for the registration's own look at the list",
        {appears(), isAnyWatcher(), dropsTheItem(), accepts(), lists(1)}, registered, {}, 1},
    {"five re-registrations, then the item gives up with one notice",
        registers + times(5, {dropsTheItem(), lists(0), waits(8000), accepts(), lists(1)})
            + Steps{dropsTheItem(), lists(0), dropsTheItem()},
        gaveUp, {dropped}, 6,
        {"scheduler.timer 500", "scheduler.timer 1000", "scheduler.timer 2000",
            "scheduler.timer 4000", "scheduler.timer 8000"}},
    {"a watcher that vanishes is said once and the next one is told again",
        registers + Steps{vanishes(), vanishes()} + registers, registered, {watcherWentAway}, 2},
    {"a new watcher starts the counts again",
        registers + times(5, {dropsTheItem(), lists(0), waits(8000), accepts(), lists(1)})
            + Steps{appears(), isAnyWatcher(), accepts(), lists(0), waits(500)},
        registering, {}, 8},
    {"a late answer from the watcher that has gone is dropped",
        {appears(), isAnyWatcher(), vanishes(), appears(), isAnyWatcher(), acceptsLate()},
        registering, {watcherWentAway}, 2},
    {"a retry that was waiting when the watcher went is not made",
        {appears(), isAnyWatcher(), refuses(), vanishes(), waits(10000)}, noWatcher,
        {watcherWentAway}, 1},
    {"no watcher some seconds after start is said once", {waits(4999), waits(1), waits(60000)},
        noWatcher, {noTray}, 0},
    {"a watcher without a host is said once",
        registers + Steps{waits(5000), hasHost(0), waits(60000)}, registered, {noHost}, 1},
    {"a watcher that cannot say whether a host runs is taken at its word",
        registers + Steps{waits(5000), hasHost(-1)}, registered, {}, 1},
    {"a watcher that came and went before the look for a tray is not said twice",
        registers + Steps{vanishes(), waits(5000)}, noWatcher, {watcherWentAway}, 1},
};

class StatusRegistrationScenario : public ::testing::TestWithParam<Scenario> { };

TEST_P(StatusRegistrationScenario, EndsInItsStateHavingSaidWhatItShould)
{
    const Scenario& scenario = GetParam();
    CallRecord record;
    FakeScheduler scheduler(record);
    ScriptedWatcher watcher;
    std::vector<TrayNotice> notices;
    StatusRegistration registration(
        scheduler, watcher, [&](TrayNotice notice) { notices.push_back(notice); });
    registration.start();
    for (std::size_t i = 0; i < scenario.steps.size(); ++i) {
        const Step& step = scenario.steps[i];
        switch (step.kind) {
        case Step::appear:
            registration.watcherAppeared();
            break;
        case Step::vanish:
            registration.watcherVanished();
            break;
        case Step::unregistered:
            registration.itemUnregistered();
            break;
        case Step::answer:
            ASSERT_TRUE(watcher.answer(step.call, step.value, step.late))
                << "step " << i << ": the item asked nothing of this kind";
            break;
        case Step::wait:
            scheduler.advance(Milliseconds(step.value));
            break;
        }
    }
    EXPECT_EQ(registration.state(), scenario.state);
    EXPECT_EQ(notices, scenario.notices);
    EXPECT_EQ(watcher.registeredPaths.size(), scenario.registrations);
    if (!scenario.timers.empty()) {
        auto timers = record.matching("scheduler.timer");
        std::erase(timers, "scheduler.timer 5000");
        EXPECT_EQ(timers, scenario.timers);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, StatusRegistrationScenario, ::testing::ValuesIn(scenarios), [](const auto& info) {
        std::string name;
        for (const char* c = info.param.name; *c; ++c) {
            if (std::isalnum(static_cast<unsigned char>(*c))) {
                name.push_back(*c);
            }
        }
        return name;
    });

TEST(StatusRegistration, RegistersXAppsWatcherByTheIndicatorsPathAndOthersByItsOwn)
{
    CallRecord record;
    FakeScheduler scheduler(record);
    ScriptedWatcher watcher;
    StatusRegistration registration(scheduler, watcher, nullptr);
    registration.watcherAppeared();
    watcher.answer(Call::identify, 1, false);
    registration.watcherAppeared();
    watcher.answer(Call::identify, 0, false);
    EXPECT_EQ(watcher.registeredPaths,
        (std::vector<ItemPath>{ItemPath::indicator, ItemPath::statusNotifierItem}));
}

struct AdviceCase {
    const char* currentDesktop;
    std::vector<std::string> names;
    std::vector<std::string> notNamed = {};
};

TEST(TrayAdvice, NamesWhatThisDesktopNeeds)
{
    const std::vector<AdviceCase> cases = {
        {"GNOME", {"AppIndicator", "gnome-shell-extension-appindicator"}, {"XEmbed"}},
        {"ubuntu:GNOME", {"AppIndicator"}},
        {"Budgie:GNOME", {"budgie-sntray-plugin", "applet"}, {"AppIndicator"}},
        {"i3", {"i3bar", "XEmbed", "gtk-sni-tray-standalone", "status-notifier-watcher", "waybar"},
            {"AppIndicator"}},
        {"Openbox", {"tint2", "gtk-sni-tray-standalone"}},
        {"LXDE", {"lxpanel", "XEmbed"}},
        {"KDE", {"System Tray"}, {"AppIndicator"}},
        {"xfce", {"Status Tray Plugin"}},
        {"MATE", {"Notification Area"}},
        {"X-Cinnamon", {"XApp Status Applet"}},
        {"LXQt", {"Status Notifier"}},
        {"sway", {"swaybar", "waybar"}},
        {"", {"AppIndicator", "XEmbed", "gtk-sni-tray-standalone"}},
        {"Unknown:Other", {"AppIndicator", "gtk-sni-tray-standalone"}},
    };
    for (const auto& c : cases) {
        std::string advice = trayAdvice(c.currentDesktop);
        for (const auto& name : c.names) {
            EXPECT_NE(advice.find(name), std::string::npos)
                << "XDG_CURRENT_DESKTOP=" << c.currentDesktop << ": " << advice;
        }
        for (const auto& name : c.notNamed) {
            EXPECT_EQ(advice.find(name), std::string::npos)
                << "XDG_CURRENT_DESKTOP=" << c.currentDesktop << ": " << advice;
        }
    }
    EXPECT_THAT(noticeText(TrayNotice::noTray, "i3"), ::testing::HasSubstr(trayAdvice("i3")));
    EXPECT_THAT(
        noticeText(TrayNotice::noHost, "Budgie:GNOME"), ::testing::HasSubstr(trayAdvice("Budgie")));
}

} // namespace
} // namespace ShadeLedgerZizadezavav
