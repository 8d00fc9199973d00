// User defaults as a key file in a temporary XDG_CONFIG_HOME.
#include "platform/linux/glib_owners.h"
#include "platform/linux/linux_bundle.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <sys/stat.h>

using namespace ShadeLedgerZizadezavav;

namespace {

constexpr const char* bundleIdentifier = agentBundleIdentifier;
constexpr const char* loginPrefKey = "sl.loginItemPreferenceSet";

class DefaultsTest : public ::testing::Test {
protected:
    TempHome home;
    LinuxUserDefaults defaults{bundleIdentifier};

    std::string file() const
    {
        return home.configHome() + "/" + bundleIdentifier + "/defaults.conf";
    }

    static ino_t inode(const std::string& path)
    {
        struct stat status { };
        return stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
    }

    // The file parsed afresh, as another reader would see it.
    GKeyFilePtr parsed() const
    {
        GKeyFilePtr keys(g_key_file_new());
        EXPECT_TRUE(g_key_file_load_from_file(
            keys.get(), file().c_str(), G_KEY_FILE_KEEP_COMMENTS, nullptr))
            << "the defaults file is not a valid key file:\n"
            << readFile(file());
        return keys;
    }
};

} // namespace

TEST_F(DefaultsTest, AnAbsentKeyReadsFalseAndWritesNothing)
{
    EXPECT_FALSE(defaults.boolForKey(loginPrefKey));
    EXPECT_FALSE(exists(file())) << "reading created the defaults file";
    EXPECT_EQ(defaults.defaultsPath(), file());
}

TEST_F(DefaultsTest, AValuePersistsIntoAnotherInstance)
{
    defaults.setBoolForKey(true, loginPrefKey);
    LinuxUserDefaults nextLaunch{bundleIdentifier};
    EXPECT_TRUE(nextLaunch.boolForKey(loginPrefKey))
        << "the first-launch registration would run again at the next launch";
    EXPECT_FALSE(nextLaunch.boolForKey("some.other.key"));

    nextLaunch.setBoolForKey(false, loginPrefKey);
    EXPECT_FALSE(defaults.boolForKey(loginPrefKey))
        << "a value written by another copy was not read";
}

TEST_F(DefaultsTest, TheFileIsAKeyFileWithADefaultsGroup)
{
    defaults.setBoolForKey(true, loginPrefKey);
    auto keys = parsed();
    GError* rawError = nullptr;
    EXPECT_TRUE(g_key_file_get_boolean(keys.get(), "Defaults", loginPrefKey, &rawError));
    GErrorPtr error(rawError);
    EXPECT_EQ(error, nullptr);
}

TEST_F(DefaultsTest, WritingReplacesTheFileWholeAndKeepsEverythingElse)
{
    writeFile(file(), "# kept comment\n[Defaults]\nother.key=true\n\n[Elsewhere]\nname=value\n");
    ino_t before = inode(file());
    defaults.setBoolForKey(true, loginPrefKey);

    EXPECT_NE(inode(file()), before)
        << "the file was rewritten in place: a crash could leave half of it";
    auto keys = parsed();
    EXPECT_TRUE(g_key_file_get_boolean(keys.get(), "Defaults", "other.key", nullptr));
    EXPECT_TRUE(g_key_file_get_boolean(keys.get(), "Defaults", loginPrefKey, nullptr));
    GCharPtr name(g_key_file_get_string(keys.get(), "Elsewhere", "name", nullptr));
    ASSERT_NE(name, nullptr) << "another group was lost";
    EXPECT_STREQ(name.get(), "value");
    EXPECT_NE(readFile(file()).find("# kept comment"), std::string::npos);
}

TEST_F(DefaultsTest, ACorruptFileReadsFalseAndIsRewrittenWholeOnTheNextWrite)
{
    writeFile(file(), "\xff\xfe garbage [[[ = \n[Defaults]\nsl.loginItemPreferenceSet=true\n");
    EXPECT_FALSE(defaults.boolForKey(loginPrefKey));

    defaults.setBoolForKey(true, "another.key");
    auto keys = parsed();
    EXPECT_TRUE(g_key_file_get_boolean(keys.get(), "Defaults", "another.key", nullptr));
    EXPECT_FALSE(g_key_file_has_key(keys.get(), "Defaults", loginPrefKey, nullptr))
        << "something of the corrupt file survived the rewrite";
    EXPECT_TRUE(defaults.boolForKey("another.key"));
}

TEST_F(DefaultsTest, AValueThatIsNotABooleanReadsFalse)
{
    writeFile(file(), "[Defaults]\nsl.loginItemPreferenceSet=maybe\n");
    EXPECT_FALSE(defaults.boolForKey(loginPrefKey));
}

TEST_F(DefaultsTest, AFIFOInPlaceOfTheFileReadsFalseWithoutBlocking)
{
    makeDirectories(home.configHome() + "/" + bundleIdentifier);
    ASSERT_EQ(mkfifo(file().c_str(), 0600), 0);
    auto read = std::async(std::launch::async, [&] { return defaults.boolForKey(loginPrefKey); });
    ASSERT_EQ(read.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "reading the defaults froze on a FIFO";
    EXPECT_FALSE(read.get());
}

TEST_F(DefaultsTest, RemovingAKeyMakesItReadFalseAndKeepsTheOthers)
{
    defaults.setBoolForKey(true, loginPrefKey);
    defaults.setBoolForKey(true, "other.key");
    defaults.removeObjectForKey(loginPrefKey);
    EXPECT_FALSE(defaults.boolForKey(loginPrefKey))
        << "after uninstall a reinstall would skip its first-launch registration";
    EXPECT_TRUE(defaults.boolForKey("other.key"));
    EXPECT_FALSE(g_key_file_has_key(parsed().get(), "Defaults", loginPrefKey, nullptr));
}

TEST_F(DefaultsTest, RemovingFromNoFileCreatesNone)
{
    defaults.removeObjectForKey(loginPrefKey);
    EXPECT_FALSE(exists(file()));
}

TEST_F(DefaultsTest, ConfigHomeIsReadAtEachCall)
{
    defaults.setBoolForKey(true, loginPrefKey);
    home.setenv("XDG_CONFIG_HOME", home.root() + "/other-config");
    EXPECT_FALSE(defaults.boolForKey(loginPrefKey));
    defaults.setBoolForKey(true, loginPrefKey);
    EXPECT_TRUE(exists(home.root() + "/other-config/" + bundleIdentifier + "/defaults.conf"));
}

TEST_F(DefaultsTest, WithoutConfigHomeTheDefaultsLiveInDotConfig)
{
    home.setenv("XDG_CONFIG_HOME", "");
    defaults.setBoolForKey(true, loginPrefKey);
    EXPECT_TRUE(exists(home.home() + "/.config/" + bundleIdentifier + "/defaults.conf"));
}

TEST_F(DefaultsTest, KeysAKeyFileCannotHoldAreNeverWritten)
{
    defaults.setBoolForKey(true, "bad\nkey=true\n[Defaults]\nsl.loginItemPreferenceSet");
    EXPECT_FALSE(defaults.boolForKey(loginPrefKey))
        << "a key smuggled a second entry into the file";
    EXPECT_FALSE(defaults.boolForKey(""));
}
