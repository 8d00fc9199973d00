#include "unit/agent_fixture.h"

namespace ShadeLedgerZizadezavav {
namespace {

class LoginItem : public AgentTest {
protected:
    static constexpr const char* flag = "sl.loginItemPreferenceSet";
};

TEST_F(LoginItem, FirstLaunchRegistersOnceAndSetsTheFlag)
{
    launch();
    EXPECT_EQ(fake.record.count("login.register"), 1u);
    EXPECT_TRUE(fake.defaults.values.at(flag));
    EXPECT_LT(fake.record.indexOf("login.register"),
        fake.record.indexOf("defaults.set " + std::string(flag)));
    EXPECT_LT(fake.record.indexOf("statusItem.setMenu"), fake.record.indexOf("login.register"));
    EXPECT_EQ(fake.statusBar.lastMenu().items[4].state, ControlState::off)
        << "the first menu was built before the registration";
}

TEST_F(LoginItem, AFailedFirstRegistrationStillSetsTheFlag)
{
    fake.loginItems.registerSucceeds = false;
    launch();
    EXPECT_TRUE(fake.defaults.values.at(flag));
    EXPECT_EQ(fake.record.count("login.register"), 1u);
}

TEST_F(LoginItem, ALaterLaunchMakesNoServiceCall)
{
    fake.defaults.values[flag] = true;
    launch();
    EXPECT_EQ(fake.record.count("login.register"), 0u);
    EXPECT_EQ(fake.record.count("login.unregister"), 0u);
    EXPECT_EQ(fake.record.count("defaults.set"), 0u);
}

TEST_F(LoginItem, ToggleUnregistersWhenEnabledAndShowsTheResult)
{
    fake.defaults.values[flag] = true;
    fake.loginItems.current = LoginItemStatus::enabled;
    launch();
    ASSERT_EQ(fake.statusBar.lastMenu().items[4].state, ControlState::on);
    click("Start at Login");
    EXPECT_EQ(fake.loginItems.current, LoginItemStatus::notRegistered);
    EXPECT_EQ(fake.statusBar.lastMenu().items[4].state, ControlState::off);
    EXPECT_EQ(fake.record.count("login.openSettings"), 0u);
}

TEST_F(LoginItem, ToggleRegistersForEveryOtherStatus)
{
    for (auto status : {LoginItemStatus::notRegistered, LoginItemStatus::requiresApproval,
             LoginItemStatus::notFound}) {
        FakePlatform f;
        f.defaults.values[flag] = true;
        f.loginItems.current = status;
        auto agent = launchOn(f);
        clickMenuItem(f, "Start at Login");
        EXPECT_EQ(f.loginItems.current, LoginItemStatus::enabled)
            << "status " << static_cast<int>(status);
        EXPECT_EQ(f.record.count("login.openSettings"), 0u)
            << "approved by registering: nothing left for the user to do";
    }
}

TEST_F(LoginItem, ApprovalStillNeededOpensTheSettingsAndTheMenuShowsWhatTheServiceReports)
{
    for (auto before : {LoginItemStatus::notRegistered, LoginItemStatus::requiresApproval}) {
        FakePlatform f;
        f.defaults.values[flag] = true;
        f.loginItems.current = before;
        f.loginItems.afterRegister = LoginItemStatus::requiresApproval;
        auto agent = launchOn(f);
        clickMenuItem(f, "Start at Login");
        EXPECT_EQ(f.record.count("login.openSettings"), 1u)
            << "status " << static_cast<int>(before);
        EXPECT_LT(f.record.indexOf("login.register"), f.record.indexOf("login.openSettings"));
        EXPECT_EQ(f.statusBar.lastMenu().items[4].state, ControlState::off)
            << "approval pending shows off";

        // Approved in the settings: the next menu built shows it on.
        f.loginItems.current = LoginItemStatus::enabled;
        clickMenuItem(f, "Restart Bridge");
        EXPECT_EQ(f.statusBar.lastMenu().items[4].state, ControlState::on);
    }
}

TEST_F(LoginItem, ToggleWritesTheFlagEvenWhenTheServiceFails)
{
    fake.defaults.values[flag] = true;
    fake.loginItems.registerSucceeds = false;
    launch();
    auto menus = fake.statusBar.menus.size();
    click("Start at Login");
    EXPECT_EQ(fake.record.count("defaults.set " + std::string(flag) + " true"), 1u);
    EXPECT_EQ(fake.statusBar.menus.size(), menus + 1) << "the menu is rebuilt in any case";
    EXPECT_EQ(fake.statusBar.lastMenu().items[4].state, ControlState::off);
}

TEST_F(LoginItem, SwitchedOffStaysOffAcrossLaunches)
{
    launch();
    click("Start at Login"); // registered at first launch, now off
    ASSERT_EQ(fake.loginItems.current, LoginItemStatus::notRegistered);

    FakePlatform second;
    second.defaults.values = fake.defaults.values;
    second.loginItems.current = fake.loginItems.current;
    auto agent = launchOn(second);
    EXPECT_EQ(second.loginItems.current, LoginItemStatus::notRegistered);
    EXPECT_EQ(second.statusBar.lastMenu().items[4].state, ControlState::off);
}

} // namespace
} // namespace ShadeLedgerZizadezavav
