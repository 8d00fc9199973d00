// Files on macOS: see macos_files.h for how each call maps the contract.
#include "platform/macos/macos_files.h"

#include "platform/macos/macos_strings.h"
#include "platform/posix/file_descriptor.h"
#include "platform/posix/regular_file.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ShadeLedgerZizadezavav {

static NSURL* fileURL(const std::string& path)
{
    return [NSURL fileURLWithPath:nsString(path)];
}

std::string MacOSFileManager::homeDirectoryForCurrentUser()
{
    // HOME as it is now, when it is a path of its own: an empty or relative one would put the
    // log and the settings relative to wherever the agent was started. The bridge reads HOME
    // by the same rule.
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return home;
    }
    // The account's home, from the directory service.
    NSString* account = NSHomeDirectoryForUser(NSUserName());
    if ([account hasPrefix:@"/"]) {
        return stdString(account);
    }
    // Nowhere to write, rather than wherever the agent was started.
    return "/";
}

bool MacOSFileManager::fileExistsAtPath(const std::string& path)
{
    if (path.empty()) {
        return false;
    }
    // Follows links: a dangling link is nothing.
    return [NSFileManager.defaultManager fileExistsAtPath:nsString(path)];
}

bool MacOSFileManager::createFileAtPath(const std::string& path)
{
    // An atomic write renames a fresh file into place: a link there is replaced, never
    // written through.
    return !path.empty() &&
        [[NSData data] writeToURL:fileURL(path) options:NSDataWritingAtomic error:nil];
}

bool MacOSFileManager::createDirectoryAtPath(
    const std::string& path, bool withIntermediateDirectories)
{
    if (path.empty()) {
        return false;
    }
    NSFileManager* manager = NSFileManager.defaultManager;
    if ([manager createDirectoryAtURL:fileURL(path)
            withIntermediateDirectories:withIntermediateDirectories
                             attributes:nil
                                  error:nil]) {
        return true;
    }
    BOOL isDirectory = NO;
    return [manager fileExistsAtPath:nsString(path) isDirectory:&isDirectory] && isDirectory;
}

bool MacOSFileManager::removeItemAtPath(const std::string& path)
{
    return !path.empty() && [NSFileManager.defaultManager removeItemAtURL:fileURL(path) error:nil];
}

bool MacOSFileManager::trashItemAtPath(const std::string& path)
{
    return !path.empty() &&
        [NSFileManager.defaultManager trashItemAtURL:fileURL(path) resultingItemURL:nil error:nil];
}

std::shared_ptr<FileHandle> MacOSFileManager::fileHandleForWritingAtPath(const std::string& path)
{
    if (path.empty()) {
        return nullptr;
    }
    // Appends, and never through a link: only a regular file at the path itself.
    FileDescriptor descriptor(open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
    struct stat status { };
    if (!descriptor || fstat(descriptor.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return nullptr;
    }
    // From here the NSFileHandle closes it.
    return std::make_shared<MacOSFileHandle>(
        [[NSFileHandle alloc] initWithFileDescriptor:descriptor.release() closeOnDealloc:YES]);
}

std::optional<std::string> MacOSFileManager::contentsOfRegularFile(
    const std::string& path, std::size_t maxBytes)
{
    return readRegularFile(path, maxBytes);
}

bool MacOSFileManager::isSameFile(const std::string& first, const std::string& second)
{
    return ShadeLedgerZizadezavav::isSameFile(first, second);
}

} // namespace ShadeLedgerZizadezavav
