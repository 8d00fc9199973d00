#include "platform/linux/linux_installation.h"

#include "platform/bundle.h"
#include "platform/linux/desktop_entry.h"
#include "platform/linux/glib_owners.h"

#include <filesystem>
#include <system_error>

namespace ShadeLedgerZizadezavav {

namespace {

namespace fs = std::filesystem;

// The program the launcher starts, or "".
std::string launcherExecutable(const fs::path& launcher)
{
    GKeyFilePtr file(g_key_file_new());
    GErrorPtr error;
    if (!g_key_file_load_from_file(
            file.get(), launcher.c_str(), G_KEY_FILE_NONE, errorOut(error))) {
        debugError("uninstall: reading the launcher", error);
        return "";
    }
    GCharPtr exec(g_key_file_get_string(
        file.get(), G_KEY_FILE_DESKTOP_GROUP, G_KEY_FILE_DESKTOP_KEY_EXEC, errorOut(error)));
    if (!exec) {
        debugError("uninstall: the launcher's Exec", error);
        return "";
    }
    return programOfDesktopExec(exec.get()).value_or("");
}

void removeFile(const fs::path& path)
{
    std::error_code error;
    if (!fs::remove(path, error) && error) {
        g_debug("uninstall: removing %s: %s", path.c_str(), error.message().c_str());
    }
}

} // namespace

void removeInstalledLauncher(const std::string& bundlePath)
{
    fs::path bundle = fs::path(bundlePath).lexically_normal();
    if (!bundle.has_filename()) {
        bundle = bundle.parent_path();
    }
    fs::path folder = bundle.parent_path();
    if (bundle.extension() != ".app" || folder.filename() != "shadeledger-zizadezavav"
        || folder.parent_path().filename() != "lib") {
        return;
    }
    fs::path share = folder.parent_path().parent_path() / "share";
    fs::path launcher = share / "applications" / (std::string(agentBundleIdentifier) + ".desktop");
    fs::path started = fs::path(launcherExecutable(launcher)).lexically_normal();
    fs::path executables = bundle / "Contents" / "MacOS";
    if (started.parent_path() != executables) {
        return;
    }
    removeFile(launcher);

    std::error_code error;
    fs::path hicolor = share / "icons" / "hicolor";
    for (const auto& size : fs::directory_iterator(hicolor, error)) {
        for (const char* extension : {".png", ".svg"}) {
            fs::path icon = size.path() / "apps" / (std::string(agentBundleIdentifier) + extension);
            std::error_code missing;
            if (fs::is_regular_file(fs::symlink_status(icon, missing))) {
                removeFile(icon);
            }
        }
    }
    if (error) {
        g_debug("uninstall: looking for icons in %s: %s", hicolor.c_str(), error.message().c_str());
    }
}

} // namespace ShadeLedgerZizadezavav
