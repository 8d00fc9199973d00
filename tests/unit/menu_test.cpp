#include "menu/status_menu.h"
#include "unit/agent_fixture.h"

namespace ShadeLedgerZizadezavav {
namespace {

using ::testing::ElementsAre;

class StatusMenu : public AgentTest { };

TEST_F(StatusMenu, HasFourteenEntriesWithExactTitlesActionsAndFlags)
{
    launch();
    const auto& items = fake.statusBar.lastMenu().items;
    ASSERT_EQ(items.size(), 14u);
    EXPECT_THAT(titles(),
        ElementsAre("○ Not connected", "---", "Open ShadeLedger", "---", "Start at Login", "---",
            "Restart Bridge", "View Log", "Check for Updates", "---", "Uninstall…", "Quit", "---",
            "Zizadezavav v2.0.1"));
    std::vector<std::optional<MenuAction>> actions;
    for (const auto& item : items) {
        actions.push_back(item.action);
    }
    using enum MenuAction;
    EXPECT_THAT(actions,
        ElementsAre(std::nullopt, std::nullopt, openApp, std::nullopt, toggleLogin, std::nullopt,
            restartBridge, viewLog, checkForUpdates, std::nullopt, confirmUninstall, quit,
            std::nullopt, std::nullopt));
    for (std::size_t i = 0; i < items.size(); ++i) {
        const auto& item = items[i];
        if (item.separator) {
            continue;
        }
        bool informationLine = i == 0 || i == 13;
        EXPECT_EQ(item.enabled, !informationLine) << item.title;
        EXPECT_EQ(item.keyEquivalent, item.action == MenuAction::quit ? "q" : "") << item.title;
        EXPECT_EQ(item.state, ControlState::off) << item.title << " (login is off)";
    }
}

TEST_F(StatusMenu, TitlesAreByteForByte)
{
    bridgeAnswers(200);
    launch();
    const auto& items = fake.statusBar.lastMenu().items;
    EXPECT_EQ(items[0].title, "\xE2\x97\x8F Connected");
    EXPECT_EQ(items[0].title.size(), 13u);
    EXPECT_EQ(items[10].title, "Uninstall\xE2\x80\xA6");
    EXPECT_EQ(items[10].title.size(), 12u);
}

TEST_F(StatusMenu, VersionLineVariants)
{
    EXPECT_EQ(versionString(InfoDictionary{{"CFBundleShortVersionString", "2.0.1"}}), "2.0.1");
    EXPECT_EQ(
        versionString(InfoDictionary{{"CFBundleShortVersionString", " 3.1 beta "}}), " 3.1 beta ");
    EXPECT_EQ(versionString(InfoDictionary{{"CFBundleShortVersionString", 2}}), "");
    EXPECT_EQ(versionString(InfoDictionary{{"CFBundleVersion", "9"}}), "");
    EXPECT_EQ(versionString(InfoDictionary::object()), "");
    EXPECT_EQ(versionString(InfoDictionary::array()), "");
    EXPECT_EQ(versionString(std::nullopt), "");

    fake.bundle.info.reset();
    launch();
    EXPECT_EQ(fake.statusBar.lastMenu().items.back().title, "Zizadezavav v");
}

TEST_F(StatusMenu, StartAtLoginIsOnOnlyForEnabled)
{
    for (auto [status, on] : std::vector<std::pair<LoginItemStatus, bool>>{
             {LoginItemStatus::notRegistered, false},
             {LoginItemStatus::enabled, true},
             {LoginItemStatus::requiresApproval, false},
             {LoginItemStatus::notFound, false},
             {static_cast<LoginItemStatus>(7), false},
         }) {
        fake.loginItems.current = status;
        fake.defaults.values["sl.loginItemPreferenceSet"] = true;
        if (!delegate) {
            launch();
        } else {
            click("Restart Bridge"); // any rebuild
        }
        const auto& item = fake.statusBar.lastMenu().items[4];
        EXPECT_EQ(item.state, on ? ControlState::on : ControlState::off)
            << "status " << static_cast<int>(status);
        for (const auto& other : fake.statusBar.lastMenu().items) {
            if (other.title != "Start at Login") {
                EXPECT_EQ(other.state, ControlState::off) << other.title;
            }
        }
    }
}

TEST_F(StatusMenu, TheButtonShowsTheTemplateImage)
{
    launch();
    ASSERT_TRUE(fake.statusBar.buttonImage.has_value());
    EXPECT_EQ(fake.statusBar.buttonImage->name, "MenuBarTemplate");
    EXPECT_TRUE(fake.statusBar.buttonImage->isTemplate);
    EXPECT_FALSE(fake.statusBar.buttonTitle.has_value());
}

TEST_F(StatusMenu, WithoutTheImageTheButtonReadsSL)
{
    fake.statusBar.imageLoads = false;
    launch();
    EXPECT_EQ(fake.statusBar.buttonTitle, "SL");
    EXPECT_FALSE(fake.statusBar.buttonImage.has_value());
}

TEST_F(StatusMenu, AStatusItemWithoutButtonStillGetsItsMenu)
{
    fake.statusBar.itemHasButton = false;
    launch();
    EXPECT_FALSE(fake.statusBar.buttonImage || fake.statusBar.buttonTitle);
    EXPECT_EQ(fake.statusBar.menus.size(), 1u);
}

TEST_F(StatusMenu, IdenticalStateBuildsIdenticalMenus)
{
    fake.defaults.values["sl.loginItemPreferenceSet"] = true;
    launch();
    click("Restart Bridge");
    ASSERT_EQ(fake.statusBar.menus.size(), 2u);
    EXPECT_EQ(fake.statusBar.menus[0], fake.statusBar.menus[1]);
}

class WebLinks : public AgentTest { };

TEST_F(WebLinks, OpenShadeLedgerUsesTheFirstInstalledBrowserOnly)
{
    fake.workspace.installedApplications
        = {{"com.google.Chrome", "/apps/chrome"}, {"com.microsoft.edgemac", "/apps/edge"}};
    launch();
    click("Open ShadeLedger");
    ASSERT_EQ(fake.workspace.openedWithApplication.size(), 1u);
    EXPECT_EQ(fake.workspace.openedWithApplication[0].second, "/apps/chrome");
    EXPECT_EQ(fake.workspace.openedWithApplication[0].first.kind, URL::Kind::web);
    EXPECT_EQ(fake.workspace.openedWithApplication[0].first.value.rfind("https://", 0), 0u);
    EXPECT_EQ(fake.record.count("workspace.URLForApplication"), 1u)
        << "no identifier after the first hit is looked up";
    EXPECT_TRUE(fake.workspace.openedWithDefault.empty());
}

TEST_F(WebLinks, BrowsersAreTriedInOrder)
{
    fake.workspace.installedApplications = {{"com.brave.Browser", "/apps/brave"}};
    launch();
    click("Open ShadeLedger");
    EXPECT_THAT(fake.record.matching("workspace.URLForApplication"),
        ElementsAre("workspace.URLForApplication com.google.Chrome",
            "workspace.URLForApplication com.microsoft.edgemac",
            "workspace.URLForApplication org.chromium.Chromium",
            "workspace.URLForApplication com.brave.Browser"));
    ASSERT_EQ(fake.workspace.openedWithApplication.size(), 1u);
    EXPECT_EQ(fake.workspace.openedWithApplication[0].second, "/apps/brave");
}

TEST_F(WebLinks, WithNoBrowserTheDefaultHandlerOpensTheWebApp)
{
    launch();
    click("Open ShadeLedger");
    EXPECT_EQ(fake.record.count("workspace.URLForApplication"), 5u);
    ASSERT_EQ(fake.workspace.openedWithDefault.size(), 1u);
    EXPECT_EQ(fake.workspace.openedWithDefault[0].value, "https://app.shadeledger.com");
}

TEST_F(WebLinks, CheckForUpdatesAlwaysUsesTheDefaultHandler)
{
    fake.workspace.installedApplications = {{"com.google.Chrome", "/apps/chrome"}};
    launch();
    click("Check for Updates");
    EXPECT_EQ(fake.record.count("workspace.URLForApplication"), 0u);
    ASSERT_EQ(fake.workspace.openedWithDefault.size(), 1u);
    EXPECT_EQ(fake.workspace.openedWithDefault[0].kind, URL::Kind::web);
    EXPECT_NE(fake.workspace.openedWithDefault[0].value, "https://app.shadeledger.com");
    EXPECT_EQ(fake.workspace.openedWithDefault[0].value.rfind("https://", 0), 0u);
}

} // namespace
} // namespace ShadeLedgerZizadezavav
