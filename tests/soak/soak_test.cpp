// The soak: the core on the real Linux scheduler, HTTP client and status item,
// probing a bridge that flaps between healthy, failing and hung, with the
// 3-second interval compressed so that 10,000 probes take about a minute.
// Resident memory, descriptors, threads and child processes must not grow, and
// the menu's connection line must follow the probes applied, in order.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>

#include "agent/app_delegate.h"
#include "fake/fake_platform.h"
#include "platform/linux/linux_files.h"
#include "platform/linux/linux_http.h"
#include "platform/linux/linux_scheduler.h"
#include "platform/linux/linux_status_bar.h"
#include "support/main_context.h"
#include "support/private_bus.h"
#include "support/temp_home.h"
#include "support/test_http_server.h"
#include "support/tray_host.h"

namespace ShadeLedgerZizadezavav {
namespace {

using namespace std::chrono_literals;

constexpr int compression = 600; // 3 s → 5 ms
const std::size_t probeCount = [] {
    const char* text = std::getenv("SL_SOAK_PROBES");
    return text ? std::stoul(text) : 10000UL;
}();

// Real time, compressed.
class CompressedScheduler final : public Scheduler {
public:
    void async(std::function<void()> work) override { real.async(std::move(work)); }
    void asyncAfter(Milliseconds delay, std::function<void()> work) override
    {
        real.asyncAfter(delay / compression, std::move(work));
    }
    std::shared_ptr<Timer> scheduledTimer(
        Milliseconds interval, bool repeats, std::function<void(Timer&)> action) override
    {
        return real.scheduledTimer(
            std::max(interval / compression, Milliseconds(1)), repeats, std::move(action));
    }
    void sleepFor(Milliseconds duration) override { real.sleepFor(duration / compression); }

private:
    LinuxScheduler real;
};

// The real client, with each probe result recorded in completion order, the
// order in which the core receives them.
class RecordingHTTP final : public HTTPClient {
public:
    // Room for every result up front, so the record does not show as growth.
    explicit RecordingHTTP(Milliseconds timeout)
        : real(timeout)
    {
        results.reserve(2 * probeCount + 1000);
    }
    void get(const std::string& address, HTTPCompletion completion) override
    {
        ++started;
        real.get(address, [this, completion = std::move(completion)](HTTPResult result) {
            {
                std::lock_guard lock(mutex);
                results.push_back(result.statusCode() == 200);
                completion(result);
            }
        });
    }
    std::vector<bool> completedResults()
    {
        std::lock_guard lock(mutex);
        return results;
    }
    std::atomic<std::size_t> started{0};

private:
    LinuxHTTPClient real;
    std::mutex mutex;
    std::vector<bool> results;
};

// The real status item, with the connection line of every menu handed over.
class RecordingStatusBar final : public StatusBar {
public:
    explicit RecordingStatusBar(LinuxStatusBar& real)
        : real(real)
    {
        lines.reserve(2 * probeCount + 1000);
    }
    std::shared_ptr<StatusItem> statusItemWithLength(double length) override
    {
        return std::make_shared<Item>(real.statusItemWithLength(length), lines);
    }
    std::optional<Image> imageNamed(std::string_view name) override
    {
        return real.imageNamed(name);
    }
    // Titles are short enough for the small-string buffer: no allocation each.
    std::vector<std::string> lines;

private:
    class Item final : public StatusItem {
    public:
        Item(std::shared_ptr<StatusItem> real, std::vector<std::string>& lines)
            : real(std::move(real))
            , lines(lines)
        {
        }
        StatusBarButton* button() override { return real->button(); }
        void setMenu(Menu menu) override
        {
            lines.push_back(menu.items.front().title);
            real->setMenu(std::move(menu));
        }

    private:
        std::shared_ptr<StatusItem> real;
        std::vector<std::string>& lines;
    };
    LinuxStatusBar& real;
};

// The bridge flaps by the connection: 40 healthy, 40 failing (500), 40 accepted and never
// answered, and round again.
int flappingStatus(std::size_t request)
{
    switch ((request / 40) % 3) {
    case 0:
        return 200;
    case 1:
        return 500;
    default:
        return TestHTTPServer::neverAnswer;
    }
}

struct Footprint {
    long residentKiB = 0;
    long descriptors = 0;
    long threads = 0;
    long children = 0;
};

long statusField(const std::string& name)
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(name + ":", 0) == 0) {
            return std::stol(line.substr(name.size() + 1));
        }
    }
    return -1;
}

long countEntries(const std::string& directory)
{
    long count = 0;
    if (DIR* dir = opendir(directory.c_str())) {
        while (dirent* entry = readdir(dir)) {
            count += entry->d_name[0] != '.';
        }
        closedir(dir);
    }
    return count;
}

long childCount()
{
    long count = 0;
    std::string self = std::to_string(getpid());
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (dirent* task = readdir(tasks)) {
            if (task->d_name[0] == '.') {
                continue;
            }
            std::ifstream children("/proc/self/task/" + std::string(task->d_name) + "/children");
            for (std::string pid; children >> pid;) {
                ++count;
            }
        }
        closedir(tasks);
    }
    return count;
}

Footprint measure()
{
    return {statusField("VmRSS"), countEntries("/proc/self/fd") - 1, statusField("Threads"),
        childCount()};
}

TEST(Soak, TenThousandProbesAgainstAFlappingBridge)
{
    TempHome home;
    PrivateBus bus(home.root());
    TrayHost tray(bus.address());
    GErrorPtr error;
    GError* raw = nullptr;
    auto connection = adoptGObject(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw));
    error.reset(raw);
    ASSERT_TRUE(connection) << (error ? error->message : "no bus");

    TestHTTPServer bridge;
    // Processes and the rest stay simulated (no pkill here); the settings file is real.
    FakePlatform fake;
    LinuxFileManager files;
    writeFile(home.path("Library/Application Support/ShadeLedger/zizadezavav.json"),
        "{\"port\": " + std::to_string(bridge.port()) + "}");
    CompressedScheduler scheduler;
    RecordingHTTP http(100ms);
    LinuxStatusBar linuxStatusBar(connection.get(), std::nullopt, [](MenuAction) {});
    RecordingStatusBar statusBar(linuxStatusBar);
    Platform platform{fake.application, scheduler, statusBar, fake.alerts, fake.processes,
        fake.workspace, files, fake.bundle, fake.defaults, fake.loginItems, http};

    auto delegate = std::make_shared<AppDelegate>(platform);
    fake.application.setDelegate(delegate);
    fake.application.run();
    ASSERT_TRUE(tray.waitForRegistration(10s));

    // Settle into a quiet, healthy state to measure: nothing hung in flight.
    auto quiet = [&](std::size_t untilProbe) {
        bridge.setStatus(200);
        EXPECT_TRUE(runMainContextUntil([&] { return http.started >= untilProbe; }, 600s));
        // Measured between probes: none in flight, no connection open on either side. The
        // next probe can only start when the main context runs again.
        EXPECT_TRUE(runMainContextUntil(
            [&] {
                return http.completedResults().size() == http.started && bridge.openCount() == 0;
            },
            10s));
        return measure();
    };

    bridge.setStatusPlan(flappingStatus);
    ASSERT_TRUE(runMainContextUntil([&] { return http.started >= 1000; }, 600s));
    Footprint before = quiet(1200);
    bridge.setStatusPlan(flappingStatus);
    ASSERT_TRUE(runMainContextUntil([&] { return http.started >= probeCount; }, 1200s));
    Footprint after = quiet(probeCount + 200);

    // Stop probing and let every probe end.
    delegate->applicationWillTerminate();
    ASSERT_TRUE(
        runMainContextUntil([&] { return http.completedResults().size() == http.started; }, 10s));
    runMainContextUntil([] { return false; }, 50ms);

    std::cout << "probes " << http.started << ", connections " << bridge.acceptedCount() << "\n"
              << "resident KiB " << before.residentKiB << " -> " << after.residentKiB
              << ", descriptors " << before.descriptors << " -> " << after.descriptors
              << ", threads " << before.threads << " -> " << after.threads << ", children "
              << before.children << " -> " << after.children << "\n";
    EXPECT_GE(bridge.acceptedCount(), probeCount) << "the probes did not reach the bridge";
    EXPECT_LE(after.residentKiB, before.residentKiB + 1024) << "resident memory grew";
    EXPECT_LE(after.descriptors, before.descriptors) << "descriptors leaked";
    EXPECT_LE(after.threads, before.threads) << "threads accumulated";
    EXPECT_EQ(after.children, before.children) << "child processes accumulated";

    // The menu follows the results, in the order the core received them, and
    // is rebuilt only on a change.
    std::vector<std::string> expected{"○ Not connected"};
    bool connected = false;
    for (bool result : http.completedResults()) {
        if (result != connected) {
            connected = result;
            expected.push_back(connected ? "● Connected" : "○ Not connected");
        }
    }
    EXPECT_GT(expected.size(), 100u) << "the bridge did not flap";
    EXPECT_EQ(statusBar.lines, expected);
    auto menu = tray.readMenu();
    ASSERT_TRUE(menu.has_value());
    EXPECT_EQ(menu->front().label, statusBar.lines.back())
        << "the tray shows another state than the last probe";
}

} // namespace
} // namespace ShadeLedgerZizadezavav
