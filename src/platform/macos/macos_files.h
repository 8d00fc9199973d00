// Files on macOS: NSFileManager and NSFileHandle, with POSIX calls where the contract
// needs a guarantee NSFileManager does not give.
//
// Implements:
// - homeDirectoryForCurrentUser: HOME, read at each call, when it is an absolute path; else
//   the account's home from getpwuid_r (the root directory when there is none);
// - fileExistsAtPath: fileExistsAtPath:, which follows links (a dangling link is nothing);
// - createFileAtPath: empty NSData written with NSDataWritingAtomic, a fresh file renamed
//   over the path (a link there is replaced, never written through);
// - createDirectoryAtPath: createDirectoryAtURL:withIntermediateDirectories:attributes:error:,
//   succeeding when a directory is there already;
// - removeItemAtPath: removeItemAtURL:error: (links removed, never followed);
// - trashItemAtPath: trashItemAtURL:resultingItemURL:error:, never a deletion;
// - fileHandleForWritingAtPath: open(O_APPEND | O_NOFOLLOW) of a regular file wrapped in
//   NSFileHandle initWithFileDescriptor:closeOnDealloc:, closed when the last owner
//   releases it (MacOSFileHandle, also what child processes write their output to);
// - contentsOfRegularFile and isSameFile: the Linux layer's POSIX code
//   (platform/posix/regular_file.h), open(O_NONBLOCK) + fstat and stat, because a read
//   through NSData would wait on a FIFO put in the file's place.
#pragma once

#import <Foundation/Foundation.h>

#include <cstddef>
#include <optional>
#include <string>

#include "platform/files.h"

namespace ShadeLedgerZizadezavav {

class MacOSFileHandle : public FileHandle {
public:
    explicit MacOSFileHandle(NSFileHandle* handle)
        : handle_(handle)
    {
    }
    NSFileHandle* handle() const { return handle_; }

private:
    NSFileHandle* handle_;
};

class MacOSFileManager : public FileManager {
public:
    std::string homeDirectoryForCurrentUser() override;
    bool fileExistsAtPath(const std::string& path) override;
    bool createFileAtPath(const std::string& path) override;
    bool createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories) override;
    bool removeItemAtPath(const std::string& path) override;
    bool trashItemAtPath(const std::string& path) override;
    std::shared_ptr<FileHandle> fileHandleForWritingAtPath(const std::string& path) override;
    std::optional<std::string> contentsOfRegularFile(
        const std::string& path, std::size_t maxBytes) override;
    bool isSameFile(const std::string& first, const std::string& second) override;
};

} // namespace ShadeLedgerZizadezavav
