// Child processes on macOS: see macos_child_process.h for how each call maps the contract.
#include "platform/macos/macos_child_process.h"

#include "platform/macos/macos_files.h"
#include "platform/macos/macos_strings.h"

#include <chrono>
#include <csignal>
#include <thread>
#include <utility>

namespace ShadeLedgerZizadezavav {

MacOSProcess::MacOSProcess(ProcessConfiguration configuration)
    : configuration_(std::move(configuration))
{
}

// The writing handle behind a FileHandle of this layer, or nil.
static NSFileHandle* platformHandle(const std::shared_ptr<FileHandle>& handle)
{
    auto* file = dynamic_cast<MacOSFileHandle*>(handle.get());
    return file ? file->handle() : nil;
}

bool MacOSProcess::launch()
{
    if (launchAttempted_ || configuration_.executable.empty()) {
        return false;
    }
    launchAttempted_ = true;

    NSTask* task = [[NSTask alloc] init];
    task.executableURL = [NSURL fileURLWithPath:nsString(configuration_.executable)];

    NSMutableArray<NSString*>* arguments =
        [NSMutableArray arrayWithCapacity:configuration_.arguments.size()];
    for (const auto& argument : configuration_.arguments) {
        [arguments addObject:nsString(argument)];
    }
    task.arguments = arguments;

    if (configuration_.currentDirectory) {
        task.currentDirectoryURL = [NSURL fileURLWithPath:nsString(*configuration_.currentDirectory)
                                              isDirectory:YES];
    }

    if (configuration_.environment) {
        NSMutableDictionary<NSString*, NSString*>* environment =
            [NSMutableDictionary dictionaryWithCapacity:configuration_.environment->size()];
        for (const auto& [name, value] : *configuration_.environment) {
            // A name with '=' cannot be expressed in an environment block.
            if (name.empty() || name.find('=') != std::string::npos) {
                continue;
            }
            environment[nsString(name)] = nsString(value);
        }
        task.environment = environment;
    }

    // A handle that is not this layer's cannot be given to the child: no launch rather
    // than output sent somewhere else.
    if (configuration_.standardOutput) {
        NSFileHandle* output = platformHandle(configuration_.standardOutput);
        if (!output) {
            return false;
        }
        task.standardOutput = output;
    }
    if (configuration_.standardError) {
        NSFileHandle* error = platformHandle(configuration_.standardError);
        if (!error) {
            return false;
        }
        task.standardError = error;
    }

    // Runs on a background thread; the handlers run on the main queue, where they were
    // added, so the list is only touched there.
    auto handlers = exitHandlers_;
    task.terminationHandler = ^(NSTask*) {
        dispatch_async(dispatch_get_main_queue(), ^{
            auto pending = std::exchange(*handlers, {});
            for (auto& handler : pending) {
                handler();
            }
        });
    };

    if (![task launchAndReturnError:nil]) {
        task.terminationHandler = nil;
        return false;
    }
    task_ = task;
    return true;
}

bool MacOSProcess::waitUntilExit(Milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (isRunning()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void MacOSProcess::forceTerminate()
{
    if (isRunning()) {
        kill(task_.processIdentifier, SIGKILL);
    }
}

bool MacOSProcess::isRunning()
{
    return task_ && task_.running;
}

void MacOSProcess::notifyOnExit(std::function<void()> handler)
{
    if (isRunning()) {
        exitHandlers_->push_back(std::move(handler));
        return;
    }
    // Never started or gone already: still on a later turn, as the contract says.
    auto later = std::make_shared<std::function<void()>>(std::move(handler));
    dispatch_async(dispatch_get_main_queue(), ^{ (*later)(); });
}

void MacOSProcess::waitUntilExit()
{
    if (task_) {
        [task_ waitUntilExit];
    }
}

void MacOSProcess::terminate()
{
    // Never for a task that was not launched: NSTask raises there.
    if (task_) {
        [task_ terminate];
    }
}

void MacOSProcess::terminate(Milliseconds grace)
{
    terminate();
    if (!isRunning()) {
        return;
    }
    NSTask* task = task_;
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, std::chrono::nanoseconds(grace).count()),
        dispatch_get_main_queue(), ^{
            if (task.running) {
                kill(task.processIdentifier, SIGKILL);
            }
        });
}

std::shared_ptr<Process> MacOSChildProcesses::makeProcess(ProcessConfiguration configuration)
{
    return std::make_shared<MacOSProcess>(std::move(configuration));
}

std::int32_t MacOSChildProcesses::processIdentifier()
{
    return NSProcessInfo.processInfo.processIdentifier;
}

Environment MacOSChildProcesses::environment()
{
    Environment result;
    NSDictionary<NSString*, NSString*>* environment = NSProcessInfo.processInfo.environment;
    for (NSString* name in environment) {
        result[stdString(name)] = stdString(environment[name]);
    }
    return result;
}

} // namespace ShadeLedgerZizadezavav
