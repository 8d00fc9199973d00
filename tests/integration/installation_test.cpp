// An installed bundle, once moved to the Trash, takes its launcher and icons with it.
#include <gtest/gtest.h>

#include <string>

#include "platform/bundle.h"
#include "platform/linux/linux_bundle.h"
#include "platform/linux/linux_files.h"
#include "support/temp_home.h"

namespace ShadeLedgerZizadezavav {
namespace {

const std::string identifier = agentBundleIdentifier;

// A per-user install under a prefix: the bundle, its launcher and icons, another app's icon.
struct Install {
    explicit Install(const std::string& prefix)
        : prefix(prefix)
        , bundle(prefix + "/lib/shadeledger-zizadezavav/ShadeLedgerZizadezavav.app")
        , launcher(prefix + "/share/applications/" + identifier + ".desktop")
        , icon(prefix + "/share/icons/hicolor/16x16/apps/" + identifier + ".png")
        , scalable(prefix + "/share/icons/hicolor/scalable/apps/" + identifier + ".svg")
        , otherIcon(prefix + "/share/icons/hicolor/16x16/apps/org.example.other.png")
    {
        writeFile(bundle + "/Contents/MacOS/ShadeLedgerZizadezavav", "#!/bin/sh\n");
        for (const auto& file : {icon, scalable, otherIcon}) {
            writeFile(file, "icon");
        }
    }
    // What the uninstall does last, for the bundle of this install's executable: the bundle to
    // the Trash, then, once it is there, its launcher removed.
    bool uninstall(FileManager& files) const
    {
        LinuxBundle installed(bundle + "/Contents/MacOS/ShadeLedgerZizadezavav");
        if (!files.trashItemAtPath(installed.bundlePath())) {
            return false;
        }
        installed.removeInstalledLauncher();
        return true;
    }
    void writeLauncher(const std::string& exec) const
    {
        writeFile(launcher,
            "[Desktop Entry]\nType=Application\nName=ShadeLedger Zizadezavav\nExec=" + exec
                + "\nIcon=" + identifier + "\n");
    }
    std::string prefix, bundle, launcher, icon, scalable, otherIcon;
};

// GIO keeps the first data directory it sees for the Trash: one HOME for the whole scenario.
TEST(InstalledLauncher, GoesWithItsBundleToTheTrashAndNoOtherOne)
{
    TempHome home;
    LinuxFileManager files;
    // A space and a dollar sign in the path, quoted as a launcher quotes them.
    Install mine(home.path("my $apps/.local"));
    mine.writeLauncher("\"" + home.path("my \\\\$apps/.local")
        + "/lib/shadeledger-zizadezavav/ShadeLedgerZizadezavav.app/Contents/MacOS/"
          "ShadeLedgerZizadezavav\"");
    Install other(home.path("other"));
    other.writeLauncher("/opt/elsewhere/ShadeLedgerZizadezavav");

    ASSERT_TRUE(mine.uninstall(files));
    EXPECT_FALSE(exists(mine.bundle));
    EXPECT_TRUE(exists(home.dataHome() + "/Trash/files/ShadeLedgerZizadezavav.app"));
    EXPECT_FALSE(exists(mine.launcher)) << "the launcher starts a bundle that is in the Trash";
    EXPECT_FALSE(exists(mine.icon));
    EXPECT_FALSE(exists(mine.scalable));
    EXPECT_TRUE(exists(mine.otherIcon)) << "another application's icon went too";

    // A launcher that starts another program stays, and so do its icons.
    ASSERT_TRUE(other.uninstall(files));
    EXPECT_TRUE(exists(other.launcher)) << "a launcher of another program was removed";
    EXPECT_TRUE(exists(other.icon));
}

} // namespace
} // namespace ShadeLedgerZizadezavav
