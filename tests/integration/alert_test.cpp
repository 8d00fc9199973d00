// The uninstall question through zenity or kdialog, with stand-in dialog tools on PATH that
// record how they were called and answer as each scenario needs.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/linux_alert.h"
#include "platform/linux/linux_application.h"
#include "support/main_context.h"
#include "support/temp_home.h"

using namespace ShadeLedgerZizadezavav;
using namespace std::chrono_literals;

static Alert uninstallAlert()
{
    Alert alert;
    alert.setMessageText("Uninstall ShadeLedger Zizadezavav?");
    alert.setInformativeText("This will stop the Zizadezavav and remove it from your Mac. Your "
                             "ShadeLedger account and documents are not affected.");
    alert.addButtonWithTitle("Uninstall");
    alert.addButtonWithTitle("Cancel");
    alert.setAlertStyle(AlertStyle::warning);
    return alert;
}

static std::vector<std::string> splitOnNul(const std::string& text)
{
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (auto end = text.find('\0'); end != std::string::npos; end = text.find('\0', start)) {
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

class ActionRecorder : public ApplicationDelegate {
public:
    void applicationDidFinishLaunching() override { }
    void applicationWillTerminate() override { ++terminations; }
    void performAction(MenuAction action) override { actions.push_back(action); }
    std::vector<MenuAction> actions;
    int terminations = 0;
};

class AlertTest : public ::testing::Test {
public:
    AlertTest()
    {
        // No bus needed: the dialog is a child process.
        home.setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + home.root() + "/no-bus");
        tools = home.root() + "/tools";
        makeDirectories(tools);
        home.setenv("PATH", tools);
        application = std::make_unique<LinuxApplication>();
        application->setDelegate(delegate);
        alerts = std::make_unique<LinuxAlertPresenter>(*application);
    }

    // A stand-in dialog tool: records its arguments (NUL-separated) to <tool>.args, then
    // does what body says.
    void installTool(const std::string& tool, const std::string& body)
    {
        std::string path = tools + "/" + tool;
        writeFile(path,
            "#!/bin/sh\n"
            "PATH=/usr/bin:/bin\n"
            "printf '%s\\0' \"$@\" > \""
                + path
                + ".args.part\"\n"
                  "mv \""
                + path + ".args.part\" \"" + path + ".args\"\n" + body + "\n");
        chmod(path.c_str(), 0755);
    }
    std::vector<std::string> argumentsOf(const std::string& tool)
    {
        return splitOnNul(readFile(tools + "/" + tool + ".args"));
    }
    bool ran(const std::string& tool) { return exists(tools + "/" + tool + ".args"); }

    TempHome home;
    std::string tools;
    std::shared_ptr<ActionRecorder> delegate = std::make_shared<ActionRecorder>();
    std::unique_ptr<LinuxApplication> application;
    std::unique_ptr<LinuxAlertPresenter> alerts;
};

TEST_F(AlertTest, ZenityAsksWithTheTextsAndButtonsInOrder)
{
    installTool("zenity", "exit 0");

    EXPECT_EQ(alerts->runModal(uninstallAlert()), alertFirstButtonReturn);

    ASSERT_TRUE(ran("zenity"));
    EXPECT_EQ(argumentsOf("zenity"),
        (std::vector<std::string>{
            "--question",
            "--title=Uninstall ShadeLedger Zizadezavav?",
            "--text=Uninstall ShadeLedger Zizadezavav?\n\nThis will stop the Zizadezavav and "
            "remove it from your Mac. Your ShadeLedger account and documents are not "
            "affected.",
            "--no-markup",
            "--icon-name=dialog-warning",
            "--ok-label=Uninstall",
            "--cancel-label=Cancel",
        }));
}

TEST_F(AlertTest, CancelIsTheSecondButton)
{
    installTool("zenity", "exit 1");

    EXPECT_EQ(alerts->runModal(uninstallAlert()), alertSecondButtonReturn)
        << "Cancel uninstalled the agent";
}

TEST_F(AlertTest, DialogKilledBySignalConfirmsNothing)
{
    installTool("zenity", "kill -KILL $$");

    EXPECT_EQ(alerts->runModal(uninstallAlert()), alertSecondButtonReturn);
    EXPECT_TRUE(ran("zenity"));
}

TEST_F(AlertTest, DialogThatCannotStartConfirmsNothing)
{
    std::string path = tools + "/zenity";
    writeFile(path, "#!" + home.root() + "/missing-interpreter\n");
    chmod(path.c_str(), 0755);

    EXPECT_EQ(alerts->runModal(uninstallAlert()), alertSecondButtonReturn);
}

TEST_F(AlertTest, NoDialogToolConfirmsNothing)
{
    EXPECT_EQ(alerts->runModal(uninstallAlert()), alertSecondButtonReturn)
        << "the agent uninstalled itself without asking anyone";
}

TEST_F(AlertTest, KdialogAsksWhenZenityIsAbsent)
{
    installTool("kdialog", "exit 0");

    EXPECT_EQ(alerts->runModal(uninstallAlert()), alertFirstButtonReturn);

    EXPECT_EQ(argumentsOf("kdialog"),
        (std::vector<std::string>{
            "--title",
            "Uninstall ShadeLedger Zizadezavav?",
            "--warningcontinuecancel",
            "Uninstall ShadeLedger Zizadezavav?\n\nThis will stop the Zizadezavav and "
            "remove it from your Mac. Your ShadeLedger account and documents are not "
            "affected.",
            "--continue-label",
            "Uninstall",
            "--cancel-label",
            "Cancel",
        }));
}

TEST_F(AlertTest, KdialogCancelIsTheSecondButton)
{
    installTool("kdialog", "exit 2");

    EXPECT_EQ(alerts->runModal(uninstallAlert()), alertSecondButtonReturn);
}

TEST_F(AlertTest, ZenityIsPreferredOverKdialog)
{
    installTool("zenity", "exit 1");
    installTool("kdialog", "exit 0");

    EXPECT_EQ(alerts->runModal(uninstallAlert()), alertSecondButtonReturn);
    EXPECT_TRUE(ran("zenity"));
    EXPECT_FALSE(ran("kdialog")) << "the user was asked twice";
}

TEST_F(AlertTest, TextsAreShownAsTheyAre)
{
    installTool("zenity", "exit 1");
    Alert alert = uninstallAlert();
    alert.setMessageText("Remove <b>all</b> & everything\\n?");

    alerts->runModal(alert);

    auto arguments = argumentsOf("zenity");
    EXPECT_NE(std::find(arguments.begin(), arguments.end(), "--no-markup"), arguments.end());
    EXPECT_NE(
        std::find(arguments.begin(), arguments.end(), "--title=Remove <b>all</b> & everything\\n?"),
        arguments.end());
}

TEST_F(AlertTest, MainContextKeepsRunningButCommandsAreDroppedWhileTheDialogIsUp)
{
    std::string answer = home.root() + "/answer";
    installTool("zenity",
        "while [ ! -e \"" + answer
            + "\" ]; do sleep 0.02; done\n"
              "exit \"$(cat \""
            + answer + "\")\"");
    // The answer comes from a source dispatched while the dialog is up; meanwhile a tray
    // host's click reaches the application as a command.
    g_timeout_add(
        50,
        [](gpointer data) {
            auto* test = static_cast<AlertTest*>(data);
            test->application->deliverAction(MenuAction::confirmUninstall);
            writeFile(test->home.root() + "/answer", "0");
            return G_SOURCE_REMOVE;
        },
        this);

    EXPECT_EQ(alerts->runModal(uninstallAlert()), alertFirstButtonReturn);

    EXPECT_TRUE(delegate->actions.empty()) << "a second Uninstall… opened while the first was up";
    EXPECT_FALSE(application->isModal());
    application->deliverAction(MenuAction::viewLog);
    EXPECT_EQ(delegate->actions, std::vector<MenuAction>{MenuAction::viewLog})
        << "commands stayed blocked after the dialog closed";
}

// Dialogs that close on SIGTERM, answer "Uninstall" to it, or ignore it.
class AlertTerminationTest : public AlertTest,
                             public ::testing::WithParamInterface<const char*> { };

TEST_P(AlertTerminationTest, TerminatingClosesTheDialogWithoutConfirming)
{
    installTool("zenity", GetParam());
    g_timeout_add(
        50,
        [](gpointer data) {
            static_cast<AlertTest*>(data)->application->terminate();
            return G_SOURCE_REMOVE;
        },
        this);

    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(alerts->runModal(uninstallAlert()), alertSecondButtonReturn)
        << "a dialog closed by the agent's termination confirmed the uninstall";
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10))
        << "the dialog kept the terminating agent alive";
    EXPECT_EQ(delegate->terminations, 1);
}

const char* const dialogNames[] = {"ClosesOnRequest", "ExitsZeroOnRequest", "IgnoresTheRequest"};

INSTANTIATE_TEST_SUITE_P(Dialogs, AlertTerminationTest,
    ::testing::Values("exec sleep 20", "trap 'exit 0' TERM; while :; do sleep 0.05; done",
        "trap '' TERM; while :; do sleep 0.05; done"),
    [](const ::testing::TestParamInfo<const char*>& info) { return dialogNames[info.index]; });

TEST_F(AlertTest, TerminatingAgentAsksNothing)
{
    installTool("zenity", "exit 0");
    application->terminate();

    EXPECT_EQ(alerts->runModal(uninstallAlert()), alertSecondButtonReturn);
    EXPECT_FALSE(ran("zenity"));
}
