// The application's lifecycle, termination paths and action delivery on the GLib loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/linux_application.h"
#include "platform/linux/linux_scheduler.h"
#include "support/main_context.h"
#include "support/private_bus.h"
#include "support/temp_home.h"

using namespace ShadeLedgerZizadezavav;
using namespace std::chrono_literals;

// Records every callback in order; hooks let a test act from inside them.
class RecordingDelegate : public ApplicationDelegate {
public:
    void applicationDidFinishLaunching() override
    {
        events.push_back("launched");
        if (onLaunch) {
            onLaunch();
        }
    }
    void applicationWillTerminate() override { events.push_back("willTerminate"); }
    void performAction(MenuAction action) override
    {
        events.push_back("action:" + std::string(actionName(action)));
        if (onAction) {
            onAction();
        }
    }

    int count(const std::string& event) const
    {
        return static_cast<int>(std::count(events.begin(), events.end(), event));
    }
    std::string history() const
    {
        std::string text;
        for (const auto& event : events) {
            text += (text.empty() ? "" : ", ") + event;
        }
        return "[" + text + "]";
    }

    std::vector<std::string> events;
    std::function<void()> onLaunch;
    std::function<void()> onAction;
};

class ApplicationTest : public ::testing::Test {
protected:
    // For runs that end on an outside event: should it never come, the run still ends,
    // with "gaveUp" in the history.
    void giveUpAfter(LinuxApplication& application, Milliseconds delay = 10s)
    {
        scheduler.asyncAfter(delay, [this, &application] {
            delegate->events.push_back("gaveUp");
            application.terminate();
        });
    }

    TempHome home;
    PrivateBus bus{home.root()};
    LinuxScheduler scheduler;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

TEST_F(ApplicationTest, LaunchFinishesOnceBeforeAnyOtherWork)
{
    LinuxApplication application;
    application.setDelegate(delegate);
    // Work queued before the loop runs, and a timer due at once, still come after launch.
    scheduler.async([&] { delegate->events.push_back("mainQueueWork"); });
    auto timer = scheduler.scheduledTimer(
        0ms, false, [&](Timer&) { delegate->events.push_back("timer"); });
    scheduler.asyncAfter(50ms, [&] { application.terminate(); });

    application.run();

    ASSERT_FALSE(delegate->events.empty());
    EXPECT_EQ(delegate->events.front(), "launched")
        << "the agent did work before it had finished launching: " << delegate->history();
    EXPECT_EQ(delegate->count("launched"), 1) << delegate->history();
    EXPECT_EQ(delegate->count("mainQueueWork"), 1) << delegate->history();
    EXPECT_EQ(delegate->count("timer"), 1) << delegate->history();
}

TEST_F(ApplicationTest, TerminateRunsWillTerminateOnceThenRunReturns)
{
    LinuxApplication application;
    application.setDelegate(delegate);
    delegate->onLaunch = [&] {
        application.terminate();
        application.terminate();
    };

    application.run();

    EXPECT_EQ(delegate->events, (std::vector<std::string>{"launched", "willTerminate"}))
        << "Quit did not stop the agent exactly once: " << delegate->history();
}

TEST_F(ApplicationTest, TerminateFromMainQueueWorkEndsTheLoop)
{
    LinuxApplication application;
    application.setDelegate(delegate);
    delegate->onLaunch = [&] { scheduler.async([&] { application.terminate(); }); };

    application.run();

    EXPECT_EQ(delegate->count("willTerminate"), 1) << delegate->history();
}

TEST_F(ApplicationTest, SecondTerminateAfterTheLoopEndedDoesNothing)
{
    LinuxApplication application;
    application.setDelegate(delegate);
    delegate->onLaunch = [&] { application.terminate(); };
    application.run();

    application.terminate();

    EXPECT_EQ(delegate->count("willTerminate"), 1)
        << "the bridge would get a stop request per terminate: " << delegate->history();
}

class TerminationSignalTest : public ApplicationTest, public ::testing::WithParamInterface<int> { };

TEST_P(TerminationSignalTest, SignalTakesTheTerminationPath)
{
    const int signal = GetParam();
    LinuxApplication application;
    application.setDelegate(delegate);
    delegate->onLaunch = [&] { scheduler.async([signal] { raise(signal); }); };
    giveUpAfter(application);

    application.run();

    EXPECT_EQ(delegate->events, (std::vector<std::string>{"launched", "willTerminate"}))
        << strsignal(signal) << " did not stop the agent cleanly: " << delegate->history();
    // Once the loop has ended, a further signal is no longer absorbed.
    struct sigaction current { };
    sigaction(signal, nullptr, &current);
    EXPECT_EQ(current.sa_handler, SIG_DFL)
        << strsignal(signal) << " stays caught after the agent stopped";
}

TEST_P(TerminationSignalTest, SignalBeforeTheLoopRunsIsHandledAfterLaunch)
{
    const int signal = GetParam();
    LinuxApplication application;
    application.setDelegate(delegate);
    raise(signal);
    giveUpAfter(application);

    application.run();

    EXPECT_EQ(delegate->events, (std::vector<std::string>{"launched", "willTerminate"}))
        << delegate->history();
}

INSTANTIATE_TEST_SUITE_P(LogoutShutdownAndPoliteKill, TerminationSignalTest,
    ::testing::Values(SIGTERM, SIGINT, SIGHUP), [](const ::testing::TestParamInfo<int>& info) {
        switch (info.param) {
        case SIGTERM:
            return std::string("SIGTERM");
        case SIGINT:
            return std::string("SIGINT");
        default:
            return std::string("SIGHUP");
        }
    });

TEST_F(ApplicationTest, ActionsReachTheDelegate)
{
    LinuxApplication application;
    application.setDelegate(delegate);
    delegate->onLaunch = [&] {
        application.deliverAction(MenuAction::restartBridge);
        application.deliverAction(MenuAction::viewLog);
        application.terminate();
    };

    application.run();

    EXPECT_EQ(delegate->events,
        (std::vector<std::string>{
            "launched", "action:restartBridge", "action:viewLog", "willTerminate"}))
        << delegate->history();
}

TEST_F(ApplicationTest, NoCommandIsDeliveredWhileModal)
{
    LinuxApplication application;
    application.setDelegate(delegate);
    int cancelled = 0;
    delegate->onLaunch = [&] {
        application.beginModal([&] { ++cancelled; });
        EXPECT_TRUE(application.isModal());
        application.deliverAction(MenuAction::confirmUninstall);
        application.endModal();
        EXPECT_FALSE(application.isModal());
        application.deliverAction(MenuAction::viewLog);
        application.terminate();
    };

    application.run();

    EXPECT_EQ(delegate->count("action:confirmUninstall"), 0)
        << "a second Uninstall… reached the agent while its dialog was open: "
        << delegate->history();
    EXPECT_EQ(delegate->count("action:viewLog"), 1) << delegate->history();
    EXPECT_EQ(cancelled, 0) << "a dialog that had ended was cancelled";
}

TEST_F(ApplicationTest, TerminatingClosesAnOpenDialogAndDropsFurtherCommands)
{
    LinuxApplication application;
    application.setDelegate(delegate);
    int cancelled = 0;
    delegate->onLaunch = [&] {
        application.beginModal([&] { ++cancelled; });
        application.terminate();
        application.endModal();
        application.deliverAction(MenuAction::restartBridge);
    };

    application.run();

    EXPECT_EQ(cancelled, 1) << "the uninstall dialog stayed open while the agent quit";
    EXPECT_EQ(delegate->count("action:restartBridge"), 0)
        << "a command ran after termination began: " << delegate->history();
    EXPECT_EQ(delegate->count("willTerminate"), 1);
}

TEST_F(ApplicationTest, ReleasedDelegateIsNeverCalled)
{
    LinuxApplication application;
    application.setDelegate(delegate);
    std::weak_ptr<RecordingDelegate> watcher = delegate;
    delegate.reset();
    scheduler.async([&] {
        application.deliverAction(MenuAction::quit);
        application.terminate();
    });

    application.run();

    EXPECT_TRUE(watcher.expired());
}

TEST_F(ApplicationTest, ConnectsToTheSessionBusAndQueuesForItsName)
{
    LinuxApplication application;
    ASSERT_NE(application.connection(), nullptr) << "no status item without a bus connection";

    const char* uniqueName = g_dbus_connection_get_unique_name(application.connection());
    bool listed = false;
    ASSERT_TRUE(runMainContextUntil([&] {
        GVariantPtr reply(g_dbus_connection_call_sync(application.connection(),
            "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "ListQueuedOwners", g_variant_new("(s)", agentBundleIdentifier), G_VARIANT_TYPE("(as)"),
            G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr));
        if (reply) {
            GVariantPtr names(g_variant_get_child_value(reply.get(), 0));
            GStrvPtr owners(g_variant_dup_strv(names.get(), nullptr));
            listed = g_strv_contains(owners.get(), uniqueName);
        }
        return listed;
    })) << "other copies could never find this one: it is not queued for "
        << agentBundleIdentifier;
}

TEST_F(ApplicationTest, EndOfTheSessionBusTerminates)
{
    LinuxApplication application;
    application.setDelegate(delegate);
    ASSERT_NE(application.connection(), nullptr);
    delegate->onLaunch = [&] { kill(bus.daemonPid(), SIGKILL); };
    giveUpAfter(application);

    application.run();

    EXPECT_EQ(delegate->events, (std::vector<std::string>{"launched", "willTerminate"}))
        << "the agent outlived its session without stopping the bridge: " << delegate->history();
}

TEST(ApplicationWithoutBus, RunsAndTerminatesWithNoSessionBus)
{
    TempHome home;
    home.setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + home.root() + "/no-bus-here");
    auto delegate = std::make_shared<RecordingDelegate>();
    LinuxApplication application;
    application.setDelegate(delegate);
    EXPECT_EQ(application.connection(), nullptr);
    delegate->onLaunch = [&] {
        application.deliverAction(MenuAction::toggleLogin);
        application.terminate();
    };

    application.run();

    EXPECT_EQ(delegate->events,
        (std::vector<std::string>{"launched", "action:toggleLogin", "willTerminate"}))
        << "without a session bus the agent did not run normally: " << delegate->history();
}
