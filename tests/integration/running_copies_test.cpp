// Running copies of the agent: found in the queue of its bus name, asked to quit politely.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/linux_application.h"
#include "platform/linux/linux_workspace.h"
#include "support/main_context.h"
#include "support/private_bus.h"
#include "support/temp_home.h"

using namespace ShadeLedgerZizadezavav;
using namespace std::chrono_literals;

// Started with this variable set, the test program is another running copy of the agent:
// it reports its launch and its termination on standard output and exits when its loop
// ends.
static constexpr const char* copyVariable = "SL_TEST_RUN_AS_AGENT_COPY";

class ReportingDelegate : public ApplicationDelegate {
public:
    void applicationDidFinishLaunching() override { report("launched"); }
    void applicationWillTerminate() override { report("terminating"); }
    void performAction(MenuAction) override { }

private:
    static void report(const char* line)
    {
        std::printf("%s\n", line);
        std::fflush(stdout);
    }
};

static bool runAsAnotherCopyWhenAsked()
{
    if (g_strcmp0(g_getenv(copyVariable), "1") != 0) {
        return false;
    }
    auto delegate = std::make_shared<ReportingDelegate>();
    {
        LinuxApplication application;
        application.setDelegate(delegate);
        application.run();
    }
    _exit(0);
}

[[maybe_unused]] static const bool ranAsCopy = runAsAnotherCopyWhenAsked();

static std::vector<std::int32_t> processIds(const std::vector<RunningApplication>& applications)
{
    std::vector<std::int32_t> ids;
    for (const auto& application : applications) {
        ids.push_back(application.processIdentifier);
    }
    return ids;
}

static GObjectPtr<GDBusConnection> connectPrivately(const std::string& address)
{
    GError* rawError = nullptr;
    auto connection = adoptGObject(g_dbus_connection_new_for_address_sync(address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT
            | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &rawError));
    GErrorPtr error(rawError);
    EXPECT_TRUE(connection) << (error ? error->message : "");
    return connection;
}

// DBUS_REQUEST_NAME_REPLY_*: 1 primary owner, 2 in queue, 3 exists, 4 already owner.
static guint32 requestName(GDBusConnection* connection, guint32 flags)
{
    GVariantPtr reply(g_dbus_connection_call_sync(connection, "org.freedesktop.DBus",
        "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", agentBundleIdentifier, flags), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr));
    guint32 result = 0;
    if (reply) {
        g_variant_get(reply.get(), "(u)", &result);
    }
    return result;
}

static std::string nameOwner(GDBusConnection* connection)
{
    GVariantPtr reply(
        g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
            "org.freedesktop.DBus", "GetNameOwner", g_variant_new("(s)", agentBundleIdentifier),
            G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr));
    const char* owner = "";
    if (reply) {
        g_variant_get(reply.get(), "(&s)", &owner);
    }
    return owner;
}

// Another copy of the agent, in its own process.
class AnotherCopy {
public:
    AnotherCopy()
    {
        auto launcher = adoptGObject(g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_STDOUT_PIPE));
        g_subprocess_launcher_setenv(launcher.get(), copyVariable, "1", TRUE);
        GCharPtr self(g_file_read_link("/proc/self/exe", nullptr));
        const gchar* argv[] = {self.get(), nullptr};
        GError* rawError = nullptr;
        process_ = adoptGObject(g_subprocess_launcher_spawnv(launcher.get(), argv, &rawError));
        GErrorPtr error(rawError);
        if (!process_) {
            ADD_FAILURE() << "cannot start another copy: " << (error ? error->message : "");
            return;
        }
        g_subprocess_communicate_utf8_async(process_.get(), nullptr, nullptr, communicated, this);
    }
    ~AnotherCopy()
    {
        if (process_ && !finished_) {
            g_subprocess_force_exit(process_.get());
            runMainContextUntil([this] { return finished_; });
        }
    }
    AnotherCopy(const AnotherCopy&) = delete;
    AnotherCopy& operator=(const AnotherCopy&) = delete;

    std::int32_t processIdentifier() const
    {
        const char* id = process_ ? g_subprocess_get_identifier(process_.get()) : nullptr;
        return id ? std::stoi(id) : 0;
    }
    bool waitForExit()
    {
        return runMainContextUntil([this] { return finished_; });
    }
    bool exitedNormally() const
    {
        return g_subprocess_get_if_exited(process_.get())
            && g_subprocess_get_exit_status(process_.get()) == 0;
    }
    const std::string& output() const { return output_; }

private:
    static void communicated(GObject* source, GAsyncResult* result, gpointer data)
    {
        auto* self = static_cast<AnotherCopy*>(data);
        gchar* rawOutput = nullptr;
        g_subprocess_communicate_utf8_finish(
            G_SUBPROCESS(source), result, &rawOutput, nullptr, nullptr);
        GCharPtr output(rawOutput);
        self->output_ = output ? output.get() : "";
        self->finished_ = true;
    }

    GObjectPtr<GSubprocess> process_;
    std::string output_;
    bool finished_ = false;
};

class RunningCopiesTest : public ::testing::Test {
protected:
    // Polls the queue until it holds that many copies.
    std::vector<RunningApplication> waitForCopies(LinuxWorkspace& workspace, std::size_t count)
    {
        std::vector<RunningApplication> copies;
        runMainContextUntil([&] {
            copies = workspace.runningApplicationsWithBundleIdentifier(agentBundleIdentifier);
            return copies.size() == count;
        });
        return copies;
    }

    TempHome home;
    PrivateBus bus{home.root()};
};

TEST_F(RunningCopiesTest, EveryCopyIsListedInStartOrderWithItsProcessId)
{
    LinuxApplication application;
    LinuxWorkspace workspace(application.connection());
    ASSERT_EQ(processIds(waitForCopies(workspace, 1)), std::vector<std::int32_t>{getpid()});

    AnotherCopy copy;
    auto copies = waitForCopies(workspace, 2);

    EXPECT_EQ(processIds(copies), (std::vector<std::int32_t>{getpid(), copy.processIdentifier()}))
        << "the clean-up at start would not find the other copy";
    EXPECT_EQ(nameOwner(application.connection()),
        g_dbus_connection_get_unique_name(application.connection()))
        << "a later copy took the name from the first";
}

TEST_F(RunningCopiesTest, PoliteQuitRequestEndsAnotherCopyThroughItsTerminationPath)
{
    LinuxApplication application;
    LinuxWorkspace workspace(application.connection());
    AnotherCopy copy;
    auto copies = waitForCopies(workspace, 2);
    ASSERT_EQ(copies.size(), 2u);

    for (const auto& other : copies) {
        if (other.processIdentifier != getpid()) {
            workspace.terminate(other);
        }
    }

    ASSERT_TRUE(copy.waitForExit()) << "the other copy ignored the quit request";
    EXPECT_TRUE(copy.exitedNormally()) << "the other copy was killed instead of quitting";
    EXPECT_EQ(copy.output(), "launched\nterminating\n")
        << "the other copy did not stop its bridge before it quit";
    EXPECT_EQ(processIds(waitForCopies(workspace, 1)), std::vector<std::int32_t>{getpid()})
        << "a copy that quit is still listed";
}

TEST_F(RunningCopiesTest, CopiesQueueBehindTheHolderAndAreNeverReplaced)
{
    // An older holder that would even allow replacement keeps the name: copies only queue.
    auto older = connectPrivately(bus.address());
    ASSERT_TRUE(older);
    ASSERT_EQ(requestName(older.get(), G_BUS_NAME_OWNER_FLAGS_ALLOW_REPLACEMENT), 1u);

    LinuxApplication application;
    LinuxWorkspace workspace(application.connection());
    auto copies = waitForCopies(workspace, 2);
    EXPECT_EQ(processIds(copies), (std::vector<std::int32_t>{getpid(), getpid()}));
    EXPECT_EQ(nameOwner(application.connection()), g_dbus_connection_get_unique_name(older.get()))
        << "a starting copy replaced the one holding the name";

    // Once the older one leaves, this copy holds the name and cannot be pushed out.
    g_dbus_connection_close_sync(older.get(), nullptr, nullptr);
    older.reset();
    ASSERT_TRUE(runMainContextUntil([&] {
        return nameOwner(application.connection())
            == g_dbus_connection_get_unique_name(application.connection());
    })) << "the next copy in line did not get the name";
    auto newer = connectPrivately(bus.address());
    ASSERT_TRUE(newer);
    EXPECT_EQ(requestName(newer.get(), G_BUS_NAME_OWNER_FLAGS_REPLACE), 2u)
        << "a newer copy could take the name away";
    EXPECT_EQ(nameOwner(application.connection()),
        g_dbus_connection_get_unique_name(application.connection()));
}

TEST_F(RunningCopiesTest, NameNobodyQueuesForHasNoCopies)
{
    LinuxApplication application("com.vortlin.shadeledger.someoneelse");
    LinuxWorkspace workspace(application.connection());

    EXPECT_TRUE(workspace.runningApplicationsWithBundleIdentifier(agentBundleIdentifier).empty());
    EXPECT_TRUE(workspace.runningApplicationsWithBundleIdentifier("not a bus name").empty());
}

TEST(RunningCopiesWithoutBus, NoCopiesAreFound)
{
    LinuxWorkspace workspace(nullptr);
    EXPECT_TRUE(workspace.runningApplicationsWithBundleIdentifier(agentBundleIdentifier).empty());
}
