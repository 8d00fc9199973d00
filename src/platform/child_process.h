// Child processes: configured, launched, waited for and asked to terminate.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/scheduling.h"

namespace ShadeLedgerZizadezavav {

using Environment = std::map<std::string, std::string>;

// Everything left unset is inherited from the agent: environment, working
// directory and standard streams. Standard input is always inherited.
struct ProcessConfiguration {
    std::string executable;
    std::vector<std::string> arguments; // without argv[0]
    std::optional<std::string> currentDirectory;
    std::optional<Environment> environment;
    std::shared_ptr<FileHandle> standardOutput;
    std::shared_ptr<FileHandle> standardError;
    // With a standard output: both streams go into one pipe, copied into standard output's
    // file (the process's log) by something outside the process, which empties the log
    // before it would grow past this many bytes, or leave its file system with less than a
    // small reserve free, and goes on with the newest output. Nothing else the process
    // writes is limited.
    std::optional<std::uint64_t> outputBound;
};

class Process {
public:
    virtual ~Process() = default;
    virtual const ProcessConfiguration& configuration() const = 0;
    // True when the process started. Launching twice fails. A process that cannot be
    // started with an output bound leaves one line in its log saying why.
    virtual bool launch() = 0;
    // "The process" below is the process with everything it started, however it left
    // (forked and exited, a group or session of its own; the macOS layer says what escapes
    // it there): it has exited once all of them have. When the process itself exits, what
    // it started is asked to exit and is ended as by forceTerminate 2 s later. When the
    // agent ends, however it ends, the process is asked to exit at once and ended 2 s
    // later. The process is always reaped, whether or not its handle is kept, and ends
    // even when what answers for it outside the agent is itself killed.
    //
    // Returns once the process has exited, true, or after timeout, false; at once, true,
    // when it never started.
    virtual bool waitUntilExit(Milliseconds timeout) = 0;
    // Asks a running process to exit and returns at once. Does nothing to a process that
    // never started or has exited.
    virtual void terminate() = 0;
    // As terminate; whatever still runs after grace is then ended as by forceTerminate,
    // even when the agent has ended by then. Returns at once.
    virtual void terminate(Milliseconds grace) = 0;
    // As terminate, but the request cannot be refused.
    virtual void forceTerminate() = 0;
    // True from a successful launch until the process has exited.
    virtual bool isRunning() = 0;
    // Runs handler once, on the main thread, after the process has exited (on a later
    // turn of the main loop when it has exited already or never started).
    virtual void notifyOnExit(std::function<void()> handler) = 0;
};

class ChildProcesses {
public:
    virtual ~ChildProcesses() = default;
    // A new, unlaunched process handle.
    virtual std::shared_ptr<Process> makeProcess(ProcessConfiguration configuration) = 0;
    virtual std::int32_t processIdentifier() = 0;
    virtual Environment environment() = 0;
    // The system's pkill spares itself only, or also its ancestors (the agent, and what
    // the agent starts it under), as BSD's does unasked: these options make it spare them,
    // whatever their command lines hold.
    virtual std::vector<std::string> pkillOptionsSparingAncestors() = 0;
};

} // namespace ShadeLedgerZizadezavav
