// One open file descriptor, closed when its owner goes: the one owner every layer and the
// keeper use. Move-only.
#pragma once

#include <unistd.h>

#include <utility>

namespace ShadeLedgerZizadezavav {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int descriptor)
        : descriptor_(descriptor)
    {
    }
    FileDescriptor(FileDescriptor&& other) noexcept
        : descriptor_(std::exchange(other.descriptor_, -1))
    {
    }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        if (this != &other) {
            reset(std::exchange(other.descriptor_, -1));
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    // Closes the descriptor held, if any, and holds descriptor instead.
    void reset(int descriptor = -1)
    {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
        descriptor_ = descriptor;
    }
    // Gives the descriptor up without closing it.
    int release() { return std::exchange(descriptor_, -1); }
    int get() const { return descriptor_; }
    explicit operator bool() const { return descriptor_ >= 0; }

private:
    int descriptor_ = -1;
};

} // namespace ShadeLedgerZizadezavav
