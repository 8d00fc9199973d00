#include "fake/fake_platform.h"

namespace ShadeLedgerZizadezavav {

std::vector<std::string> CallRecord::matching(const std::string& prefix) const
{
    std::vector<std::string> found;
    for (const auto& line : lines_) {
        if (line.rfind(prefix, 0) == 0) {
            found.push_back(line);
        }
    }
    return found;
}

long CallRecord::indexOf(const std::string& prefix) const
{
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].rfind(prefix, 0) == 0) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

FakePlatform::FakePlatform()
{
    files.addFile(node(), "#!node");
    files.addFile(script(), "// bridge");
}

Platform FakePlatform::platform()
{
    return Platform{application, scheduler, statusBar, alerts, processes, workspace, files, bundle,
        defaults, loginItems, http};
}

} // namespace ShadeLedgerZizadezavav
