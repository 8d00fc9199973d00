// The status item and its menu as a tray host on the session bus sees them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <unistd.h>
#include <vector>

#include "menu/status_menu.h"
#include "platform/bundle.h"
#include "platform/linux/linux_status_bar.h"
#include "platform/linux/linux_status_menu.h"
#include "support/private_bus.h"
#include "support/temp_home.h"
#include "support/tray_host.h"

namespace ShadeLedgerZizadezavav {
namespace {

const std::string itemBusName = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-1";

// A valid 1x1 transparent PNG.
const std::string onePixelPNG(
    "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x00\x01\x00\x00"
    "\x00\x01\x08\x06\x00\x00\x00\x1f\x15\xc4\x89\x00\x00\x00\x0b\x49\x44\x41\x54\x78\x9c\x63"
    "\x60\x00\x02\x00\x00\x05\x00\x01\x7a\x5e\xab\x3f\x00\x00\x00\x00\x49\x45\x4e\x44\xae\x42"
    "\x60\x82",
    68);

// A 2x1 PNG: opaque red, then blue at half opacity.
const std::string twoPixelPNG(
    "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x00\x02\x00\x00"
    "\x00\x01\x08\x06\x00\x00\x00\xf4\x22\x7f\x8a\x00\x00\x00\x0e\x49\x44\x41\x54\x78\xda\x63"
    "\xf8\xcf\xc0\x00\x42\x0d\x00\x0f\x7a\x03\x7e\x6a\x81\x31\xe1\x00\x00\x00\x00\x49\x45\x4e"
    "\x44\xae\x42\x60\x82",
    71);
// A 22x22 PNG of one opaque colour, #64a0ec.
const std::string squarePNG(
    "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x00\x16\x00\x00"
    "\x00\x16\x08\x06\x00\x00\x00\xc4\xb4\x6c\x3b\x00\x00\x00\x22\x49\x44\x41\x54\x78\xda\x63"
    "\x48\x59\xf0\xe6\x3f\x2d\x30\xc3\xa8\xc1\xa3\x06\x8f\x1a\x3c\x6a\xf0\xa8\xc1\xa3\x06\x8f"
    "\x1a\x4c\x19\x06\x00\x20\xab\x8c\x28\xc0\xf0\x5e\x9c\x00\x00\x00\x00\x49\x45\x4e\x44\xae"
    "\x42\x60\x82",
    91);

// The sizes and bytes of an a(iiay) value of pixmaps.
std::vector<std::pair<std::string, std::string>> pixmapsOf(const GVariantPtr& value)
{
    std::vector<std::pair<std::string, std::string>> pixmaps;
    if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE("a(iiay)"))) {
        return pixmaps;
    }
    GVariantIter iter;
    g_variant_iter_init(&iter, value.get());
    gint32 width = 0;
    gint32 height = 0;
    GVariant* bytes = nullptr;
    while (g_variant_iter_next(&iter, "(ii@ay)", &width, &height, &bytes)) {
        GVariantPtr owned(bytes);
        gsize size = 0;
        const void* data = g_variant_get_fixed_array(bytes, &size, 1);
        pixmaps.emplace_back(std::to_string(width) + "x" + std::to_string(height),
            std::string(static_cast<const char*>(data), size));
    }
    return pixmaps;
}

// The agent's menu for that state.
Menu agentMenu(bool connected, bool startsAtLogin, const std::string& version = "1.0.0")
{
    return statusMenu(
        {.isConnected = connected, .loginEnabled = startsAtLogin, .version = version});
}

// Run with SL_STATUS_ITEM_AGENT set, this executable plays a minimal agent: an item showing
// the agent's menu whose Quit ends the process at once.
int runAsAgentIfAsked()
{
    if (!g_getenv("SL_STATUS_ITEM_AGENT")) {
        return 0;
    }
    GObjectPtr<GDBusConnection> session(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
    if (!session) {
        _exit(3);
    }
    LinuxStatusBar statusBar(session.get(), std::nullopt, [](MenuAction action) {
        if (action == MenuAction::quit) {
            constexpr std::string_view said = "quit\n";
            [[maybe_unused]] auto written = write(STDOUT_FILENO, said.data(), said.size());
            _exit(0);
        }
    });
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);
    item->button()->setTitle("SL");
    item->setMenu(agentMenu(false, false));
    GMainLoopPtr loop(g_main_loop_new(nullptr, FALSE));
    g_main_loop_run(loop.get());
    _exit(0);
}
[[maybe_unused]] const int agentMode = runAsAgentIfAsked();

// Short waits, so that the tests need not sit through the agent's own.
constexpr StatusItemDelays quickDelays{.trayCheck = 200ms, .firstReregistration = 20ms};

// The agent's messages (g_message), kept while it lives instead of printed.
class LogCapture {
public:
    LogCapture()
        : handler_(g_log_set_handler("ShadeLedgerZizadezavav", G_LOG_LEVEL_MESSAGE, keep, this))
    {
    }
    ~LogCapture() { g_log_remove_handler("ShadeLedgerZizadezavav", handler_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::size_t count() const { return messages_.size(); }
    std::string text() const
    {
        std::string all;
        for (const auto& message : messages_) {
            all += message + "\n";
        }
        return all;
    }

private:
    static void keep(const gchar*, GLogLevelFlags, const gchar* message, gpointer self)
    {
        static_cast<LogCapture*>(self)->messages_.emplace_back(message);
    }
    guint handler_;
    std::vector<std::string> messages_;
};

auto firstLabelIs(const std::string& label)
{
    return [label](const TrayMenu& menu) { return !menu.empty() && menu.front().label == label; };
}

// Runs what is already queued on the main context, then a round trip to the item, so that
// every signal the item has sent so far has reached the host.
void settle(TrayHost& host)
{
    while (g_main_context_pending(nullptr)) {
        g_main_context_iteration(nullptr, FALSE);
    }
    ASSERT_TRUE(host.readMenu()) << "the host could not read the menu";
}

bool busHasOwner(GDBusConnection* connection, const std::string& name)
{
    GVariantPtr reply(
        g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
            "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", name.c_str()),
            G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr));
    gboolean owned = FALSE;
    if (reply) {
        g_variant_get(reply.get(), "(b)", &owned);
    }
    return owned;
}

// A session bus of its own, with the agent's connection to it and a place for resources.
class StatusItemTest : public ::testing::Test {
protected:
    StatusItemTest()
        : bus(home.root())
    {
        // libdbusmenu-glib serves on the session singleton, so the item uses it as well.
        session = adoptGObject(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
        if (session) {
            g_dbus_connection_set_exit_on_close(session.get(), FALSE);
        }
        resources = home.root() + "/Resources";
        makeDirectories(resources);
    }

    ~StatusItemTest() override
    {
        // The session singleton outlives the test while queued work still holds it; let that
        // work run so that a later test in this process connects to its own bus.
        GWeakRef singleton;
        g_weak_ref_init(&singleton, session.get());
        session.reset();
        iterateUntil(
            [&] {
                GObjectPtr<GObject> alive(static_cast<GObject*>(g_weak_ref_get(&singleton)));
                return alive == nullptr;
            },
            5s);
        g_weak_ref_clear(&singleton);
    }

    LinuxStatusBar makeStatusBar(GDBusConnection* connection)
    {
        return LinuxStatusBar(
            connection, resources, [this](MenuAction action) { delivered.push_back(action); });
    }

    TempHome home;
    PrivateBus bus;
    GObjectPtr<GDBusConnection> session;
    std::string resources;
    std::vector<MenuAction> delivered;
};

class StatusItemRegistration : public StatusItemTest { };

TEST_F(StatusItemRegistration, RegistersByPathWhileOwningItsProcessName)
{
    ASSERT_TRUE(session);
    TrayHost host(bus.address());
    LinuxStatusBar statusBar(session.get(), resources, [](MenuAction) {});
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);
    ASSERT_TRUE(item);

    ASSERT_TRUE(host.waitForRegistration()) << "the tray never heard of the agent's item";
    // By name, GNOME's AppIndicator extension loses some items for good.
    EXPECT_EQ(host.registrations().front().service, "/StatusNotifierItem");
    EXPECT_EQ(
        host.registrations().front().sender, g_dbus_connection_get_unique_name(session.get()));
    EXPECT_TRUE(busHasOwner(host.connection(), itemBusName))
        << "the item's process name is not on the bus";
}

TEST_F(StatusItemRegistration, ShowsTheAgentAsAnApplicationMenu)
{
    TrayHost host(bus.address());
    LinuxStatusBar statusBar(session.get(), resources, [](MenuAction) {});
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);
    ASSERT_TRUE(host.waitForRegistration());

    EXPECT_EQ(host.readItemString("Category"), "ApplicationStatus");
    EXPECT_EQ(host.readItemString("Id"), agentBundleIdentifier);
    EXPECT_EQ(host.readItemString("Title"), "ShadeLedger Zizadezavav");
    EXPECT_EQ(host.readItemString("Status"), "Active");
    EXPECT_EQ(host.readItemString("IconThemePath"), resources);
    auto isMenu = host.readItemProperty("ItemIsMenu");
    ASSERT_TRUE(isMenu);
    EXPECT_TRUE(g_variant_get_boolean(isMenu.get()))
        << "a click on the icon would not open the menu";
    auto menuPath = host.readItemProperty("Menu");
    ASSERT_TRUE(menuPath);
    EXPECT_TRUE(g_variant_is_object_path(g_variant_get_string(menuPath.get(), nullptr)));
    // Hosts that do not read ItemIsMenu open the menu when activation is refused as unknown.
    EXPECT_EQ(host.callItem("Activate"), "org.freedesktop.DBus.Error.UnknownMethod")
        << "a left click in KDE Plasma would do nothing";
    EXPECT_EQ(host.callItem("SecondaryActivate"), "org.freedesktop.DBus.Error.UnknownMethod");
    EXPECT_EQ(host.callItem("ContextMenu"), "");
    auto windowId = host.readItemProperty("WindowId");
    ASSERT_TRUE(windowId);
    EXPECT_EQ(g_variant_get_int32(windowId.get()), 0);
    for (const char* pixmap : {"IconPixmap", "AttentionIconPixmap", "OverlayIconPixmap"}) {
        auto value = host.readItemProperty(pixmap);
        ASSERT_TRUE(value) << pixmap;
        EXPECT_STREQ(g_variant_get_type_string(value.get()), "a(iiay)") << pixmap;
        EXPECT_EQ(g_variant_n_children(value.get()), 0u) << pixmap;
    }
    auto toolTip = host.readItemProperty("ToolTip");
    ASSERT_TRUE(toolTip) << "hosts that ask for the tool tip would get an error";
    const gchar* toolTipTitle = nullptr;
    g_variant_get_child(toolTip.get(), 2, "&s", &toolTipTitle);
    EXPECT_STREQ(toolTipTitle, "") << "the item shows a tool tip";
}

TEST_F(StatusItemRegistration, RegistersWithAWatcherThatAppearsLater)
{
    LinuxStatusBar statusBar(session.get(), resources, [](MenuAction) {});
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);
    item->setMenu(agentMenu(false, false));
    ASSERT_TRUE(iterateUntil([&] { return busHasOwner(session.get(), itemBusName); }, 10s))
        << "the item never took its bus name";

    TrayHost host(bus.address());
    ASSERT_TRUE(host.waitForRegistration()) << "a tray started after the agent never shows it";
    EXPECT_EQ(host.registrations().front().service, "/StatusNotifierItem");
    EXPECT_TRUE(host.waitForMenu(firstLabelIs("○ Not connected")));
}

TEST_F(StatusItemRegistration, RegistersAgainWhenTheWatcherRestarts)
{
    LinuxStatusBar statusBar(session.get(), resources, [](MenuAction) {});
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);
    {
        TrayHost first(bus.address());
        ASSERT_TRUE(first.waitForRegistration());
    }
    TrayHost second(bus.address());
    ASSERT_TRUE(second.waitForRegistration())
        << "after the panel restarted, the agent's icon did not come back";
    EXPECT_EQ(second.registrations().front().service, "/StatusNotifierItem");
}

TEST_F(StatusItemRegistration, TriesAgainWhileTheWatchersObjectIsMissing)
{
    // Some hosts own the watcher name a while before they export the watcher.
    TrayHost host(bus.address(), TrayHost::Export::later);
    LinuxStatusBar statusBar(session.get(), resources, [](MenuAction) {});
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);
    ASSERT_TRUE(host.waitUntil([&] { return host.registrationCalls() >= 1; }))
        << "the item never tried to register";
    host.exportWatcher();
    ASSERT_TRUE(host.waitForRegistration()) << "a refused registration was never tried again";
    EXPECT_EQ(host.registrations().front().service, "/StatusNotifierItem");
}

TEST_F(StatusItemRegistration, RegistersByPathWhenItsBusNameIsTaken)
{
    TrayHost host(bus.address());
    // Another client holds the item's name.
    GVariantPtr taken(g_dbus_connection_call_sync(host.connection(), "org.freedesktop.DBus",
        "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", itemBusName.c_str(), 4u), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr));
    ASSERT_TRUE(taken);
    LinuxStatusBar statusBar(session.get(), resources, [](MenuAction) {});
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);
    item->setMenu(agentMenu(false, false));

    ASSERT_TRUE(host.waitForRegistration()) << "a taken bus name hid the icon";
    EXPECT_EQ(host.registrations().front().service, "/StatusNotifierItem");
    EXPECT_EQ(
        host.registrations().front().sender, g_dbus_connection_get_unique_name(session.get()));
    EXPECT_EQ(host.readItemString("Id"), agentBundleIdentifier);
    EXPECT_TRUE(host.waitForMenu(firstLabelIs("○ Not connected")));
}

// Asks the bus for a name on that connection; true when it is owned now.
bool ownName(GDBusConnection* connection, const std::string& name)
{
    GVariantPtr reply(
        g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
            "org.freedesktop.DBus", "RequestName", g_variant_new("(su)", name.c_str(), 4u),
            G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr));
    guint32 result = 0;
    if (reply) {
        g_variant_get(reply.get(), "(u)", &result);
    }
    return result == 1;
}

// Whether anything is exported at path on the item's connection, as a host introspecting it sees.
bool exportedAt(TrayHost& host, GDBusConnection* item, const std::string& path)
{
    struct Answer {
        bool done = false;
        bool found = false;
    } answer;
    g_dbus_connection_call(
        host.connection(), g_dbus_connection_get_unique_name(item), path.c_str(),
        "org.freedesktop.DBus.Introspectable", "Introspect", nullptr, G_VARIANT_TYPE("(s)"),
        G_DBUS_CALL_FLAGS_NONE, 10000, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* answer = static_cast<Answer*>(data);
            GVariantPtr reply(
                g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr));
            const gchar* xml = nullptr;
            if (reply) {
                g_variant_get(reply.get(), "(&s)", &xml);
            }
            answer->found = xml && strstr(xml, "org.kde.StatusNotifierItem") != nullptr;
            answer->done = true;
        },
        &answer);
    host.waitUntil([&] { return answer.done; });
    return answer.found;
}

TEST_F(StatusItemRegistration, RegistersWithXAppsWatcherByAnIndicatorsPathOnlyThere)
{
    const std::string indicator
        = "/org/ayatana/NotificationItem/com_vortlin_shadeledger_zizadezavav";
    LinuxStatusBar statusBar(session.get(), resources, [](MenuAction) {});
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);
    item->setMenu(agentMenu(false, false));
    {
        // Cinnamon's watcher owns its own name beside the watcher's; it opens the menu on a left
        // click only for items at an indicator's path.
        TrayHost xapp(bus.address(), TrayHost::Export::later);
        ASSERT_TRUE(ownName(xapp.connection(), "org.x.StatusNotifierWatcher"));
        xapp.exportWatcher();
        ASSERT_TRUE(xapp.waitForRegistration()) << "XApp's watcher never heard of the item";
        EXPECT_EQ(xapp.registrations().front().service, indicator)
            << "a left click in Cinnamon would do nothing";
        EXPECT_EQ(xapp.readItemString("Id"), agentBundleIdentifier);
        EXPECT_TRUE(xapp.waitForMenu(firstLabelIs("○ Not connected")));
    }
    TrayHost other(bus.address());
    ASSERT_TRUE(other.waitForRegistration());
    EXPECT_EQ(other.registrations().front().service, "/StatusNotifierItem");
    EXPECT_TRUE(exportedAt(other, session.get(), "/StatusNotifierItem"));
    EXPECT_FALSE(exportedAt(other, session.get(), indicator))
        << "hosts that look for items would find two";
}

TEST_F(StatusItemRegistration, RegistersAgainAFewTimesWhenTheWatcherDropsTheItem)
{
    TrayHost host(bus.address());
    LogCapture messages;
    LinuxStatusBar statusBar(
        session.get(), resources, [](MenuAction) {}, quickDelays);
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);
    ASSERT_TRUE(host.waitForRegistration());

    // The watcher stays on the bus and drops the item (GNOME's extension does, in a race).
    host.dropItems();
    ASSERT_TRUE(host.waitForRegistrationCount(2)) << "a dropped item never came back";
    EXPECT_EQ(host.registrations().back().service, "/StatusNotifierItem");

    // From now on it answers registrations but never lists the item: a few more tries, backing
    // off, then the item gives up and says so, once.
    host.setListsItems(false);
    host.dropItems();
    ASSERT_TRUE(host.waitUntil([&] { return messages.count() >= 1; }, 30s))
        << "the item never gave up, or gave up without a word";
    EXPECT_EQ(host.registrations().size(), 6u) << "not the bounded number of tries";
    EXPECT_EQ(messages.count(), 1u) << messages.text();
    EXPECT_NE(messages.text().find("did not keep"), std::string::npos) << messages.text();
}

TEST_F(StatusItemRegistration, AWatcherThatListsTheItemWithoutItsBusNameKeepsIt)
{
    TrayHost host(bus.address());
    host.setListsBarePaths(true);
    LogCapture messages;
    LinuxStatusBar statusBar(
        session.get(), resources, [](MenuAction) {}, quickDelays);
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);
    ASSERT_TRUE(host.waitForRegistration());

    // Every re-registration and the word that the tray did not keep the icon would come well
    // within this, backing off from 20 ms.
    EXPECT_FALSE(host.waitUntil([&] { return messages.count() > 0; }, 3s)) << messages.text();
    EXPECT_EQ(host.registrations().size(), 1u)
        << "the tray listed the item as its path, and the item registered again and again";
}

TEST_F(StatusItemRegistration, SaysOnceThatThereIsNoTrayAndOnceWhenItGoesAway)
{
    LogCapture messages;
    LinuxStatusBar statusBar(
        session.get(), resources, [](MenuAction) {}, quickDelays);
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);
    ASSERT_TRUE(iterateUntil([&] { return messages.count() >= 1; }, 10s))
        << "no word that there is no tray";
    EXPECT_NE(messages.text().find("AppIndicator"), std::string::npos)
        << "the GNOME user is not told what is missing: " << messages.text();
    {
        TrayHost host(bus.address());
        ASSERT_TRUE(host.waitForRegistration());
        EXPECT_EQ(messages.count(), 1u) << messages.text();
    }
    ASSERT_TRUE(iterateUntil([&] { return messages.count() >= 2; }, 10s))
        << "no word when the tray went away";
    EXPECT_NE(messages.text().find("went away"), std::string::npos) << messages.text();
    TrayHost again(bus.address());
    ASSERT_TRUE(again.waitForRegistration());
    EXPECT_EQ(messages.count(), 2u) << messages.text();
}

TEST_F(StatusItemRegistration, SaysSoWhenTheWatcherHasNoTrayToShowItems)
{
    LogCapture messages;
    TrayHost host(bus.address());
    host.setHostRegistered(false);
    LinuxStatusBar statusBar(
        session.get(), resources, [](MenuAction) {}, quickDelays);
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);
    ASSERT_TRUE(host.waitUntil([&] { return messages.count() >= 1; }))
        << "a watcher without a tray shows nothing, and the agent said nothing";
    EXPECT_NE(messages.text().find("AppIndicator"), std::string::npos) << messages.text();
}

class StatusMenuLayout : public StatusItemTest { };

TEST_F(StatusMenuLayout, ShowsEveryEntryWithItsTitleStateAndShortcut)
{
    TrayHost host(bus.address());
    LinuxStatusBar statusBar(session.get(), resources, [](MenuAction) {});
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);
    item->setMenu(agentMenu(false, true, "2.0.1"));
    ASSERT_TRUE(host.waitForRegistration());

    auto menu = host.waitForMenu(firstLabelIs("○ Not connected"));
    ASSERT_TRUE(menu) << "the menu never showed the connection line";
    ASSERT_EQ(menu->size(), 14u) << describe(*menu);

    const std::vector<std::string> labels
        = {"○ Not connected", "", "Open ShadeLedger", "", "Start at Login", "", "Restart Bridge",
            "View Log", "Check for Updates", "", "Uninstall…", "Quit", "", "Zizadezavav v2.0.1"};
    const std::vector<std::size_t> separators = {1, 3, 5, 9, 12};
    for (std::size_t i = 0; i < menu->size(); ++i) {
        const auto& entry = (*menu)[i];
        bool separator = std::find(separators.begin(), separators.end(), i) != separators.end();
        EXPECT_EQ(entry.isSeparator(), separator) << "entry " << i << " of " << describe(*menu);
        if (!separator) {
            EXPECT_EQ(entry.label, labels[i]) << "entry " << i;
        }
        bool informationLine = i == 0 || i == 13;
        if (!separator) {
            EXPECT_EQ(entry.enabled, !informationLine) << "\"" << entry.label << "\"";
        }
        if (i != 4) {
            EXPECT_EQ(entry.toggleType, "") << "\"" << entry.label << "\" shows a checkmark";
        }
        if (i != 11) {
            EXPECT_TRUE(entry.shortcut.empty()) << "\"" << entry.label << "\" has a shortcut";
        }
    }
    EXPECT_EQ(menu->front().label.size(), 17u) << "the white circle is not one character";
    EXPECT_EQ((*menu)[10].label.size(), 12u) << "the ellipsis is not one character";

    const auto& login = (*menu)[4];
    EXPECT_EQ(login.toggleType, "checkmark");
    EXPECT_EQ(login.toggleState, 1) << "Start at Login is not checked while it is on";

    const auto& quit = (*menu)[11];
    EXPECT_EQ(quit.shortcut, (std::vector<std::vector<std::string>>{{"Control", "q"}}));
}

// The error a call to the menu got, "" when it succeeded; waits for the answer.
std::string menuCallError(
    TrayHost& host, GDBusConnection* menuConnection, const char* method, GVariant* parameters)
{
    struct Answer {
        bool done = false;
        std::string error;
    } answer;
    g_dbus_connection_call(
        host.connection(), g_dbus_connection_get_unique_name(menuConnection),
        LinuxStatusMenu::objectPath, "com.canonical.dbusmenu", method, parameters, nullptr,
        G_DBUS_CALL_FLAGS_NONE, 60000, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* answer = static_cast<Answer*>(data);
            GErrorPtr error;
            GVariantPtr reply(
                g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, errorOut(error)));
            if (error) {
                GCharPtr name(g_dbus_error_get_remote_error(error.get()));
                answer->error = name ? name.get() : error->message;
            }
            answer->done = true;
        },
        &answer);
    host.waitUntil([&] { return answer.done; }, 90s);
    return answer.done ? answer.error : "no answer";
}

TEST_F(StatusMenuLayout, CallsNamingMoreThanAnyMenuNeedsAreRefusedAndTheMenuStillAnswers)
{
    TrayHost host(bus.address());
    LinuxStatusBar statusBar(session.get(), resources, [](MenuAction) {});
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);
    item->setMenu(agentMenu(false, true));
    ASSERT_TRUE(host.waitForRegistration());
    ASSERT_TRUE(host.waitForMenu(firstLabelIs("○ Not connected")));

    std::vector<const gchar*> names(1'000'000, "label");
    EXPECT_EQ(menuCallError(host, session.get(), "GetLayout",
                  g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(names.data(), names.size()))),
        "org.freedesktop.DBus.Error.LimitsExceeded")
        << "a layout naming a million properties was not refused";
    std::vector<gint32> ids(100'000, 1);
    EXPECT_EQ(menuCallError(host, session.get(), "AboutToShowGroup",
                  g_variant_new("(@ai)",
                      g_variant_new_fixed_array(
                          G_VARIANT_TYPE_INT32, ids.data(), ids.size(), sizeof(gint32)))),
        "org.freedesktop.DBus.Error.LimitsExceeded")
        << "a hundred thousand ids were not refused";

    // What a host asks for a menu of 14 entries is answered as before.
    std::vector<gint32> allIds(15);
    std::iota(allIds.begin(), allIds.end(), 0);
    std::vector<const gchar*> allProperties{"type", "label", "enabled", "visible", "toggle-type",
        "toggle-state", "shortcut", "children-display", "icon-name", "icon-data", "disposition",
        "accessible-desc"};
    EXPECT_EQ(menuCallError(host, session.get(), "GetGroupProperties",
                  g_variant_new("(@ai@as)",
                      g_variant_new_fixed_array(
                          G_VARIANT_TYPE_INT32, allIds.data(), allIds.size(), sizeof(gint32)),
                      g_variant_new_strv(allProperties.data(), allProperties.size()))),
        "");
    auto menu = host.readMenu();
    ASSERT_TRUE(menu) << "the menu stopped answering";
    EXPECT_EQ(menu->size(), 14u);
}

TEST_F(StatusMenuLayout, ShowsTheConnectedLineAndAnUncheckedLoginItem)
{
    TrayHost host(bus.address());
    LinuxStatusBar statusBar(session.get(), resources, [](MenuAction) {});
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);
    item->setMenu(agentMenu(true, false));
    ASSERT_TRUE(host.waitForRegistration());

    auto menu = host.waitForMenu(firstLabelIs("● Connected"));
    ASSERT_TRUE(menu) << "the menu never showed \"● Connected\"";
    EXPECT_EQ(menu->front().label.size(), 13u);
    EXPECT_FALSE(menu->front().enabled);
    ASSERT_EQ(menu->size(), 14u);
    EXPECT_EQ((*menu)[4].toggleType, "checkmark")
        << "Start at Login shows no box to tick while it is off";
    EXPECT_EQ((*menu)[4].toggleState, 0) << "Start at Login is checked while it is off";
}

TEST_F(StatusMenuLayout, AMenuIsShownAsTheSmallestChange)
{
    TrayHost host(bus.address());
    LinuxStatusBar statusBar(session.get(), resources, [](MenuAction) {});
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);
    item->setMenu(agentMenu(false, false));
    ASSERT_TRUE(host.waitForRegistration());
    auto first = host.waitForMenu(firstLabelIs("○ Not connected"));
    ASSERT_TRUE(first);
    EXPECT_EQ(host.rootChildrenDisplay(), "submenu") << "GTK hosts warn about the root";
    settle(host);
    int layouts = host.layoutUpdatedCount();
    int updates = host.propertiesUpdatedCount();

    // Only labels and a checkmark change: the items are updated where they are, so that a
    // menu the user holds open stays open.
    item->setMenu(agentMenu(true, true));
    auto connected = host.waitForMenu(firstLabelIs("● Connected"));
    ASSERT_TRUE(connected) << "the menu still read \"○ Not connected\" after the change";
    EXPECT_EQ((*connected)[4].toggleState, 1);
    settle(host);
    EXPECT_EQ(host.layoutUpdatedCount(), layouts) << "the open menu would close";
    EXPECT_GT(host.propertiesUpdatedCount(), updates) << "the host was not told of the change";
    ASSERT_EQ(connected->size(), first->size());
    for (std::size_t i = 0; i < connected->size(); ++i) {
        EXPECT_EQ((*connected)[i].id, (*first)[i].id) << (*connected)[i].label;
    }

    // An equal menu sends nothing.
    updates = host.propertiesUpdatedCount();
    item->setMenu(agentMenu(true, true));
    settle(host);
    EXPECT_EQ(host.layoutUpdatedCount(), layouts);
    EXPECT_EQ(host.propertiesUpdatedCount(), updates);

    // Another structure replaces the layout, once; ids still name positions.
    Menu shorter = agentMenu(false, false);
    shorter.items.pop_back();
    item->setMenu(shorter);
    auto replaced = host.waitForMenu([](const TrayMenu& menu) { return menu.size() == 13; });
    ASSERT_TRUE(replaced);
    settle(host);
    EXPECT_EQ(host.layoutUpdatedCount(), layouts + 1);
    EXPECT_EQ(host.rootChildrenDisplay(), "submenu");
    EXPECT_EQ(replaced->front().label, "○ Not connected");
    for (std::size_t i = 0; i < replaced->size(); ++i) {
        EXPECT_EQ((*replaced)[i].id, (*first)[i].id) << (*replaced)[i].label;
    }
}

class StatusMenuClicks : public StatusItemTest { };

TEST_F(StatusMenuClicks, AClickDeliversTheItemsActionOnceAnswered)
{
    TrayHost host(bus.address());
    LinuxStatusBar statusBar = makeStatusBar(session.get());
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);
    item->setMenu(agentMenu(false, false));
    ASSERT_TRUE(host.waitForRegistration());
    ASSERT_TRUE(host.waitForMenu(firstLabelIs("○ Not connected")));

    ASSERT_TRUE(host.click("Open ShadeLedger")) << "the click was not answered";
    ASSERT_TRUE(iterateUntil([&] { return !delivered.empty(); }, 10s))
        << "clicking Open ShadeLedger did nothing";
    EXPECT_EQ(delivered, (std::vector<MenuAction>{MenuAction::openApp}));

    ASSERT_TRUE(host.click("Start at Login"));
    ASSERT_TRUE(host.click("Quit"));
    ASSERT_TRUE(iterateUntil([&] { return delivered.size() == 3; }, 10s));
    EXPECT_EQ(delivered,
        (std::vector<MenuAction>{MenuAction::openApp, MenuAction::toggleLogin, MenuAction::quit}));
}

TEST_F(StatusMenuClicks, AClickOnADisabledItemDoesNothing)
{
    TrayHost host(bus.address());
    LinuxStatusBar statusBar = makeStatusBar(session.get());
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);
    Menu menu = agentMenu(false, false);
    menu.items[6].setEnabled(false); // Restart Bridge, greyed out but with its action
    item->setMenu(menu);
    ASSERT_TRUE(host.waitForRegistration());
    auto shown = host.waitForMenu(firstLabelIs("○ Not connected"));
    ASSERT_TRUE(shown);
    ASSERT_FALSE((*shown)[6].enabled);

    host.click("Restart Bridge");
    host.click("○ Not connected");
    // Clicks are handled in order: once this one arrives, the ones before had their turn.
    ASSERT_TRUE(host.click("View Log"));
    ASSERT_TRUE(iterateUntil([&] { return !delivered.empty(); }, 10s));
    EXPECT_EQ(delivered, (std::vector<MenuAction>{MenuAction::viewLog}))
        << "a greyed-out item acted when clicked";
}

TEST_F(StatusMenuClicks, AClickOnAnItemOfAReplacedMenuStillActs)
{
    TrayHost host(bus.address());
    LinuxStatusBar statusBar = makeStatusBar(session.get());
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);
    item->setMenu(agentMenu(false, false));
    ASSERT_TRUE(host.waitForRegistration());
    ASSERT_TRUE(host.waitForMenu(firstLabelIs("○ Not connected")));

    // The click is answered; the menu changes (a probe result) before the click is handled.
    ASSERT_TRUE(host.click("View Log"));
    item->setMenu(agentMenu(true, false));
    ASSERT_TRUE(iterateUntil([&] { return !delivered.empty(); }, 10s))
        << "a click lost because the menu was rebuilt at that moment";
    EXPECT_EQ(delivered, (std::vector<MenuAction>{MenuAction::viewLog}));
}

TEST_F(StatusMenuClicks, AClickSentFromTheMenuReadBeforeARebuildStillActs)
{
    TrayHost host(bus.address());
    LinuxStatusBar statusBar = makeStatusBar(session.get());
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);
    item->setMenu(agentMenu(false, false));
    ASSERT_TRUE(host.waitForRegistration());
    auto before = host.waitForMenu(firstLabelIs("○ Not connected"));
    ASSERT_TRUE(before);

    // The host still shows the old menu when the new one arrives.
    item->setMenu(agentMenu(true, false));
    ASSERT_TRUE(host.waitForMenu(firstLabelIs("● Connected")));
    ASSERT_TRUE(host.clickId((*before)[7].id)) << "the entry the user saw is unknown now";
    ASSERT_TRUE(iterateUntil([&] { return !delivered.empty(); }, 10s));
    EXPECT_EQ(delivered, (std::vector<MenuAction>{MenuAction::viewLog}));
}

TEST_F(StatusMenuClicks, QuitIsAnsweredBeforeTheAgentExits)
{
    TrayHost host(bus.address());
    auto launcher = adoptGObject(g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_STDOUT_PIPE));
    g_subprocess_launcher_setenv(launcher.get(), "SL_STATUS_ITEM_AGENT", "1", TRUE);
    GCharPtr executable(g_file_read_link("/proc/self/exe", nullptr));
    ASSERT_TRUE(executable);
    GError* rawError = nullptr;
    auto agent = adoptGObject(
        g_subprocess_launcher_spawn(launcher.get(), &rawError, executable.get(), nullptr));
    GErrorPtr error(rawError);
    ASSERT_TRUE(agent) << (error ? error->message : "");
    auto exited = std::make_shared<bool>(false);
    g_subprocess_wait_async(
        agent.get(), nullptr,
        [](GObject*, GAsyncResult*, gpointer data) {
            std::unique_ptr<std::shared_ptr<bool>> flag(static_cast<std::shared_ptr<bool>*>(data));
            **flag = true;
        },
        std::make_unique<std::shared_ptr<bool>>(exited).release());
    struct StopAgent {
        GSubprocess* agent;
        ~StopAgent() { g_subprocess_force_exit(agent); }
    } stopAgent{agent.get()};

    ASSERT_TRUE(host.waitForRegistration()) << "the agent's item never registered";
    EXPECT_NE(host.registrations().front().sender, g_dbus_connection_get_unique_name(session.get()))
        << "not the agent's own item";
    ASSERT_TRUE(host.waitForMenu(firstLabelIs("○ Not connected")));

    EXPECT_TRUE(host.click("Quit")) << "clicking Quit got no answer: the agent left first";
    ASSERT_TRUE(iterateUntil([&] { return *exited; }, 10s)) << "Quit did not end the agent";
    EXPECT_TRUE(g_subprocess_get_if_exited(agent.get()));
    EXPECT_EQ(g_subprocess_get_exit_status(agent.get()), 0);
    char said[16] = {};
    gsize length = 0;
    g_input_stream_read_all(g_subprocess_get_stdout_pipe(agent.get()), said, sizeof said - 1,
        &length, nullptr, nullptr);
    EXPECT_STREQ(said, "quit\n");
}

class StatusItemImage : public StatusItemTest { };

TEST_F(StatusItemImage, ShowsTheTemplateImageByNameFromTheResourcesAndAsPixels)
{
    writeFile(resources + "/MenuBarTemplate.png", twoPixelPNG);
    writeFile(resources + "/MenuBarTemplate-22.png", squarePNG);
    TrayHost host(bus.address());
    LinuxStatusBar statusBar(session.get(), resources, [](MenuAction) {});
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);
    ASSERT_TRUE(item->button()) << "the Linux item has no button to dress";

    auto image = statusBar.imageNamed("MenuBarTemplate");
    ASSERT_TRUE(image) << "a valid PNG in the resources did not load";
    image->setTemplate(true);
    item->button()->setImage(*image);

    ASSERT_TRUE(host.waitForRegistration());
    EXPECT_EQ(host.readItemString("IconName"), "MenuBarTemplate");
    EXPECT_EQ(host.readItemString("IconThemePath"), resources);
    // ARGB32 in network byte order, not premultiplied, smallest first.
    auto pixmaps = pixmapsOf(host.readItemProperty("IconPixmap"));
    ASSERT_EQ(pixmaps.size(), 2u) << "hosts that ignore the theme path show nothing";
    EXPECT_EQ(pixmaps[0].first, "2x1");
    EXPECT_EQ(pixmaps[0].second, std::string("\xff\xff\x00\x00\x80\x00\x00\xff", 8));
    EXPECT_EQ(pixmaps[1].first, "22x22");
    std::string square;
    for (int i = 0; i < 22 * 22; ++i) {
        square += "\xff\x64\xa0\xec";
    }
    EXPECT_EQ(pixmaps[1].second, square);
    // MATE draws an offered label, even an empty one, instead of the icon.
    auto all = host.readAllItemProperties();
    ASSERT_TRUE(all);
    EXPECT_FALSE(GVariantPtr(g_variant_lookup_value(all.get(), "XAyatanaLabel", nullptr)))
        << "a label is offered beside the icon";
    EXPECT_TRUE(GVariantPtr(g_variant_lookup_value(all.get(), "IconName", nullptr)));
    EXPECT_EQ(host.readItemString("XAyatanaLabel"), std::nullopt);
}

TEST_F(StatusItemImage, ShowsSLWhenTheImageIsMissing)
{
    TrayHost host(bus.address());
    LinuxStatusBar statusBar(session.get(), resources, [](MenuAction) {});
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);

    EXPECT_FALSE(statusBar.imageNamed("MenuBarTemplate"));
    item->button()->setTitle("SL");

    ASSERT_TRUE(host.waitForRegistration());
    EXPECT_EQ(host.readItemString("IconName"), "");
    EXPECT_EQ(host.readItemString("XAyatanaLabel"), "SL") << "the tray shows neither icon nor text";
    EXPECT_TRUE(pixmapsOf(host.readItemProperty("IconPixmap")).empty());
}

TEST_F(StatusItemImage, AFileThatIsNoImageDoesNotLoad)
{
    writeFile(resources + "/MenuBarTemplate.png", "not a picture");
    writeFile(resources + "/Truncated.png", onePixelPNG.substr(0, 16));
    makeDirectories(resources + "/Folder.png");
    LinuxStatusBar statusBar(nullptr, resources, [](MenuAction) {});

    EXPECT_FALSE(statusBar.imageNamed("MenuBarTemplate"));
    EXPECT_FALSE(statusBar.imageNamed("Truncated"));
    EXPECT_FALSE(statusBar.imageNamed("Folder"));
    EXPECT_FALSE(statusBar.imageNamed("../Resources/MenuBarTemplate"));
}

TEST_F(StatusItemImage, AnSVGImageLoadsWhenThereIsNoPNG)
{
    writeFile(resources + "/MenuBarTemplate.svg",
        "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
        "viewBox=\"0 0 22 22\"><rect width=\"22\" height=\"22\"/></svg>\n");
    LinuxStatusBar statusBar(nullptr, resources, [](MenuAction) {});

    auto image = statusBar.imageNamed("MenuBarTemplate");
    ASSERT_TRUE(image);
    EXPECT_EQ(image->path, resources + "/MenuBarTemplate.svg");
}

TEST_F(StatusItemImage, ANewImageIsAnnouncedToTheHost)
{
    writeFile(resources + "/MenuBarTemplate.png", onePixelPNG);
    TrayHost host(bus.address());
    int newIcons = 0;
    guint subscription = g_dbus_connection_signal_subscribe(
        host.connection(), nullptr, "org.kde.StatusNotifierItem", "NewIcon", nullptr, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
            gpointer count) { ++*static_cast<int*>(count); },
        &newIcons, nullptr);
    LinuxStatusBar statusBar(session.get(), resources, [](MenuAction) {});
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);
    ASSERT_TRUE(host.waitForRegistration());
    ASSERT_EQ(host.readItemString("IconName"), "");

    item->button()->setImage(*statusBar.imageNamed("MenuBarTemplate"));
    EXPECT_TRUE(host.waitUntil([&] { return newIcons == 1; }))
        << "the tray kept showing the old icon";
    EXPECT_EQ(host.readItemString("IconName"), "MenuBarTemplate");
    g_dbus_connection_signal_unsubscribe(host.connection(), subscription);
}

class StatusItemWithoutBus : public ::testing::Test {
protected:
    TempHome home;
};

TEST_F(StatusItemWithoutBus, EverythingIsAQuietNoOp)
{
    std::vector<MenuAction> delivered;
    writeFile(home.root() + "/Resources/MenuBarTemplate.png", onePixelPNG);
    LinuxStatusBar statusBar(nullptr, home.root() + "/Resources",
        [&](MenuAction action) { delivered.push_back(action); });
    auto item = statusBar.statusItemWithLength(squareStatusItemLength);
    ASSERT_TRUE(item);
    EXPECT_EQ(statusBar.statusItemWithLength(squareStatusItemLength), item);
    ASSERT_TRUE(item->button());
    auto image = statusBar.imageNamed("MenuBarTemplate");
    ASSERT_TRUE(image);
    item->button()->setImage(*image);
    item->button()->setTitle("SL");
    item->setMenu(agentMenu(false, false));
    item->setMenu(agentMenu(true, true));
    while (g_main_context_pending(nullptr)) {
        g_main_context_iteration(nullptr, FALSE);
    }
    EXPECT_TRUE(delivered.empty());
}

TEST_F(StatusItemWithoutBus, NoResourcesDirectoryMeansNoImage)
{
    LinuxStatusBar statusBar(nullptr, std::nullopt, [](MenuAction) {});
    EXPECT_FALSE(statusBar.imageNamed("MenuBarTemplate"));
}

} // namespace
} // namespace ShadeLedgerZizadezavav
