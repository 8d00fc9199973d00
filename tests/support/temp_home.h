// A temporary HOME with its own XDG directories, on the same file system as the
// build tree (the Trash refuses tmpfs), and no display: nothing a test starts draws on the
// desktop it runs in. The environment is restored afterwards.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace ShadeLedgerZizadezavav {

class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::string& root() const { return root_; }
    const std::string& home() const { return home_; }
    std::string configHome() const { return home_ + "/.config"; }
    std::string dataHome() const { return home_ + "/.local/share"; }
    // A path below HOME.
    std::string path(const std::string& relative) const { return home_ + "/" + relative; }

    // Sets a variable for the life of this object; the old value comes back after.
    void setenv(const std::string& name, const std::string& value);
    // Removes a variable likewise.
    void unsetenv(const std::string& name);

private:
    void save(const std::string& name);

    std::string root_;
    std::string home_;
    std::map<std::string, std::optional<std::string>> saved_;
};

// Small file helpers for tests.
void writeFile(const std::string& path, const std::string& contents);
std::string readFile(const std::string& path);
bool exists(const std::string& path);
void makeDirectories(const std::string& path);

} // namespace ShadeLedgerZizadezavav
