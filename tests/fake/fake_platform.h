// A simulated desktop platform for the core: a virtual clock whose timers and
// delayed tasks fire only when a test advances time, a main queue the test
// drains, an in-memory file system, processes that can exit, HTTP answers the
// test scripts per request, and a record, in order, of every platform call.
// One file per platform group, named as the backends' files are.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fake/fake_alert.h"
#include "fake/fake_application.h"
#include "fake/fake_bundle.h"
#include "fake/fake_child_process.h"
#include "fake/fake_files.h"
#include "fake/fake_http.h"
#include "fake/fake_login_item.h"
#include "fake/fake_scheduler.h"
#include "fake/fake_status_bar.h"
#include "fake/fake_workspace.h"
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
    FakeBundle bundle{record};
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
