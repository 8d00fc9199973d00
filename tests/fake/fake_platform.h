// A simulated desktop platform for the core: a virtual clock whose timers and
// delayed tasks fire only when a test advances time, a main queue the test
// drains, an in-memory file system, processes that can exit, HTTP answers the
// test scripts per request, and a record, in order, of every platform call.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace ShadeLedgerZizadezavav {

// Every platform call the core makes, as readable lines, in order.
class CallRecord {
public:
    void add(std::string line) { lines_.push_back(std::move(line)); }
    const std::vector<std::string>& lines() const { return lines_; }
    // Lines that start with prefix.
    std::vector<std::string> matching(const std::string& prefix) const;
    std::size_t count(const std::string& prefix) const { return matching(prefix).size(); }
    // Index of the first line starting with prefix, or -1.
    long indexOf(const std::string& prefix) const;
    void clear() { lines_.clear(); }

private:
    std::vector<std::string> lines_;
};

class FakeApplication;

class FakeScheduler final : public Scheduler {
public:
    explicit FakeScheduler(CallRecord& record)
        : record_(record)
    {
    }

    void async(std::function<void()> work) override;
    void asyncAfter(Milliseconds delay, std::function<void()> work) override;
    std::shared_ptr<Timer> scheduledTimer(
        Milliseconds interval, bool repeats, std::function<void(Timer&)> action) override;
    void sleepFor(Milliseconds duration) override;

    // Runs main-queue work until none is left.
    void drain();
    // Moves the virtual clock forward, firing due timers and tasks in order and
    // draining the main queue after each.
    void advance(Milliseconds duration);
    // The process has ended: nothing runs any more.
    void halt() { halted_ = true; }
    std::size_t activeTimers() const;

private:
    struct Scheduled;
    class FakeTimer;

    CallRecord& record_;
    std::mutex mutex_;
    std::deque<std::function<void()>> mainQueue_;
    std::vector<std::shared_ptr<Scheduled>> scheduled_;
    Milliseconds now_{0};
    std::uint64_t sequence_ = 0;
    bool halted_ = false;
};

class FakeApplication final : public Application {
public:
    FakeApplication(CallRecord& record, FakeScheduler& scheduler)
        : record_(record)
        , scheduler_(scheduler)
    {
    }
    void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) override { delegate_ = delegate; }
    // Finishes launching and drains the main queue; time moves only by advance().
    void run() override;
    void setActivationPolicy(ActivationPolicy policy) override;
    void terminate() override;

    // The delivery of an action, as a menu click makes it; false when no delegate ran it.
    bool deliverAction(MenuAction action);
    // Termination for another reason (logout, a signal).
    void terminateFromOutside();
    bool terminated() const { return terminated_; }

private:
    CallRecord& record_;
    FakeScheduler& scheduler_;
    std::weak_ptr<ApplicationDelegate> delegate_;
    bool terminated_ = false;
};

class FakeStatusBar final : public StatusBar {
public:
    explicit FakeStatusBar(CallRecord& record)
        : record_(record)
    {
    }
    std::shared_ptr<StatusItem> statusItemWithLength(double length) override;
    std::optional<Image> imageNamed(std::string_view name) override;

    bool itemHasButton = true;
    bool imageLoads = true;
    // Every menu handed over, in order.
    std::vector<Menu> menus;
    std::optional<Image> buttonImage;
    std::optional<std::string> buttonTitle;

    const Menu& lastMenu() const { return menus.back(); }
    // The first line of the last menu, as the user reads it.
    std::string connectionLine() const;
    // The item of that title in the last menu, as a tray host finds it; nullptr when none.
    const MenuItem* itemTitled(std::string_view title) const;

private:
    class Item;
    class Button;
    CallRecord& record_;
    // One status item, handed out again for the same request.
    std::shared_ptr<Item> item_;
};

class FakeAlerts final : public AlertPresenter {
public:
    explicit FakeAlerts(CallRecord& record)
        : record_(record)
    {
    }
    long runModal(const Alert& alert) override;
    long response = alertSecondButtonReturn;
    std::vector<Alert> shown;

private:
    CallRecord& record_;
};

class FakeFiles;

class FakeFileHandle final : public FileHandle {
public:
    FakeFileHandle(FakeFiles& files, std::string path)
        : path(std::move(path))
        , files_(files)
    {
    }
    std::optional<std::uint64_t> fileSize() override;
    bool truncateFileAtOffset(std::uint64_t offset) override;
    std::string path;

private:
    FakeFiles& files_;
};

class FakeProcess final : public Process {
public:
    FakeProcess(CallRecord& record, FakeScheduler& scheduler, ProcessConfiguration configuration,
        bool launchSucceeds, bool hangs, int id)
        : record_(record)
        , scheduler_(scheduler)
        , configuration_(std::move(configuration))
        , launchSucceeds_(launchSucceeds)
        , hangs_(hangs)
        , id_(id)
    {
    }
    const ProcessConfiguration& configuration() const override { return configuration_; }
    bool launch() override;
    void waitUntilExit() override;
    bool waitUntilExit(Milliseconds timeout) override;
    void terminate() override;
    void terminate(Milliseconds grace) override;
    void forceTerminate() override;
    bool isRunning() override { return running_; }
    void notifyOnExit(std::function<void()> handler) override;

    bool running() const { return running_; }
    bool launched() const { return launched_; }
    int terminateRequests() const { return terminateRequests_; }
    // The grace after which the last terminate request forces the end, from outside the
    // agent, which may have ended by then.
    std::optional<Milliseconds> forcedAfter() const { return forcedAfter_; }
    // The process exits by itself (a crash, the end of a tool).
    void exit();
    // From now on a terminate request is ignored; only forceTerminate ends it.
    bool ignoresTerminate = false;

private:
    CallRecord& record_;
    FakeScheduler& scheduler_;
    ProcessConfiguration configuration_;
    bool launchSucceeds_;
    bool hangs_;
    int id_;
    bool launched_ = false;
    bool running_ = false;
    int terminateRequests_ = 0;
    std::optional<Milliseconds> forcedAfter_;
    std::vector<std::function<void()>> exitHandlers_;
};

class FakeProcesses final : public ChildProcesses {
public:
    FakeProcesses(CallRecord& record, FakeScheduler& scheduler)
        : record_(record)
        , scheduler_(scheduler)
    {
    }
    std::shared_ptr<Process> makeProcess(ProcessConfiguration configuration) override;
    std::int32_t processIdentifier() override { return pid; }
    Environment environment() override { return agentEnvironment; }

    std::int32_t pid = 4242;
    Environment agentEnvironment{{"HOME", "/home/user"}, {"PATH", "/usr/bin:/bin"}};
    // Executables whose launch fails (not executable, missing).
    std::vector<std::string> failingExecutables;
    // Executables that never end by themselves (a tool that hangs).
    std::vector<std::string> hangingExecutables;
    // Every process made, in order.
    std::vector<std::shared_ptr<FakeProcess>> made;
    // Processes of an executable, in order.
    std::vector<std::shared_ptr<FakeProcess>> of(const std::string& executable) const;
    // Running processes of an executable.
    std::size_t runningCount(const std::string& executable) const;

private:
    CallRecord& record_;
    FakeScheduler& scheduler_;
};

class FakeWorkspace final : public Workspace {
public:
    explicit FakeWorkspace(CallRecord& record)
        : record_(record)
    {
    }
    std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(
        const std::string& bundleIdentifier) override;
    void terminate(const RunningApplication& application) override;
    bool openURL(const URL& url) override;
    std::optional<std::string> URLForApplicationWithBundleIdentifier(
        const std::string& bundleIdentifier) override;
    void openURLsWithApplication(
        const std::vector<URL>& urls, const std::string& applicationLocation) override;

    std::vector<RunningApplication> running;
    std::map<std::string, std::string> installedApplications;
    std::vector<URL> openedWithDefault;
    std::vector<std::pair<URL, std::string>> openedWithApplication;

private:
    CallRecord& record_;
};

// An in-memory file system rooted at "/".
class FakeFiles final : public FileManager {
public:
    explicit FakeFiles(CallRecord& record);
    std::string homeDirectoryForCurrentUser() override { return home; }
    bool fileExistsAtPath(const std::string& path) override;
    bool createFileAtPath(const std::string& path) override;
    bool createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories) override;
    bool removeItemAtPath(const std::string& path) override;
    bool trashItemAtPath(const std::string& path) override;
    std::shared_ptr<FileHandle> fileHandleForWritingAtPath(const std::string& path) override;
    std::optional<std::string> contentsOfRegularFile(
        const std::string& path, std::size_t maxBytes) override;
    bool isSameFile(const std::string& first, const std::string& second) override;

    enum class Kind { file, directory, fifo };
    struct Node {
        Kind kind = Kind::file;
        std::string contents;
    };
    std::string home = "/home/user";
    std::map<std::string, Node> nodes;
    // Paths that cannot be removed or moved (no permission).
    std::vector<std::string> locked;
    // Two paths that name one file (a symbolic link and its target).
    std::vector<std::pair<std::string, std::string>> aliases;
    std::vector<std::string> trashed;

    void addFile(const std::string& path, std::string contents = "");
    void addDirectory(const std::string& path);
    void addFifo(const std::string& path);
    bool isDirectory(const std::string& path) const;
    std::optional<std::string> contents(const std::string& path) const;
    // Bridge output: what a running process writes to its handle.
    void append(const std::string& path, const std::string& text);
    CallRecord& record() { return record_; }

private:
    bool parentIsDirectory(const std::string& path) const;
    CallRecord& record_;
};

class FakeBundle final : public Bundle {
public:
    std::string bundlePath() override { return path; }
    std::optional<std::string> resourcePath() override { return resources; }
    std::optional<InfoDictionary> infoDictionary() override { return info; }

    std::string path = "/opt/ShadeLedgerZizadezavav.app";
    std::optional<std::string> resources = "/opt/ShadeLedgerZizadezavav.app/Contents/Resources";
    std::optional<InfoDictionary> info = InfoDictionary{{"CFBundleShortVersionString", "2.0.1"}};
};

class FakeDefaults final : public UserDefaults {
public:
    explicit FakeDefaults(CallRecord& record)
        : record_(record)
    {
    }
    bool boolForKey(const std::string& key) override;
    void setBoolForKey(bool value, const std::string& key) override;
    void removeObjectForKey(const std::string& key) override;
    std::map<std::string, bool> values;

private:
    CallRecord& record_;
};

class FakeLoginItems final : public LoginItemService {
public:
    explicit FakeLoginItems(CallRecord& record)
        : record_(record)
    {
    }
    LoginItemStatus status() override;
    bool registerItem() override;
    bool unregisterItem() override;

    LoginItemStatus current = LoginItemStatus::notRegistered;
    // What registering leads to; a refused registration leaves the status alone.
    LoginItemStatus afterRegister = LoginItemStatus::enabled;
    bool registerSucceeds = true;
    bool unregisterSucceeds = true;

private:
    CallRecord& record_;
};

class FakeHTTP final : public HTTPClient {
public:
    explicit FakeHTTP(CallRecord& record)
        : record_(record)
    {
    }
    void get(const std::string& address, HTTPCompletion completion) override;

    struct Answer {
        std::optional<int> status; // an HTTP status
        std::optional<std::string> error; // or a client error
        bool never = false; // or no answer at all (stays in flight)
        static Answer withStatus(int code) { return {code, std::nullopt, false}; }
        static Answer failure(std::string text) { return {std::nullopt, std::move(text), false}; }
        static Answer hang() { return {std::nullopt, std::nullopt, true}; }
    };
    // Answers new requests at once; unset, requests stay in flight.
    std::function<Answer(const std::string& address)> responder;

    struct Request {
        std::string address;
        HTTPCompletion completion;
        bool completed = false;
    };
    std::vector<Request> requests;
    std::vector<std::string> addresses() const;
    std::size_t inFlight() const;
    // Completes request i with the answer, from another thread, as a real client does.
    void complete(std::size_t index, const Answer& answer);

private:
    CallRecord& record_;
};

// Everything together, with the Platform value the core is built with.
class FakePlatform {
public:
    FakePlatform();
    Platform platform();

    CallRecord record;
    FakeScheduler scheduler{record};
    FakeApplication application{record, scheduler};
    FakeStatusBar statusBar{record};
    FakeAlerts alerts{record};
    FakeProcesses processes{record, scheduler};
    FakeWorkspace workspace{record};
    FakeFiles files{record};
    FakeBundle bundle;
    FakeDefaults defaults{record};
    FakeLoginItems loginItems{record};
    FakeHTTP http{record};

    // Paths of a bundle whose resources hold the bridge.
    std::string resources() const { return *bundle.resources; }
    std::string node() const { return *bundle.resources + "/node"; }
    std::string script() const { return *bundle.resources + "/server.mjs"; }
    std::string logPath() const { return files.home + "/.shadeledger/bridge.log"; }
    std::string settingsPath() const
    {
        return files.home + "/Library/Application Support/ShadeLedger/zizadezavav.json";
    }
    // Bridges launched from the bundle, in order.
    std::vector<std::shared_ptr<FakeProcess>> bridges() const { return processes.of(node()); }
};

} // namespace ShadeLedgerZizadezavav
