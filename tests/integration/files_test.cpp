// The file manager against real files in a temporary HOME.
#include "platform/linux/linux_files.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

using namespace ShadeLedgerZizadezavav;
namespace fs = std::filesystem;

namespace {

class FilesTest : public ::testing::Test {
protected:
    TempHome home;
    LinuxFileManager files;
};

void writeThrough(const std::shared_ptr<FileHandle>& handle, const std::string& text)
{
    auto* file = dynamic_cast<LinuxFileHandle*>(handle.get());
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(
        write(file->fileDescriptor(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

} // namespace

TEST_F(FilesTest, HomeIsReadFromHOMEAtEachCall)
{
    EXPECT_EQ(files.homeDirectoryForCurrentUser(), home.home());
    home.setenv("HOME", home.root() + "/elsewhere");
    EXPECT_EQ(files.homeDirectoryForCurrentUser(), home.root() + "/elsewhere")
        << "a changed HOME was not seen: the log would land in the old home";
}

TEST_F(FilesTest, ExistenceFollowsLinksSoADanglingOneIsNothing)
{
    std::string link = home.path("dangling");
    ASSERT_EQ(symlink("/nonexistent/target", link.c_str()), 0);
    EXPECT_FALSE(files.fileExistsAtPath(link)) << "a link to nothing counted as a file";
    EXPECT_FALSE(files.fileExistsAtPath(home.path("nothing-here")));
    std::string target = home.path("target");
    writeFile(target, "x");
    std::string live = home.path("live");
    ASSERT_EQ(symlink(target.c_str(), live.c_str()), 0);
    EXPECT_TRUE(files.fileExistsAtPath(live));
}

TEST_F(FilesTest, CreatingAFileEmptiesAnExistingOne)
{
    std::string log = home.path("bridge.log");
    writeFile(log, "output of the previous run\n");
    ASSERT_TRUE(files.createFileAtPath(log));
    EXPECT_EQ(readFile(log), "") << "the old run's output survived a relaunch";

    std::string fresh = home.path("fresh.log");
    ASSERT_TRUE(files.createFileAtPath(fresh));
    EXPECT_TRUE(exists(fresh));
    EXPECT_EQ(readFile(fresh), "");
    for (const auto& entry : fs::directory_iterator(fs::path(log).parent_path())) {
        EXPECT_EQ(entry.path().filename().string().rfind(".bridge.log.", 0), std::string::npos)
            << "a temporary file was left behind: " << entry.path();
    }
}

TEST_F(FilesTest, CreatingAFileReplacesALinkAndLeavesItsTargetAlone)
{
    std::string document = home.path("document.txt");
    writeFile(document, "the user's own document\n");
    std::string log = home.path("bridge.log");
    ASSERT_EQ(symlink(document.c_str(), log.c_str()), 0);

    ASSERT_TRUE(files.createFileAtPath(log));
    EXPECT_EQ(readFile(document), "the user's own document\n") << "the link's target was emptied";
    struct stat status { };
    ASSERT_EQ(lstat(log.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode)) << "the link is still at the path";
    EXPECT_EQ(readFile(log), "");
}

TEST_F(FilesTest, CreatingAFileInAMissingDirectoryFails)
{
    EXPECT_FALSE(files.createFileAtPath(home.path("missing/bridge.log")));
}

TEST_F(FilesTest, WritingHandleAppendsAndGoesOnAtTheStartOnceTruncated)
{
    std::string log = home.path("bridge.log");
    writeFile(log, "0123456789");
    auto handle = files.fileHandleForWritingAtPath(log);
    ASSERT_NE(handle, nullptr);
    writeThrough(handle, "abc");
    EXPECT_EQ(fs::file_size(log), 13u);
    // As the keeper empties a log it writes through a copy of the handle.
    ASSERT_EQ(truncate(log.c_str(), 0), 0);
    writeThrough(handle, "def");
    handle.reset();
    EXPECT_EQ(readFile(log), "def") << "a write after the truncation left a hole or old bytes";
}

TEST_F(FilesTest, WritingHandleForAMissingFileOrALinkIsNone)
{
    EXPECT_EQ(files.fileHandleForWritingAtPath(home.path("missing.log")), nullptr);
    std::string document = home.path("document.txt");
    writeFile(document, "kept");
    std::string link = home.path("bridge.log");
    ASSERT_EQ(symlink(document.c_str(), link.c_str()), 0);
    EXPECT_EQ(files.fileHandleForWritingAtPath(link), nullptr) << "a handle wrote through a link";
}

TEST_F(FilesTest, WritingHandleOnAFIFOWithoutReaderDoesNotBlock)
{
    std::string fifo = home.path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto opened
        = std::async(std::launch::async, [&] { return files.fileHandleForWritingAtPath(fifo); });
    ASSERT_EQ(opened.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "opening a FIFO with no reader froze the caller";
    EXPECT_EQ(opened.get(), nullptr);
}

TEST_F(FilesTest, DirectoriesAreCreatedWithParentsAndExistingOnesSucceed)
{
    std::string nested = home.path("a/b/c");
    EXPECT_TRUE(files.createDirectoryAtPath(nested, true));
    EXPECT_TRUE(fs::is_directory(nested));
    EXPECT_TRUE(files.createDirectoryAtPath(nested, true))
        << "an existing directory counted as failure";
    EXPECT_TRUE(files.createDirectoryAtPath(nested, false));
    EXPECT_FALSE(files.createDirectoryAtPath(home.path("x/y"), false))
        << "a missing parent was created without being asked to";
}

TEST_F(FilesTest, APlainFileInTheWayMakesDirectoryCreationFail)
{
    writeFile(home.path(".shadeledger"), "not a directory");
    EXPECT_FALSE(files.createDirectoryAtPath(home.path(".shadeledger"), true));
    EXPECT_FALSE(files.createDirectoryAtPath(home.path(".shadeledger/sub"), true));
    EXPECT_TRUE(fs::is_regular_file(home.path(".shadeledger")));
}

TEST_F(FilesTest, RemovingTakesFilesAndWholeTreesButNotLinkTargets)
{
    std::string tree = home.path("tree");
    writeFile(tree + "/inner/file", "x");
    std::string outside = home.path("outside");
    writeFile(outside + "/keep", "kept");
    fs::create_directory_symlink(outside, tree + "/link");

    EXPECT_TRUE(files.removeItemAtPath(tree));
    EXPECT_FALSE(exists(tree));
    EXPECT_EQ(readFile(outside + "/keep"), "kept") << "removal followed a link out of the tree";

    writeFile(home.path("single"), "x");
    EXPECT_TRUE(files.removeItemAtPath(home.path("single")));
    EXPECT_FALSE(files.removeItemAtPath(home.path("single")))
        << "removing nothing reported success";
}

TEST_F(FilesTest, TrashMovesTheItemIntoTheUsersTrashWithAnInfoFile)
{
    std::string legacy = home.path("Applications/Old.app");
    writeFile(legacy + "/Contents/Info.plist", "<plist/>");
    ASSERT_TRUE(files.trashItemAtPath(legacy));
    EXPECT_FALSE(exists(legacy));
    std::string trash = home.dataHome() + "/Trash";
    EXPECT_EQ(readFile(trash + "/files/Old.app/Contents/Info.plist"), "<plist/>")
        << "the item was not moved into the Trash whole";
    std::string info = readFile(trash + "/info/Old.app.trashinfo");
    EXPECT_NE(info.find("[Trash Info]"), std::string::npos);
    EXPECT_NE(info.find("Path="), std::string::npos);
}

TEST_F(FilesTest, TrashingNothingFailsAndDeletesNothing)
{
    EXPECT_FALSE(files.trashItemAtPath(home.path("no-such-item")));
}

TEST_F(FilesTest, ContentsOfASmallRegularFile)
{
    writeFile(home.path("settings.json"), R"({"port": 8080})");
    EXPECT_EQ(files.contentsOfRegularFile(home.path("settings.json"), 1024), R"({"port": 8080})");
    writeFile(home.path("empty.json"), "");
    EXPECT_EQ(files.contentsOfRegularFile(home.path("empty.json"), 1024), "");
}

TEST_F(FilesTest, ContentsThroughASymlinkToARegularFile)
{
    writeFile(home.path("real.json"), "{}");
    fs::create_symlink(home.path("real.json"), home.path("link.json"));
    EXPECT_EQ(files.contentsOfRegularFile(home.path("link.json"), 1024), "{}");
}

TEST_F(FilesTest, ContentsOfAFIFOAreNoneAndReturnAtOnce)
{
    std::string fifo = home.path("settings.json");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto read
        = std::async(std::launch::async, [&] { return files.contentsOfRegularFile(fifo, 1024); });
    ASSERT_EQ(read.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "reading a FIFO blocked: the agent's main thread would freeze";
    EXPECT_EQ(read.get(), std::nullopt);
}

TEST_F(FilesTest, ContentsOfADirectoryOrAMissingFileAreNone)
{
    makeDirectories(home.path("dir.json"));
    EXPECT_EQ(files.contentsOfRegularFile(home.path("dir.json"), 1024), std::nullopt);
    EXPECT_EQ(files.contentsOfRegularFile(home.path("missing.json"), 1024), std::nullopt);
}

TEST_F(FilesTest, ContentsOfATooBigFileAreNone)
{
    writeFile(home.path("big.json"), std::string(1025, ' '));
    EXPECT_EQ(files.contentsOfRegularFile(home.path("big.json"), 1024), std::nullopt);
    writeFile(home.path("exact.json"), std::string(1024, ' '));
    EXPECT_EQ(files.contentsOfRegularFile(home.path("exact.json"), 1024), std::string(1024, ' '));
}

TEST_F(FilesTest, ContentsOfADeviceAreNone)
{
    EXPECT_EQ(files.contentsOfRegularFile("/dev/zero", 1024), std::nullopt);
}

TEST_F(FilesTest, SameFileThroughASymlink)
{
    std::string bundle = home.path("Apps/Agent.app");
    makeDirectories(bundle);
    std::string alias = home.path("Agent-link.app");
    fs::create_directory_symlink(bundle, alias);
    EXPECT_TRUE(files.isSameFile(alias, bundle));
    EXPECT_TRUE(files.isSameFile(home.path("Apps/../Apps/Agent.app"), bundle));
    makeDirectories(home.path("Other.app"));
    EXPECT_FALSE(files.isSameFile(home.path("Other.app"), bundle));
    EXPECT_FALSE(files.isSameFile(home.path("missing.app"), home.path("missing.app")))
        << "two missing paths counted as the same file";
}
