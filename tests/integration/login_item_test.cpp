// The login item as an XDG autostart entry in a temporary XDG_CONFIG_HOME.
#include "platform/bundle.h"
#include "platform/linux/glib_owners.h"
#include "platform/linux/linux_login_item.h"
#include "support/main_context.h"
#include "support/temp_home.h"

#include <gio/gdesktopappinfo.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <sys/stat.h>

using namespace ShadeLedgerZizadezavav;
namespace fs = std::filesystem;

namespace {

constexpr const char* bundleIdentifier = agentBundleIdentifier;

class LoginItemTest : public ::testing::Test {
protected:
    TempHome home;
    std::string agent = home.path("Applications/ShadeLedgerZizadezavav.app/Contents/MacOS/"
                                  "ShadeLedgerZizadezavav");
    LinuxLoginItemService service{bundleIdentifier, agent};

    std::string entry() const
    {
        return home.configHome() + "/autostart/" + bundleIdentifier + ".desktop";
    }

    void writeEntry(const std::string& body) { writeFile(entry(), "[Desktop Entry]\n" + body); }

    // The Exec line as it would be written for that program.
    static std::string execLine(const std::string& program) { return "Exec=" + program + "\n"; }
};

} // namespace

TEST_F(LoginItemTest, NoEntryIsNotRegistered)
{
    EXPECT_EQ(service.status(), LoginItemStatus::notRegistered);
    EXPECT_EQ(service.entryPath(), entry());
}

TEST_F(LoginItemTest, RegisterWritesAnEnabledEntryForThisAgent)
{
    ASSERT_TRUE(service.registerItem());
    EXPECT_EQ(service.status(), LoginItemStatus::enabled)
        << "Start at Login showed off right after registering";

    GKeyFilePtr file(g_key_file_new());
    ASSERT_TRUE(g_key_file_load_from_file(file.get(), entry().c_str(), G_KEY_FILE_NONE, nullptr));
    GCharPtr type(g_key_file_get_string(file.get(), "Desktop Entry", "Type", nullptr));
    GCharPtr name(g_key_file_get_string(file.get(), "Desktop Entry", "Name", nullptr));
    GCharPtr exec(g_key_file_get_string(file.get(), "Desktop Entry", "Exec", nullptr));
    GCharPtr enabled(
        g_key_file_get_string(file.get(), "Desktop Entry", "X-GNOME-Autostart-enabled", nullptr));
    ASSERT_TRUE(type && name && exec && enabled);
    EXPECT_STREQ(type.get(), "Application");
    EXPECT_STREQ(name.get(), "ShadeLedger Zizadezavav");
    EXPECT_EQ(std::string(exec.get()), agent);
    EXPECT_STREQ(enabled.get(), "true");
}

TEST_F(LoginItemTest, AnEntryTheDesktopHidIsDisabled)
{
    writeEntry(
        "Type=Application\nName=ShadeLedger Zizadezavav\n" + execLine(agent) + "Hidden=true\n");
    EXPECT_EQ(service.status(), LoginItemStatus::requiresApproval);
}

TEST_F(LoginItemTest, AnEntrySwitchedOffInTheDesktopIsDisabled)
{
    writeEntry("Type=Application\nName=ShadeLedger Zizadezavav\n" + execLine(agent)
        + "X-GNOME-Autostart-enabled=false\n");
    EXPECT_EQ(service.status(), LoginItemStatus::requiresApproval);
}

TEST_F(LoginItemTest, AnEntryForAnotherProgramIsNotOurs)
{
    writeEntry("Type=Application\nName=ShadeLedger Zizadezavav\nExec=/usr/bin/other-agent\n"
               "X-GNOME-Autostart-enabled=true\n");
    EXPECT_EQ(service.status(), LoginItemStatus::notRegistered);

    writeEntry("Type=Application\nName=x\n" + execLine(agent + "-impostor"));
    EXPECT_EQ(service.status(), LoginItemStatus::notRegistered);
}

TEST_F(LoginItemTest, ArgumentsAfterTheProgramDoNotMatter)
{
    writeEntry("Type=Application\nName=x\n" + execLine(agent + " --hidden %U"));
    EXPECT_EQ(service.status(), LoginItemStatus::enabled);
}

TEST_F(LoginItemTest, MalformedEntriesAreNotRegistered)
{
    writeFile(entry(), "this is not a desktop entry\n\x01\x02");
    EXPECT_EQ(service.status(), LoginItemStatus::notRegistered);

    writeFile(entry(), "[Desktop Entry\n" + execLine(agent));
    EXPECT_EQ(service.status(), LoginItemStatus::notRegistered);

    writeEntry("Type=Application\nName=x\n");
    EXPECT_EQ(service.status(), LoginItemStatus::notRegistered) << "an entry without Exec counted";

    writeEntry("Type=Link\nName=x\n" + execLine(agent));
    EXPECT_EQ(service.status(), LoginItemStatus::notRegistered) << "a Link entry starts nothing";

    writeEntry("Type=Application\nName=x\nExec=\"" + agent + "\n");
    EXPECT_EQ(service.status(), LoginItemStatus::notRegistered) << "an unterminated quote counted";
}

TEST_F(LoginItemTest, AFIFOInPlaceOfTheEntryIsNotRegisteredAndDoesNotBlock)
{
    makeDirectories(home.configHome() + "/autostart");
    ASSERT_EQ(mkfifo(entry().c_str(), 0600), 0);
    auto status = std::async(std::launch::async, [&] { return service.status(); });
    ASSERT_EQ(status.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "reading the login item froze on a FIFO";
    EXPECT_EQ(status.get(), LoginItemStatus::notRegistered);
    ASSERT_TRUE(service.registerItem());
    EXPECT_EQ(service.status(), LoginItemStatus::enabled);
}

TEST_F(LoginItemTest, ADirectoryInPlaceOfTheEntry)
{
    makeDirectories(entry());
    EXPECT_EQ(service.status(), LoginItemStatus::notRegistered);
    EXPECT_FALSE(service.registerItem()) << "registering over a directory reported success";
    EXPECT_FALSE(service.unregisterItem());
    EXPECT_TRUE(fs::is_directory(entry())) << "the directory in the way was removed";
}

TEST_F(LoginItemTest, UnknownExecutableIsNotFound)
{
    LinuxLoginItemService unknown{bundleIdentifier, std::nullopt};
    EXPECT_EQ(unknown.status(), LoginItemStatus::notFound);
    EXPECT_FALSE(unknown.registerItem());
    EXPECT_FALSE(exists(entry())) << "an entry was written without a program to start";

    ASSERT_TRUE(service.registerItem());
    EXPECT_EQ(unknown.status(), LoginItemStatus::notFound);
}

TEST_F(LoginItemTest, UnregisterRemovesTheEntry)
{
    ASSERT_TRUE(service.registerItem());
    ASSERT_TRUE(service.unregisterItem());
    EXPECT_FALSE(exists(entry()));
    EXPECT_EQ(service.status(), LoginItemStatus::notRegistered)
        << "Start at Login still showed on after switching it off";
    EXPECT_TRUE(service.unregisterItem()) << "with no entry the agent already does not start";
}

TEST_F(LoginItemTest, RegisterReplacesADisabledOrForeignEntry)
{
    writeEntry("Type=Application\nName=x\n" + execLine(agent) + "Hidden=true\n");
    ASSERT_TRUE(service.registerItem());
    EXPECT_EQ(service.status(), LoginItemStatus::enabled);

    writeEntry("Type=Application\nName=x\nExec=/usr/bin/other\n");
    ASSERT_TRUE(service.registerItem());
    EXPECT_EQ(service.status(), LoginItemStatus::enabled);
}

TEST_F(LoginItemTest, AnotherCopyOfTheAgentSeesTheEntryAsNotItsOwn)
{
    ASSERT_TRUE(service.registerItem());
    LinuxLoginItemService elsewhere{bundleIdentifier, home.path("Downloads/agent")};
    EXPECT_EQ(elsewhere.status(), LoginItemStatus::notRegistered);
}

TEST_F(LoginItemTest, ConfigHomeIsReadAtEachCall)
{
    ASSERT_TRUE(service.registerItem());
    home.setenv("XDG_CONFIG_HOME", home.root() + "/other-config");
    EXPECT_EQ(service.status(), LoginItemStatus::notRegistered);
    ASSERT_TRUE(service.registerItem());
    EXPECT_TRUE(exists(home.root() + "/other-config/autostart/" + bundleIdentifier + ".desktop"));
}

TEST_F(LoginItemTest, APathWithSpacesAndPercentRoundTrips)
{
    std::string odd = home.path("My Apps/50% off/Agent.app/Contents/MacOS/agent");
    LinuxLoginItemService oddService{bundleIdentifier, odd};
    ASSERT_TRUE(oddService.registerItem());
    EXPECT_EQ(oddService.status(), LoginItemStatus::enabled)
        << "an agent installed under a folder with spaces and % never showed as starting at login";
    std::string text = readFile(entry());
    EXPECT_NE(text.find("Exec=\"" + home.path("My Apps/50%% off/Agent.app/Contents/MacOS/agent")
                  + "\"\n"),
        std::string::npos)
        << "Exec is not quoted with % doubled:\n"
        << text;
}

TEST_F(LoginItemTest, TheDesktopStartsTheRegisteredAgentFromAPathWithReservedCharacters)
{
    // No session bus for GIO's launch notification.
    home.setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + home.root() + "/no-bus");
    std::string marker = home.path("started");
    std::string odd = home.path("we\"ird $HOME `x` \\b 'n (1)/agent");
    writeFile(odd, "#!/bin/sh\necho started > '" + marker + "'\n");
    ASSERT_EQ(chmod(odd.c_str(), 0755), 0);

    LinuxLoginItemService oddService{bundleIdentifier, odd};
    ASSERT_TRUE(oddService.registerItem());
    EXPECT_EQ(oddService.status(), LoginItemStatus::enabled);

    auto app = adoptGObject(g_desktop_app_info_new_from_filename(entry().c_str()));
    ASSERT_NE(app, nullptr) << "GIO refused the entry:\n" << readFile(entry());
    GError* rawError = nullptr;
    bool launched = g_app_info_launch(G_APP_INFO(app.get()), nullptr, nullptr, &rawError);
    GErrorPtr error(rawError);
    ASSERT_TRUE(launched) << (error ? error->message : "");
    EXPECT_TRUE(runMainContextUntil([&] { return readFile(marker) == "started\n"; }))
        << "logging in would not have started the agent";
}
