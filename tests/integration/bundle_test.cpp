// The bundle found from an executable, against fake bundles in a temporary HOME.
#include "platform/linux/linux_bundle.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>

using namespace ShadeLedgerZizadezavav;
namespace fs = std::filesystem;

namespace {

std::string xmlPlist(const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n"
        + body + "\n</plist>\n";
}

class BundleTest : public ::testing::Test {
protected:
    TempHome home;
    std::string bundle = home.path("Applications/ShadeLedgerZizadezavav.app");
    std::string executable = bundle + "/Contents/MacOS/ShadeLedgerZizadezavav";

    void SetUp() override
    {
        writeFile(executable, "#!/bin/sh\n");
        makeDirectories(bundle + "/Contents/Resources");
    }

    void writeInfo(const std::string& contents)
    {
        writeFile(bundle + "/Contents/Info.plist", contents);
    }
};

} // namespace

TEST_F(BundleTest, AnExecutableInContentsMacOSMakesABundle)
{
    LinuxBundle found(executable);
    EXPECT_EQ(found.bundlePath(), bundle);
    EXPECT_EQ(found.resourcePath(), bundle + "/Contents/Resources");
}

TEST_F(BundleTest, WithoutAResourcesDirectoryThereAreNoResources)
{
    fs::remove_all(bundle + "/Contents/Resources");
    LinuxBundle found(executable);
    EXPECT_EQ(found.bundlePath(), bundle);
    EXPECT_EQ(found.resourcePath(), std::nullopt)
        << "the bridge would be looked for in a missing folder";
}

TEST_F(BundleTest, TheVersionIsReadFromInfoPlist)
{
    writeInfo(xmlPlist("<dict>\n<key>CFBundleIdentifier</key><string>"
        + std::string(agentBundleIdentifier)
        + "</string>\n<key>CFBundleShortVersionString</key><string>1.4.2</string>\n</dict>"));
    LinuxBundle found(executable);
    auto info = found.infoDictionary();
    ASSERT_TRUE(info.has_value()) << "the menu would show no version";
    EXPECT_EQ(*info, (InfoDictionary{{"CFBundleShortVersionString", "1.4.2"}}));

    writeInfo(xmlPlist("<dict><key>CFBundleShortVersionString</key><string>9</string></dict>"));
    EXPECT_EQ(found.infoDictionary(), info) << "the dictionary is read once per run";
}

TEST_F(BundleTest, AnInfoPlistWithoutTheVersionIsStillADictionary)
{
    writeInfo(xmlPlist("<dict><key>CFBundleName</key><string>Agent</string></dict>"));
    auto info = LinuxBundle(executable).infoDictionary();
    ASSERT_TRUE(info.has_value());
    EXPECT_FALSE(info->contains("CFBundleShortVersionString"));

    writeInfo(xmlPlist("<dict><key>CFBundleShortVersionString</key><integer>3</integer></dict>"));
    info = LinuxBundle(executable).infoDictionary();
    ASSERT_TRUE(info.has_value());
    EXPECT_FALSE(info->contains("CFBundleShortVersionString")) << "a number is no version";
}

TEST_F(BundleTest, NoInfoPlistMeansNoDictionary)
{
    EXPECT_EQ(LinuxBundle(executable).infoDictionary(), std::nullopt);
}

TEST_F(BundleTest, AGarbageInfoPlistMeansNoDictionary)
{
    writeInfo("this is \x01 not <a> property list");
    EXPECT_EQ(LinuxBundle(executable).infoDictionary(), std::nullopt);
    writeInfo(xmlPlist("<array><string>1.0</string></array>"));
    EXPECT_EQ(LinuxBundle(executable).infoDictionary(), std::nullopt)
        << "a property list whose top level is not a dictionary was taken as one";
    writeInfo(xmlPlist("<dict><key>CFBundleShortVersionString</key><string>1.0"));
    EXPECT_EQ(LinuxBundle(executable).infoDictionary(), std::nullopt);
}

TEST_F(BundleTest, ADirectoryOrAFIFOInPlaceOfInfoPlistMeansNoDictionary)
{
    makeDirectories(bundle + "/Contents/Info.plist");
    EXPECT_EQ(LinuxBundle(executable).infoDictionary(), std::nullopt);
    fs::remove(bundle + "/Contents/Info.plist");
    ASSERT_EQ(mkfifo((bundle + "/Contents/Info.plist").c_str(), 0600), 0);
    EXPECT_EQ(LinuxBundle(executable).infoDictionary(), std::nullopt);
}

TEST_F(BundleTest, ABinaryInfoPlistIsRead)
{
    plist_t dictionary = plist_new_dict();
    plist_dict_set_item(dictionary, "CFBundleShortVersionString", plist_new_string("2.0.1"));
    plist_dict_set_item(dictionary, "LSUIElement", plist_new_bool(1));
    char* binary = nullptr;
    uint32_t length = 0;
    plist_to_bin(dictionary, &binary, &length);
    plist_free(dictionary);
    ASSERT_NE(binary, nullptr);
    writeInfo(std::string(binary, length));
    std::free(binary);

    auto info = LinuxBundle(executable).infoDictionary();
    ASSERT_TRUE(info.has_value()) << "a binary Info.plist was not read";
    EXPECT_EQ((*info)["CFBundleShortVersionString"], "2.0.1");
}

TEST_F(BundleTest, AnExecutableOutsideABundle)
{
    std::string loose = home.path("bin/agent");
    writeFile(loose, "#!/bin/sh\n");
    writeFile(home.path("bin/Info.plist"), xmlPlist("<dict/>"));
    makeDirectories(home.path("bin/Resources"));
    LinuxBundle found(loose);
    EXPECT_EQ(found.bundlePath(), home.path("bin"));
    EXPECT_EQ(found.resourcePath(), std::nullopt);
    EXPECT_EQ(found.infoDictionary(), std::nullopt);
}

TEST_F(BundleTest, MacOSWithoutContentsIsNotABundle)
{
    std::string loose = home.path("Tools/MacOS/agent");
    writeFile(loose, "#!/bin/sh\n");
    LinuxBundle found(loose);
    EXPECT_EQ(found.bundlePath(), home.path("Tools/MacOS"));
    EXPECT_EQ(found.resourcePath(), std::nullopt);
}

TEST_F(BundleTest, TheRunningExecutableIsFoundThroughProc)
{
    LinuxBundle running;
    EXPECT_EQ(running.bundlePath(), fs::canonical("/proc/self/exe").parent_path().string());
    EXPECT_EQ(running.resourcePath(), std::nullopt);
}

TEST(InfoDictionaryFromPlist, KeepsOnlyTheVersionAmongEveryKindOfValue)
{
    auto info = infoDictionaryFromPlist(xmlPlist(R"(<dict>
  <key>integer</key><integer>42</integer>
  <key>array</key><array><string>a</string><integer>1</integer></array>
  <key>nested</key><dict><key>inner</key><string>x</string></dict>
  <key>data</key><data>aGVsbG8=</data>
  <key>date</key><date>2001-01-01T00:00:00Z</date>
  <key>CFBundleShortVersionString</key><string>caf&#233; ●</string>
</dict>)"));
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(*info, (InfoDictionary{{"CFBundleShortVersionString", "café ●"}}));
}

TEST(InfoDictionaryFromPlist, ADeeplyNestedListIsRefusedBeforeItOverflowsTheStack)
{
    constexpr std::uint32_t depth = 300000;
    std::string xml = "<dict><key>CFBundleShortVersionString</key><string>1</string><key>a</key>";
    for (std::uint32_t i = 0; i < depth; ++i) {
        xml += "<array>";
    }
    EXPECT_EQ(infoDictionaryFromPlist(xmlPlist(xml)), std::nullopt) << "an unclosed list";
    for (std::uint32_t i = 0; i < depth; ++i) {
        xml += "</array>";
    }
    EXPECT_EQ(infoDictionaryFromPlist(xmlPlist(xml + "</dict>")), std::nullopt);

    // The same as a binary list: each array holds the next, four bytes per reference.
    auto bigEndian = [](std::string& out, std::uint64_t value, int width) {
        for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) {
            out.push_back(static_cast<char>((value >> shift) & 0xFF));
        }
    };
    std::string binary = "bplist00";
    std::string offsets;
    for (std::uint32_t i = 0; i < depth; ++i) {
        bigEndian(offsets, binary.size(), 4);
        binary.push_back(i + 1 < depth ? '\xA1' : '\xA0');
        if (i + 1 < depth) {
            bigEndian(binary, i + 1, 4);
        }
    }
    std::uint64_t table = binary.size();
    binary += offsets + std::string(6, '\0') + "\x04\x04";
    bigEndian(binary, depth, 8);
    bigEndian(binary, 0, 8);
    bigEndian(binary, table, 8);
    EXPECT_EQ(infoDictionaryFromPlist(binary), std::nullopt);

    std::string shallow = "<dict><key>CFBundleShortVersionString</key><string>1</string>";
    for (int i = 0; i < 20; ++i) {
        shallow += "<key>a</key><dict>";
    }
    for (int i = 0; i <= 20; ++i) {
        shallow += "</dict>";
    }
    EXPECT_EQ(infoDictionaryFromPlist(xmlPlist(shallow)),
        (InfoDictionary{{"CFBundleShortVersionString", "1"}}))
        << "a list nested as real ones are was refused";
}

TEST(InfoDictionaryFromPlist, RefusesEmptyAndTruncatedInput)
{
    EXPECT_EQ(infoDictionaryFromPlist(""), std::nullopt);
    EXPECT_EQ(infoDictionaryFromPlist("bplist00"), std::nullopt);
    EXPECT_EQ(infoDictionaryFromPlist("<plist><dict><key>a</key>"), std::nullopt);
}

TEST(InfoDictionaryFromPlist, ADamagedBinaryListWhoseKeyIsNoKeyIsRefusedWithoutAborting)
{
    // Found by the fuzzer: libplist parses this into a dictionary whose key node is
    // not a key, and asserts when asked for the key's text.
    std::string damaged = readFile(
        std::string(SL_SOURCE_DIR) + "/tests/fuzz/corpus/info/damaged-dictionary-key.plist");
    ASSERT_FALSE(damaged.empty());
    EXPECT_EQ(infoDictionaryFromPlist(damaged), std::nullopt);
}
