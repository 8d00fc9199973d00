// What an installation put beside the bundle, and its removal with the bundle.
//
// `cmake --install` (or the Debian package) places the bundle at
// <prefix>/lib/shadeledger-zizadezavav/<name>.app, its launcher at
// <prefix>/share/applications/<identifier>.desktop and its icon at
// <prefix>/share/icons/hicolor/<size>/apps/<identifier>.{png,svg}. A launcher left behind when
// the bundle has gone to the Trash would start nothing.
#pragma once

#include <string>

#include "platform/linux/linux_files.h"

namespace ShadeLedgerZizadezavav {

// Removes the launcher and icons installed with the bundle at that path, when the bundle lies
// in the installed layout and the launcher starts that bundle's executable; touches nothing
// otherwise (a build tree, another copy's launcher, one the user edited to start elsewhere).
void removeInstalledLauncher(const std::string& bundlePath);

// The Linux files, where moving an installed bundle to the Trash also takes its launcher and
// icons away (the uninstall's last removal).
class LinuxInstalledFileManager : public LinuxFileManager {
public:
    bool trashItemAtPath(const std::string& path) override;
};

} // namespace ShadeLedgerZizadezavav
