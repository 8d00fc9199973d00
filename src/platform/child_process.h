// Child processes: configured, launched, waited for and asked to terminate.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"

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
};

class Process {
public:
    virtual ~Process() = default;
    virtual const ProcessConfiguration& configuration() const = 0;
    // True when the process started. Launching twice fails.
    virtual bool launch() = 0;
    // Returns once the process has exited; at once when it never started.
    virtual void waitUntilExit() = 0;
    // Asks a running process to exit and returns at once. Does nothing to a
    // process that never started or has exited. Releasing the handle neither
    // stops nor orphans the child: it is still reaped.
    virtual void terminate() = 0;
};

class ChildProcesses {
public:
    virtual ~ChildProcesses() = default;
    // A new, unlaunched process handle.
    virtual std::shared_ptr<Process> makeProcess(ProcessConfiguration configuration) = 0;
    virtual std::int32_t processIdentifier() = 0;
    virtual Environment environment() = 0;
};

} // namespace ShadeLedgerZizadezavav
