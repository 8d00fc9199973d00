// Files on macOS: NSFileManager and NSFileHandle, with POSIX calls where the contract
// needs a guarantee NSFileManager does not give.
//
// Implements:
// - homeDirectoryForCurrentUser: NSFileManager homeDirectoryForCurrentUser;
// - fileExistsAtPath: fileExistsAtPath: follows links, so a dangling link is also asked
//   for with destinationOfSymbolicLinkAtPath:error: (the contract counts it);
// - createFileAtPath: createFileAtPath:contents:attributes: with empty data, which
//   empties an existing file;
// - createDirectoryAtPath: createDirectoryAtURL:withIntermediateDirectories:attributes:error:,
//   succeeding when a directory is there already;
// - removeItemAtPath: removeItemAtURL:error: (links removed, never followed);
// - trashItemAtPath: trashItemAtURL:resultingItemURL:error:, never a deletion;
// - fileHandleForWritingAtPath: NSFileHandle fileHandleForWritingToURL:error:, at offset 0,
//   closed when the last owner releases it (MacOSFileHandle, also what child processes
//   write their output to);
// - contentsOfRegularFile and isSameFile: open(O_NONBLOCK) + fstat and stat, because a
//   read through NSData would wait on a FIFO put in the file's place.
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
