// How the agent and a child's keeper talk: the keeper's command line, the one socket
// between them and the one message format both ways. The agent's end is KeeperLink; the
// keeper's is keeper.cpp.
//
// The agent starts the keeper as
//     bridge-keeper [--output-bound=BYTES] -- EXECUTABLE [ARGUMENT...]
// with the child's working directory and environment, standard input, output and error as
// the child is to have them, and its end of a stream socket at descriptor 3. The keeper
// starts the child and says once whether that worked (started or failed); then it takes
// requests until the child and everything it started have gone, and exits. The agent
// never signals a process itself. With --output-bound, standard output is the child's
// log: the child's output and error go into one pipe the keeper copies into it.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/file_descriptor.h"

namespace ShadeLedgerZizadezavav {

// The keeper's executable, beside the agent's in the bundle's Contents/MacOS.
inline constexpr const char* keeperExecutableName = "bridge-keeper";
// Where the keeper finds its end of the agent's socket.
inline constexpr int keeperSocketDescriptor = 3;
inline constexpr const char* keeperOutputBoundOption = "--output-bound=";

// One message, either way, always whole: 8 bytes.
struct KeeperMessage {
    enum Kind : std::int32_t {
        // From the agent.
        askToExit = 1, // SIGTERM to the whole tree
        askToExitThenKill, // value: the grace in milliseconds, after which it is killed
        killNow,
        // From the keeper, once, right after the child's start.
        started = 101, // value: the child's process id
        failed, // value: the errno of the failed start
    };
    std::int32_t kind = 0;
    std::int32_t value = 0;
};

// The keeper's arguments, its own path first.
std::vector<std::string> keeperCommandLine(const std::string& keeper,
    std::optional<std::uint64_t> outputBound, const std::string& executable,
    const std::vector<std::string>& arguments);

// Why a child could not be started, in a line a person can act on.
std::string startFailureText(const std::string& executable, int error);
// True when the executable is built for a processor this machine cannot run (macOS:
// EBADARCH, which Rosetta 2 mends for an Intel-only program on Apple silicon).
bool isForeignArchitecture(int error);

// Sends one message whole, never raising SIGPIPE; false when it could not go.
bool sendKeeperMessage(int socket, KeeperMessage message);

// Collects messages from a stream socket, whose reads may each bring part of one.
class KeeperMessageReader {
public:
    enum class Result { message, partial, closed };
    // One read: a whole message, more to come (or nothing there yet), or the other end
    // gone (or broken).
    Result read(int socket, KeeperMessage& message);

private:
    std::array<unsigned char, sizeof(KeeperMessage)> bytes_{};
    std::size_t filled_ = 0;
};

// The agent's end of one keeper's socket.
class KeeperLink {
public:
    KeeperLink() = default;
    explicit KeeperLink(FileDescriptor socket);

    struct Start {
        // The child's process id once it runs; 0 when it did not start.
        pid_t child = 0;
        // Why not: the errno, ECHILD when the keeper went without a word.
        int error = 0;
    };
    // The keeper's word on the child's start, waited for at most timeout. None when it has
    // not come by then (the keeper is slow, not gone: it goes on being asked).
    std::optional<Start> awaitStart(std::chrono::milliseconds timeout);
    // Requests; nothing happens once the keeper has gone.
    void askToExit();
    void askToExitThenKill(std::chrono::milliseconds grace);
    void killNow();
    // True once the keeper has ended (its end is closed); never blocks.
    bool closed();
    // Waits until then, or for at most timeout; true once it has ended.
    bool awaitClosed(std::optional<std::chrono::milliseconds> timeout);
    int descriptor() const { return socket_.get(); }

private:
    // Reads what the keeper sent, without blocking: true once its end is closed.
    bool readToEnd();

    FileDescriptor socket_;
    KeeperMessageReader reader_;
    bool closed_ = false;
};

} // namespace ShadeLedgerZizadezavav
