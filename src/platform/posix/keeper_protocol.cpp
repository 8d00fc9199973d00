#include "platform/posix/keeper_protocol.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>

namespace ShadeLedgerZizadezavav {

namespace {

#ifdef MSG_NOSIGNAL
constexpr int sendFlags = MSG_NOSIGNAL;
#else
// macOS: the socket carries SO_NOSIGPIPE instead.
constexpr int sendFlags = 0;
#endif

using Clock = std::chrono::steady_clock;

// What is left of timeout since start, for poll: -1 for none (wait for ever).
int remainingMilliseconds(std::optional<std::chrono::milliseconds> timeout, Clock::time_point start)
{
    if (!timeout) {
        return -1;
    }
    auto left
        = *timeout - std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    return left.count() > 0 ? static_cast<int>(std::min<long long>(left.count(), 1 << 30)) : 0;
}

// Waits until the socket has something to read (or its other end has gone), at most the
// time left; false when the time is up.
bool awaitReadable(
    int socket, std::optional<std::chrono::milliseconds> timeout, Clock::time_point start)
{
    while (true) {
        pollfd watch{socket, POLLIN, 0};
        int ready = poll(&watch, 1, remainingMilliseconds(timeout, start));
        if (ready > 0) {
            return true;
        }
        if (ready == 0) {
            return false;
        }
        if (errno != EINTR) {
            // Nothing to wait on: let the read say what is wrong.
            return true;
        }
    }
}

} // namespace

std::vector<std::string> keeperCommandLine(const std::string& keeper,
    std::optional<std::uint64_t> outputBound, const std::string& executable,
    const std::vector<std::string>& arguments)
{
    std::vector<std::string> line{keeper};
    if (outputBound) {
        line.push_back(keeperOutputBoundOption + std::to_string(*outputBound));
    }
    line.emplace_back("--");
    line.push_back(executable);
    line.insert(line.end(), arguments.begin(), arguments.end());
    return line;
}

bool isForeignArchitecture([[maybe_unused]] int error)
{
#ifdef EBADARCH
    return error == EBADARCH;
#else
    return false;
#endif
}

std::string startFailureText(const std::string& executable, int error)
{
    std::string text
        = "Could not start " + executable + ": " + std::generic_category().message(error);
    if (isForeignArchitecture(error)) {
        text += ". This Mac needs Rosetta 2 to run it; install it with: "
                "softwareupdate --install-rosetta";
    }
    return text;
}

bool sendKeeperMessage(int socket, KeeperMessage message)
{
    while (true) {
        // Smaller than any socket buffer: sent whole or not at all.
        if (send(socket, &message, sizeof message, sendFlags) == sizeof message) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

KeeperMessageReader::Result KeeperMessageReader::read(int socket, KeeperMessage& message)
{
    ssize_t count = recv(socket, bytes_.data() + filled_, bytes_.size() - filled_, 0);
    if (count < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
        return Result::partial;
    }
    if (count <= 0) {
        return Result::closed;
    }
    filled_ += static_cast<std::size_t>(count);
    if (filled_ < bytes_.size()) {
        return Result::partial;
    }
    filled_ = 0;
    std::memcpy(&message, bytes_.data(), sizeof message);
    return Result::message;
}

KeeperLink::KeeperLink(FileDescriptor socket)
    : socket_(std::move(socket))
{
    // Every wait is a poll: a read never blocks.
    int flags = fcntl(socket_.get(), F_GETFL);
    if (flags >= 0) {
        fcntl(socket_.get(), F_SETFL, flags | O_NONBLOCK);
    }
}

std::optional<KeeperLink::Start> KeeperLink::awaitStart(std::chrono::milliseconds timeout)
{
    auto start = Clock::now();
    while (socket_) {
        if (!awaitReadable(socket_.get(), timeout, start)) {
            return std::nullopt;
        }
        KeeperMessage message;
        switch (reader_.read(socket_.get(), message)) {
        case KeeperMessageReader::Result::partial:
            break;
        case KeeperMessageReader::Result::closed:
            closed_ = true;
            socket_.reset();
            return Start{0, ECHILD};
        case KeeperMessageReader::Result::message:
            if (message.kind == KeeperMessage::started && message.value > 0) {
                return Start{static_cast<pid_t>(message.value), 0};
            }
            if (message.kind == KeeperMessage::failed) {
                return Start{0, message.value > 0 ? message.value : ECHILD};
            }
            break;
        }
    }
    return Start{0, ECHILD};
}

void KeeperLink::askToExit()
{
    if (socket_) {
        sendKeeperMessage(socket_.get(), {KeeperMessage::askToExit, 0});
    }
}

void KeeperLink::askToExitThenKill(std::chrono::milliseconds grace)
{
    if (socket_) {
        auto milliseconds = std::clamp<long long>(grace.count(), 0, INT32_MAX);
        sendKeeperMessage(socket_.get(),
            {KeeperMessage::askToExitThenKill, static_cast<std::int32_t>(milliseconds)});
    }
}

void KeeperLink::killNow()
{
    if (socket_) {
        sendKeeperMessage(socket_.get(), {KeeperMessage::killNow, 0});
    }
}

bool KeeperLink::readToEnd()
{
    while (socket_) {
        KeeperMessage ignored;
        switch (reader_.read(socket_.get(), ignored)) {
        case KeeperMessageReader::Result::message:
            // A word on the start that came after the wait for it.
            break;
        case KeeperMessageReader::Result::partial:
            return false;
        case KeeperMessageReader::Result::closed:
            closed_ = true;
            socket_.reset();
            return true;
        }
    }
    return true;
}

bool KeeperLink::closed()
{
    return closed_ || readToEnd();
}

bool KeeperLink::awaitClosed(std::optional<std::chrono::milliseconds> timeout)
{
    auto start = Clock::now();
    while (!closed()) {
        if (!awaitReadable(socket_.get(), timeout, start)) {
            return false;
        }
    }
    return true;
}

} // namespace ShadeLedgerZizadezavav
