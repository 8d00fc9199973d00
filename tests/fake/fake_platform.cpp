#include "fake/fake_platform.h"

#include <algorithm>
#include <thread>
#include <utility>

namespace ShadeLedgerZizadezavav {

namespace {
std::string joined(const std::vector<std::string>& words)
{
    std::string text;
    for (const auto& word : words) {
        text += " " + word;
    }
    return text;
}

std::string parentOf(const std::string& path)
{
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}
} // namespace

std::vector<std::string> CallRecord::matching(const std::string& prefix) const
{
    std::vector<std::string> found;
    for (const auto& line : lines_) {
        if (line.rfind(prefix, 0) == 0) {
            found.push_back(line);
        }
    }
    return found;
}

long CallRecord::indexOf(const std::string& prefix) const
{
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].rfind(prefix, 0) == 0) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

// Scheduling on the virtual clock.

struct FakeScheduler::Scheduled {
    Milliseconds deadline{0};
    Milliseconds interval{0};
    std::uint64_t sequence = 0;
    bool repeats = false;
    bool valid = true;
    std::function<void(Timer&)> action;
    std::shared_ptr<Timer> timer;
};

class FakeScheduler::FakeTimer final : public Timer {
public:
    FakeTimer(CallRecord& record, std::weak_ptr<Scheduled> entry)
        : record_(record)
        , entry_(std::move(entry))
    {
    }
    void invalidate() override
    {
        record_.add("timer.invalidate");
        if (auto entry = entry_.lock()) {
            entry->valid = false;
            entry->action = nullptr;
        }
    }

private:
    CallRecord& record_;
    std::weak_ptr<Scheduled> entry_;
};

void FakeScheduler::async(std::function<void()> work)
{
    std::lock_guard lock(mutex_);
    mainQueue_.push_back(std::move(work));
}

void FakeScheduler::asyncAfter(Milliseconds delay, std::function<void()> work)
{
    record_.add("scheduler.asyncAfter " + std::to_string(delay.count()));
    auto entry = std::make_shared<Scheduled>();
    entry->deadline = now_ + delay;
    entry->sequence = sequence_++;
    entry->action = [work = std::move(work)](Timer&) { work(); };
    scheduled_.push_back(entry);
}

std::shared_ptr<Timer> FakeScheduler::scheduledTimer(
    Milliseconds interval, bool repeats, std::function<void(Timer&)> action)
{
    record_.add(
        "scheduler.timer " + std::to_string(interval.count()) + (repeats ? " repeats" : ""));
    auto entry = std::make_shared<Scheduled>();
    entry->deadline = now_ + interval;
    entry->interval = interval;
    entry->sequence = sequence_++;
    entry->repeats = repeats;
    entry->action = std::move(action);
    auto timer = std::make_shared<FakeTimer>(record_, entry);
    scheduled_.push_back(entry);
    return timer;
}

void FakeScheduler::sleepFor(Milliseconds duration)
{
    record_.add("scheduler.sleep " + std::to_string(duration.count()));
    // The main thread is blocked: time passes, but nothing runs meanwhile.
    now_ += duration;
}

void FakeScheduler::drain()
{
    while (!halted_) {
        std::function<void()> work;
        {
            std::lock_guard lock(mutex_);
            if (mainQueue_.empty()) {
                return;
            }
            work = std::move(mainQueue_.front());
            mainQueue_.pop_front();
        }
        work();
    }
}

void FakeScheduler::advance(Milliseconds duration)
{
    const Milliseconds end = now_ + duration;
    drain();
    while (!halted_) {
        std::erase_if(scheduled_, [](const auto& entry) { return !entry->valid; });
        auto next = std::min_element(
            scheduled_.begin(), scheduled_.end(), [](const auto& a, const auto& b) {
                return a->deadline != b->deadline ? a->deadline < b->deadline
                                                  : a->sequence < b->sequence;
            });
        if (next == scheduled_.end() || (*next)->deadline > end) {
            break;
        }
        auto entry = *next;
        now_ = std::max(now_, entry->deadline);
        if (entry->repeats) {
            entry->deadline += entry->interval;
            entry->sequence = sequence_++;
        } else {
            entry->valid = false;
        }
        auto action = entry->action;
        FakeTimer handle(record_, entry);
        if (action) {
            action(handle);
        }
        drain();
    }
    if (!halted_) {
        now_ = std::max(now_, end);
    }
}

std::size_t FakeScheduler::activeTimers() const
{
    return static_cast<std::size_t>(std::count_if(scheduled_.begin(), scheduled_.end(),
        [](const auto& entry) { return entry->valid && entry->repeats; }));
}

// Application.

void FakeApplication::run()
{
    if (auto delegate = delegate_.lock()) {
        delegate->applicationDidFinishLaunching();
    }
    scheduler_.drain();
}

void FakeApplication::setActivationPolicy(ActivationPolicy policy)
{
    record_.add("application.setActivationPolicy " + std::to_string(static_cast<int>(policy)));
}

void FakeApplication::terminate()
{
    record_.add("application.terminate");
    terminateFromOutside();
}

void FakeApplication::terminateFromOutside()
{
    if (terminated_) {
        return;
    }
    terminated_ = true;
    if (auto delegate = delegate_.lock()) {
        delegate->applicationWillTerminate();
    }
    record_.add("application.ended");
    scheduler_.halt();
}

bool FakeApplication::deliverAction(MenuAction action)
{
    if (terminated_) {
        return false;
    }
    auto delegate = delegate_.lock();
    if (delegate) {
        delegate->performAction(action);
    }
    scheduler_.drain();
    return delegate != nullptr;
}

// Status bar.

class FakeStatusBar::Button final : public StatusBarButton {
public:
    explicit Button(FakeStatusBar& bar)
        : bar_(bar)
    {
    }
    void setImage(const Image& image) override
    {
        bar_.record_.add("button.setImage " + image.name + (image.isTemplate ? " template" : ""));
        bar_.buttonImage = image;
    }
    void setTitle(std::string_view title) override
    {
        bar_.record_.add("button.setTitle " + std::string(title));
        bar_.buttonTitle = std::string(title);
    }

private:
    FakeStatusBar& bar_;
};

class FakeStatusBar::Item final : public StatusItem {
public:
    explicit Item(FakeStatusBar& bar)
        : bar_(bar)
        , button_(bar)
    {
    }
    StatusBarButton* button() override { return bar_.itemHasButton ? &button_ : nullptr; }
    void setMenu(Menu menu) override
    {
        bar_.record_.add("statusItem.setMenu");
        bar_.menus.push_back(std::move(menu));
    }

private:
    FakeStatusBar& bar_;
    Button button_;
};

std::shared_ptr<StatusItem> FakeStatusBar::statusItemWithLength(double length)
{
    record_.add("statusBar.statusItemWithLength " + std::to_string(static_cast<int>(length)));
    if (!item_) {
        item_ = std::make_shared<Item>(*this);
    }
    return item_;
}

std::optional<Image> FakeStatusBar::imageNamed(std::string_view name)
{
    record_.add("statusBar.imageNamed " + std::string(name));
    if (!imageLoads) {
        return std::nullopt;
    }
    return Image{std::string(name),
        "/opt/ShadeLedgerZizadezavav.app/Contents/Resources/" + std::string(name) + ".png"};
}

std::string FakeStatusBar::connectionLine() const
{
    return menus.empty() ? std::string("(no menu)") : menus.back().items.front().title;
}

const MenuItem* FakeStatusBar::itemTitled(std::string_view title) const
{
    if (menus.empty()) {
        return nullptr;
    }
    const auto& items = menus.back().items;
    auto found = std::find_if(items.begin(), items.end(),
        [&](const MenuItem& item) { return !item.separator && item.title == title; });
    return found == items.end() ? nullptr : &*found;
}

long FakeAlerts::runModal(const Alert& alert)
{
    record_.add("alert.runModal " + alert.messageText);
    shown.push_back(alert);
    return response;
}

// Child processes.

bool FakeProcess::launch()
{
    record_.add("process.launch " + configuration_.executable + joined(configuration_.arguments));
    if (launched_) {
        return false;
    }
    launched_ = launchSucceeds_;
    running_ = launchSucceeds_;
    return launchSucceeds_;
}

void FakeProcess::waitUntilExit()
{
    record_.add("process.wait " + configuration_.executable);
    // Tools run to completion at once on the virtual clock.
    exit();
}

bool FakeProcess::waitUntilExit(Milliseconds timeout)
{
    record_.add(
        "process.wait " + configuration_.executable + " " + std::to_string(timeout.count()));
    if (hangs_ && running_) {
        return false;
    }
    exit();
    return true;
}

void FakeProcess::terminate()
{
    record_.add("process.terminate " + configuration_.executable + " #" + std::to_string(id_));
    ++terminateRequests_;
    if (!ignoresTerminate && !hangs_) {
        exit();
    }
}

void FakeProcess::terminate(Milliseconds grace)
{
    terminate();
    forcedAfter_ = grace;
}

void FakeProcess::forceTerminate()
{
    record_.add("process.forceTerminate " + configuration_.executable + " #" + std::to_string(id_));
    exit();
}

void FakeProcess::exit()
{
    running_ = false;
    for (auto& handler : std::exchange(exitHandlers_, {})) {
        scheduler_.async(std::move(handler));
    }
}

void FakeProcess::notifyOnExit(std::function<void()> handler)
{
    exitHandlers_.push_back(std::move(handler));
    if (!running_) {
        exit();
    }
}

std::shared_ptr<Process> FakeProcesses::makeProcess(ProcessConfiguration configuration)
{
    bool fails
        = std::find(failingExecutables.begin(), failingExecutables.end(), configuration.executable)
        != failingExecutables.end();
    bool hangs
        = std::find(hangingExecutables.begin(), hangingExecutables.end(), configuration.executable)
        != hangingExecutables.end();
    auto process = std::make_shared<FakeProcess>(record_, scheduler_, std::move(configuration),
        !fails, hangs, static_cast<int>(made.size()));
    made.push_back(process);
    return process;
}

std::vector<std::shared_ptr<FakeProcess>> FakeProcesses::of(const std::string& executable) const
{
    std::vector<std::shared_ptr<FakeProcess>> found;
    for (const auto& process : made) {
        if (process->configuration().executable == executable) {
            found.push_back(process);
        }
    }
    return found;
}

std::size_t FakeProcesses::runningCount(const std::string& executable) const
{
    auto all = of(executable);
    return static_cast<std::size_t>(
        std::count_if(all.begin(), all.end(), [](const auto& p) { return p->running(); }));
}

// Workspace.

std::vector<RunningApplication> FakeWorkspace::runningApplicationsWithBundleIdentifier(
    const std::string& bundleIdentifier)
{
    record_.add("workspace.runningApplications " + bundleIdentifier);
    return running;
}

void FakeWorkspace::terminate(const RunningApplication& application)
{
    record_.add("workspace.terminate " + std::to_string(application.processIdentifier));
}

bool FakeWorkspace::openURL(const URL& url)
{
    record_.add("workspace.openURL " + url.value);
    openedWithDefault.push_back(url);
    return true;
}

std::optional<std::string> FakeWorkspace::URLForApplicationWithBundleIdentifier(
    const std::string& bundleIdentifier)
{
    record_.add("workspace.URLForApplication " + bundleIdentifier);
    auto found = installedApplications.find(bundleIdentifier);
    if (found == installedApplications.end()) {
        return std::nullopt;
    }
    return found->second;
}

void FakeWorkspace::openURLsWithApplication(
    const std::vector<URL>& urls, const std::string& applicationLocation)
{
    record_.add("workspace.openWithApplication " + applicationLocation);
    for (const auto& url : urls) {
        openedWithApplication.emplace_back(url, applicationLocation);
    }
}

// Files.

FakeFiles::FakeFiles(CallRecord& record)
    : record_(record)
{
    addDirectory("/");
    addDirectory("/home");
    addDirectory(home);
}

void FakeFiles::addFile(const std::string& path, std::string contents)
{
    // Parents come into being as needed, as when a test lays out a tree.
    for (auto parent = parentOf(path); !nodes.contains(parent); parent = parentOf(parent)) {
        nodes[parent] = Node{Kind::directory, {}};
    }
    nodes[path] = Node{Kind::file, std::move(contents)};
}

void FakeFiles::addDirectory(const std::string& path)
{
    if (path != "/") {
        for (auto parent = parentOf(path); !nodes.contains(parent); parent = parentOf(parent)) {
            nodes[parent] = Node{Kind::directory, {}};
        }
    }
    nodes[path] = Node{Kind::directory, {}};
}

void FakeFiles::addFifo(const std::string& path)
{
    addFile(path);
    nodes[path].kind = Kind::fifo;
}

bool FakeFiles::isDirectory(const std::string& path) const
{
    auto found = nodes.find(path);
    return found != nodes.end() && found->second.kind == Kind::directory;
}

std::optional<std::string> FakeFiles::contents(const std::string& path) const
{
    auto found = nodes.find(path);
    if (found == nodes.end() || found->second.kind != Kind::file) {
        return std::nullopt;
    }
    return found->second.contents;
}

void FakeFiles::append(const std::string& path, const std::string& text)
{
    auto found = nodes.find(path);
    if (found != nodes.end()) {
        found->second.contents += text;
    }
}

bool FakeFiles::parentIsDirectory(const std::string& path) const
{
    return isDirectory(parentOf(path));
}

bool FakeFiles::fileExistsAtPath(const std::string& path)
{
    record_.add("files.exists " + path);
    return nodes.contains(path);
}

bool FakeFiles::createFileAtPath(const std::string& path)
{
    record_.add("files.createFile " + path);
    if (!parentIsDirectory(path) || isDirectory(path)) {
        return false;
    }
    nodes[path] = Node{Kind::file, {}};
    return true;
}

bool FakeFiles::createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories)
{
    record_.add("files.createDirectory " + path);
    if (nodes.contains(path)) {
        return isDirectory(path);
    }
    if (!parentIsDirectory(path)) {
        if (!withIntermediateDirectories || nodes.contains(parentOf(path))
            || !createDirectoryAtPath(parentOf(path), true)) {
            return false;
        }
    }
    nodes[path] = Node{Kind::directory, {}};
    return true;
}

bool FakeFiles::removeItemAtPath(const std::string& path)
{
    record_.add("files.remove " + path);
    if (!nodes.contains(path) || std::find(locked.begin(), locked.end(), path) != locked.end()) {
        return false;
    }
    std::erase_if(nodes, [&](const auto& node) {
        return node.first == path || node.first.rfind(path + "/", 0) == 0;
    });
    return true;
}

bool FakeFiles::trashItemAtPath(const std::string& path)
{
    record_.add("files.trash " + path);
    if (!nodes.contains(path) || std::find(locked.begin(), locked.end(), path) != locked.end()) {
        return false;
    }
    std::erase_if(nodes, [&](const auto& node) {
        return node.first == path || node.first.rfind(path + "/", 0) == 0;
    });
    trashed.push_back(path);
    return true;
}

std::shared_ptr<FileHandle> FakeFiles::fileHandleForWritingAtPath(const std::string& path)
{
    record_.add("files.openForWriting " + path);
    auto found = nodes.find(path);
    if (found == nodes.end() || found->second.kind != Kind::file) {
        return nullptr;
    }
    return std::make_shared<FakeFileHandle>(*this, path);
}

std::optional<std::uint64_t> FakeFileHandle::fileSize()
{
    auto found = files_.nodes.find(path);
    if (found == files_.nodes.end()) {
        return std::nullopt;
    }
    return found->second.contents.size();
}

bool FakeFileHandle::truncateFileAtOffset(std::uint64_t offset)
{
    files_.record().add("files.truncate " + path + " " + std::to_string(offset));
    auto found = files_.nodes.find(path);
    if (found == files_.nodes.end()) {
        return false;
    }
    found->second.contents.resize(std::min<std::size_t>(found->second.contents.size(), offset));
    return true;
}

std::optional<std::string> FakeFiles::contentsOfRegularFile(
    const std::string& path, std::size_t maxBytes)
{
    record_.add("files.read " + path);
    auto found = nodes.find(path);
    if (found == nodes.end() || found->second.kind != Kind::file
        || found->second.contents.size() > maxBytes) {
        return std::nullopt;
    }
    return found->second.contents;
}

bool FakeFiles::isSameFile(const std::string& first, const std::string& second)
{
    record_.add("files.isSameFile " + first + " " + second);
    if (!nodes.contains(first) && !nodes.contains(second)) {
        return false;
    }
    if (first == second) {
        return true;
    }
    return std::any_of(aliases.begin(), aliases.end(), [&](const auto& alias) {
        return (alias.first == first && alias.second == second)
            || (alias.first == second && alias.second == first);
    });
}

// Defaults and login item.

bool FakeDefaults::boolForKey(const std::string& key)
{
    record_.add("defaults.bool " + key);
    auto found = values.find(key);
    return found != values.end() && found->second;
}

void FakeDefaults::setBoolForKey(bool value, const std::string& key)
{
    record_.add("defaults.set " + key + (value ? " true" : " false"));
    values[key] = value;
}

void FakeDefaults::removeObjectForKey(const std::string& key)
{
    record_.add("defaults.remove " + key);
    values.erase(key);
}

LoginItemStatus FakeLoginItems::status()
{
    record_.add("login.status");
    return current;
}

bool FakeLoginItems::registerItem()
{
    record_.add("login.register");
    if (registerSucceeds) {
        current = afterRegister;
    }
    return registerSucceeds;
}

bool FakeLoginItems::unregisterItem()
{
    record_.add("login.unregister");
    if (unregisterSucceeds && current != LoginItemStatus::notFound) {
        current = LoginItemStatus::notRegistered;
    }
    return unregisterSucceeds;
}

// HTTP.

void FakeHTTP::get(const std::string& address, HTTPCompletion completion)
{
    record_.add("http.get " + address);
    requests.push_back(Request{address, std::move(completion), false});
    if (responder) {
        auto answer = responder(address);
        if (!answer.never) {
            complete(requests.size() - 1, answer);
        }
    }
}

std::vector<std::string> FakeHTTP::addresses() const
{
    std::vector<std::string> found;
    for (const auto& request : requests) {
        found.push_back(request.address);
    }
    return found;
}

std::size_t FakeHTTP::inFlight() const
{
    return static_cast<std::size_t>(std::count_if(
        requests.begin(), requests.end(), [](const auto& r) { return !r.completed; }));
}

void FakeHTTP::complete(std::size_t index, const Answer& answer)
{
    auto& request = requests.at(index);
    if (request.completed) {
        return;
    }
    request.completed = true;
    auto completion = request.completion;
    std::thread client([&] {
        // The result's text must outlive the call only: the answer does.
        completion(answer.status
                ? HTTPResult::status(*answer.status)
                : HTTPResult::failure(answer.error ? answer.error->c_str() : "timed out"));
    });
    client.join();
}

FakePlatform::FakePlatform()
{
    files.addFile(node(), "#!node");
    files.addFile(script(), "// bridge");
}

Platform FakePlatform::platform()
{
    return Platform{application, scheduler, statusBar, alerts, processes, workspace, files, bundle,
        defaults, loginItems, http};
}

} // namespace ShadeLedgerZizadezavav
