#include "support/private_mounts.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace ShadeLedgerZizadezavav {

namespace {

std::string describeErrno(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

// Bind mounts are recursive: below the host's root, mounts a user namespace did not make
// are locked to what they cover and cannot be left out.
bool bindAll(const std::string& source, const std::string& target)
{
    return mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
}

} // namespace

PrivateRoot::PrivateRoot()
{
    auto parent = fs::path(SL_TEST_BINARY_DIR) / "tmp";
    std::error_code error;
    fs::create_directories(parent, error);
    std::string pattern = (parent / "root-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) {
        fail(describeErrno("mkdtemp " + pattern));
        return;
    }
    base_ = buffer.data();
    workingDirectory_ = fs::current_path(error).string();
    hostRoot_ = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (hostRoot_ < 0) {
        fail(describeErrno("open /"));
        return;
    }

    if (mount("sl-root", base_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
        refused_ = errno == EPERM;
        fail(describeErrno("mounting a tmpfs (needs CAP_SYS_ADMIN in the test's mount "
                           "namespace: root, or a user namespace)"));
        return;
    }
    mounted_ = true;

    for (const auto& entry : fs::directory_iterator("/", error)) {
        std::string source = entry.path().string();
        std::string target = base_ + source;
        std::error_code entryError;
        if (entry.is_symlink(entryError)) {
            fs::create_symlink(fs::read_symlink(entry.path(), entryError), target, entryError);
            if (entryError) {
                fail("symbolic link " + target + ": " + entryError.message());
                return;
            }
            continue;
        }
        bool made = entry.is_directory(entryError)
            ? mkdir(target.c_str(), 0755) == 0
            : close(open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644)) == 0;
        if (!made || !bindAll(source, target)) {
            fail(describeErrno("bind mount of " + source));
            return;
        }
    }
    if (error) {
        fail("listing /: " + error.message());
        return;
    }

    if (chroot(base_.c_str()) != 0) {
        refused_ = errno == EPERM;
        fail(describeErrno("chroot (needs CAP_SYS_CHROOT)"));
        return;
    }
    entered_ = true;
    if (chdir(workingDirectory_.c_str()) != 0 && chdir("/") != 0) {
        fail(describeErrno("chdir in the new root"));
    }
}

PrivateRoot::~PrivateRoot()
{
    if (entered_) {
        // The host's root is reachable through the descriptor kept from before.
        if (fchdir(hostRoot_) == 0 && chroot(".") == 0) {
            [[maybe_unused]] int ignored = chdir(workingDirectory_.c_str());
        }
    }
    if (hostRoot_ >= 0) {
        close(hostRoot_);
    }
    if (mounted_) {
        umount2(base_.c_str(), MNT_DETACH);
    }
    if (!base_.empty()) {
        rmdir(base_.c_str());
    }
}

bool PrivateRoot::addDirectory(const std::string& path, const std::string& source)
{
    if (!entered_) {
        return false;
    }
    if (mkdir(path.c_str(), 0755) != 0 || !bindAll(source, path)) {
        return fail(describeErrno("bind mount of " + source + " on " + path));
    }
    return true;
}

bool PrivateRoot::fail(const std::string& what)
{
    failure_ = "private root " + base_ + ": " + what;
    return false;
}

std::string bindReadOnly(const std::string& path)
{
    struct statvfs where { };
    if (statvfs(path.c_str(), &where) != 0) {
        return describeErrno("statvfs " + path);
    }
    unsigned long kept = 0;
    const std::pair<unsigned long, unsigned long> flags[]
        = {{ST_NOSUID, MS_NOSUID}, {ST_NODEV, MS_NODEV}, {ST_NOEXEC, MS_NOEXEC},
            {ST_NOATIME, MS_NOATIME}, {ST_NODIRATIME, MS_NODIRATIME}, {ST_RELATIME, MS_RELATIME}};
    for (auto [statFlag, mountFlag] : flags) {
        if (where.f_flag & statFlag) {
            kept |= mountFlag;
        }
    }
    if (mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        return describeErrno("bind mount of " + path);
    }
    if (mount(nullptr, path.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY | kept, nullptr)
        != 0) {
        std::string failure = describeErrno("read-only remount of " + path);
        umount2(path.c_str(), MNT_DETACH);
        return failure;
    }
    return {};
}

} // namespace ShadeLedgerZizadezavav
