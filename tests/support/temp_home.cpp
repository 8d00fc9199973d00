#include "support/temp_home.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace ShadeLedgerZizadezavav {

TempHome::TempHome()
{
    auto base = fs::path(SL_TEST_BINARY_DIR) / "tmp";
    fs::create_directories(base);
    std::string pattern = (base / "home-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    root_ = buffer.data();
    home_ = root_ + "/home";
    fs::create_directories(home_);
    fs::create_directories(configHome());
    fs::create_directories(dataHome());
    setenv("HOME", home_);
    setenv("XDG_CONFIG_HOME", configHome());
    setenv("XDG_DATA_HOME", dataHome());
    setenv("XDG_CACHE_HOME", home_ + "/.cache");
    setenv("XDG_CONFIG_DIRS", root_ + "/etc-xdg");
    setenv("XDG_DATA_DIRS", root_ + "/usr-share");
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
}

TempHome::~TempHome()
{
    for (auto& [name, value] : saved_) {
        if (value) {
            ::setenv(name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }
    std::error_code ignored;
    // Tests may leave read-only directories behind; make them writable first.
    for (auto it = fs::recursive_directory_iterator(
             root_, fs::directory_options::skip_permission_denied, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
    }
    fs::remove_all(root_, ignored);
}

void TempHome::save(const std::string& name)
{
    if (!saved_.contains(name)) {
        const char* old = std::getenv(name.c_str());
        saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
}

void TempHome::setenv(const std::string& name, const std::string& value)
{
    save(name);
    ::setenv(name.c_str(), value.c_str(), 1);
}

void TempHome::unsetenv(const std::string& name)
{
    save(name);
    ::unsetenv(name.c_str());
}

void writeFile(const std::string& path, const std::string& contents)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool exists(const std::string& path)
{
    std::error_code ignored;
    return fs::exists(fs::symlink_status(path, ignored));
}

void makeDirectories(const std::string& path)
{
    fs::create_directories(path);
}

} // namespace ShadeLedgerZizadezavav
