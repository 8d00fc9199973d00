// Opening web pages and files through GIO, and finding browsers by bundle identifier, with
// recorder desktop entries standing in for real applications.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/linux_workspace.h"
#include "support/main_context.h"
#include "support/temp_home.h"

using namespace ShadeLedgerZizadezavav;
using namespace std::chrono_literals;

// Whether that process is (still) a child of ours, zombies included: one that has
// exited and was never reaped stays so forever.
static bool isOurChild(pid_t pid)
{
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    // pid (command) state ppid ...; the command may itself contain parentheses.
    auto end = stat.rfind(')');
    if (end == std::string::npos || end + 4 > stat.size()) {
        return false;
    }
    return std::atoi(stat.c_str() + end + 4) == getpid();
}

class WorkspaceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        records = home.root() + "/records";
        makeDirectories(records);
        recorder = home.root() + "/bin/recorder";
        // Writes its process id to records/<name>.pid and its arguments, one a line, to
        // records/<name>; renamed into place so a record is never read half-written.
        writeFile(recorder,
            "#!/bin/sh\n"
            "name=\"$1\"\n"
            "shift\n"
            "dir=\""
                + records
                + "\"\n"
                  "echo $$ > \"$dir/$name.pid\"\n"
                  "printf '%s\\n' \"$@\" > \"$dir/$name.part\"\n"
                  "mv \"$dir/$name.part\" \"$dir/$name\"\n");
        chmod(recorder.c_str(), 0755);

        writeFile(home.configHome() + "/mimeapps.list",
            "[Default Applications]\n"
            "x-scheme-handler/https=default-browser.desktop\n"
            "text/plain=text-viewer.desktop\n"
            "text/x-log=text-viewer.desktop\n");
        installEntry(
            "default-browser.desktop", "default-browser", "MimeType=x-scheme-handler/https;\n");
        installEntry("text-viewer.desktop", "text-viewer", "MimeType=text/plain;text/x-log;\n");
    }

    // A desktop entry whose program records how it was started under recordName.
    std::string installEntry(const std::string& desktopId, const std::string& recordName,
        const std::string& extraLines = "")
    {
        std::string path = home.dataHome() + "/applications/" + desktopId;
        writeFile(path,
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name="
                + recordName
                + "\n"
                  "Exec=\""
                + recorder + "\" " + recordName + " %u\n" + extraLines);
        return path;
    }

    // The arguments the entry recorded under that name, once it has run.
    std::optional<std::string> waitForRecord(const std::string& recordName)
    {
        std::string path = records + "/" + recordName;
        if (!runMainContextUntil([&] { return exists(path); })) {
            return std::nullopt;
        }
        return readFile(path);
    }

    TempHome home;
    std::string records;
    std::string recorder;
    LinuxWorkspace workspace{nullptr};
};

TEST_F(WorkspaceTest, WebAddressOpensWithTheDefaultHandler)
{
    installEntry("brave-browser.desktop", "brave", "MimeType=x-scheme-handler/https;\n");

    EXPECT_TRUE(workspace.openURL(URL::web("https://releases.example.com/zizadezavav")));

    EXPECT_EQ(waitForRecord("default-browser"), "https://releases.example.com/zizadezavav\n")
        << "Check for Updates did not reach the user's default browser";
}

TEST_F(WorkspaceTest, FileOpensWithTheHandlerOfItsTypeWhichGetsItsPath)
{
    std::string log = home.path(".shadeledger/bridge.log");
    writeFile(log, "bridge listening on 127.0.0.1:47821\n");

    EXPECT_TRUE(workspace.openURL(URL::fileURLWithPath(log)));

    EXPECT_EQ(waitForRecord("text-viewer"), log + "\n")
        << "View Log did not open the bridge log in the text viewer";
}

TEST_F(WorkspaceTest, AddressWithoutAnyHandlerReportsFailure)
{
    EXPECT_FALSE(workspace.openURL(URL::web("x-shadeledger-nohandler:anything")));
}

TEST_F(WorkspaceTest, ApplicationIsFoundUnderItsOwnIdentifier)
{
    std::string entry = installEntry("com.brave.Browser.desktop", "brave");

    EXPECT_EQ(workspace.URLForApplicationWithBundleIdentifier("com.brave.Browser"), entry);
}

struct LinuxName {
    std::string bundleIdentifier;
    std::string desktopId;
};

static void PrintTo(const LinuxName& name, std::ostream* stream)
{
    *stream << name.bundleIdentifier << " as " << name.desktopId;
}

class LinuxDesktopNameTest : public WorkspaceTest,
                             public ::testing::WithParamInterface<LinuxName> { };

TEST_P(LinuxDesktopNameTest, BrowserIsFoundUnderTheNameLinuxGivesIt)
{
    std::string entry = installEntry(GetParam().desktopId, "browser");

    EXPECT_EQ(workspace.URLForApplicationWithBundleIdentifier(GetParam().bundleIdentifier), entry)
        << "Open ShadeLedger would not find " << GetParam().desktopId;
}

INSTANTIATE_TEST_SUITE_P(PreferredBrowsers, LinuxDesktopNameTest,
    ::testing::Values(LinuxName{"com.google.Chrome", "google-chrome.desktop"},
        LinuxName{"com.microsoft.edgemac", "microsoft-edge.desktop"},
        LinuxName{"org.chromium.Chromium", "chromium.desktop"},
        LinuxName{"org.chromium.Chromium", "chromium-browser.desktop"},
        LinuxName{"com.brave.Browser", "brave-browser.desktop"}),
    [](const ::testing::TestParamInfo<LinuxName>& info) {
        std::string name;
        for (char c : info.param.desktopId.substr(0, info.param.desktopId.find('.'))) {
            name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        return name;
    });

TEST_F(WorkspaceTest, OwnIdentifierComesBeforeTheLinuxName)
{
    installEntry("google-chrome.desktop", "chrome-linux-name");
    std::string own = installEntry("com.google.Chrome.desktop", "chrome-own-name");

    EXPECT_EQ(workspace.URLForApplicationWithBundleIdentifier("com.google.Chrome"), own);
}

TEST_F(WorkspaceTest, NoBrowserInstalledFindsNone)
{
    for (const char* identifier : {"com.google.Chrome", "com.microsoft.edgemac",
             "org.chromium.Chromium", "com.brave.Browser", "company.thebrowser.Browser"}) {
        EXPECT_EQ(workspace.URLForApplicationWithBundleIdentifier(identifier), std::nullopt)
            << identifier << " was found though it is not installed";
    }
}

TEST_F(WorkspaceTest, AnotherBrowsersEntryDoesNotCount)
{
    installEntry("google-chrome.desktop", "chrome");
    installEntry("chromium.desktop", "chromium");

    EXPECT_EQ(workspace.URLForApplicationWithBundleIdentifier("com.brave.Browser"), std::nullopt);
    EXPECT_EQ(workspace.URLForApplicationWithBundleIdentifier("company.thebrowser.Browser"),
        std::nullopt);
}

TEST_F(WorkspaceTest, EntryWhoseProgramIsGoneIsNotInstalled)
{
    writeFile(home.dataHome() + "/applications/brave-browser.desktop",
        "[Desktop Entry]\nType=Application\nName=Brave\nExec=" + home.root()
            + "/uninstalled/brave %u\n");

    EXPECT_EQ(workspace.URLForApplicationWithBundleIdentifier("com.brave.Browser"), std::nullopt)
        << "Open ShadeLedger would pick a browser that can no longer start";
}

TEST_F(WorkspaceTest, EntryTheUserDeletedIsNotInstalled)
{
    installEntry("microsoft-edge.desktop", "edge", "Hidden=true\n");

    EXPECT_EQ(
        workspace.URLForApplicationWithBundleIdentifier("com.microsoft.edgemac"), std::nullopt);
}

TEST_F(WorkspaceTest, URLsOpenWithTheChosenApplicationNotTheDefault)
{
    installEntry("brave-browser.desktop", "brave", "MimeType=x-scheme-handler/https;\n");
    auto brave = workspace.URLForApplicationWithBundleIdentifier("com.brave.Browser");
    ASSERT_TRUE(brave);

    workspace.openURLsWithApplication({URL::web("https://app.example.com")}, *brave);

    EXPECT_EQ(waitForRecord("brave"), "https://app.example.com\n")
        << "Open ShadeLedger did not open the web app in the preferred browser";
    EXPECT_FALSE(exists(records + "/default-browser"));
}

TEST_F(WorkspaceTest, LaunchedProgramsAreReaped)
{
    std::string viewer = installEntry("viewer.desktop", "viewer");
    workspace.openURL(URL::web("https://releases.example.com"));
    workspace.openURLsWithApplication({URL::web("https://app.example.com")}, viewer);

    for (const char* name : {"default-browser", "viewer"}) {
        ASSERT_TRUE(waitForRecord(name)) << name << " never started";
        pid_t pid = std::stoi(readFile(records + "/" + name + ".pid"));
        EXPECT_TRUE(runMainContextUntil([&] { return !isOurChild(pid); }))
            << "the program opened as " << name << " stays behind as a zombie of the agent";
    }
}
