// Mounts of the test's own, in the mount namespace the end-to-end runner gives each test
// binary (tests/e2e/in_pid_namespace.sh). They work for root and, in a user namespace, for
// a normal user alike: nothing is mounted onto a path of the host's that may not exist.
#pragma once

#include <string>

namespace ShadeLedgerZizadezavav {

// A root directory of the test's own: a tmpfs holding the host's top-level entries (bind
// mounts, symbolic links as they are) and what the test adds, entered with chroot. The
// host's root cannot take a new top-level directory from a user namespace; this one can.
class PrivateRoot {
public:
    // Builds the new root and enters it; the working directory stays the same path.
    PrivateRoot();
    // Back to the host's root; the new root and its mounts go away.
    ~PrivateRoot();
    PrivateRoot(const PrivateRoot&) = delete;
    PrivateRoot& operator=(const PrivateRoot&) = delete;

    bool entered() const { return entered_; }
    // Not entered because the process lacks a privilege (CAP_SYS_ADMIN or CAP_SYS_CHROOT
    // in its namespace), rather than because something went wrong.
    bool refused() const { return refused_; }
    const std::string& failure() const { return failure_; }

    // Adds the top-level directory path to the new root, a bind mount of source.
    bool addDirectory(const std::string& path, const std::string& source);

private:
    bool fail(const std::string& what);

    std::string base_;
    std::string workingDirectory_;
    int hostRoot_ = -1;
    bool mounted_ = false;
    bool entered_ = false;
    bool refused_ = false;
    std::string failure_;
};

// Makes the directory path read-only, for root too, with a bind mount onto itself. The
// flags of the mount it lives on (nosuid, nodev, …) stay: a user namespace may not drop them.
// Empty when done, otherwise what failed.
std::string bindReadOnly(const std::string& path);

} // namespace ShadeLedgerZizadezavav
