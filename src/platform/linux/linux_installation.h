// What an installation put beside the bundle, and its removal once the bundle has gone.
//
// `cmake --install` (or the Debian package) places the bundle at
// <prefix>/lib/shadeledger-zizadezavav/<name>.app, its launcher at
// <prefix>/share/applications/<identifier>.desktop and its icon at
// <prefix>/share/icons/hicolor/<size>/apps/<identifier>.{png,svg}. A launcher left behind when
// the bundle has gone to the Trash would start nothing.
#pragma once

#include <string>

namespace ShadeLedgerZizadezavav {

// Removes the launcher and icons installed with the bundle at that path, when the bundle lies
// in the installed layout and the launcher starts that bundle's executable; touches nothing
// otherwise (a build tree, another copy's launcher, one the user edited to start elsewhere).
void removeInstalledLauncher(const std::string& bundlePath);

} // namespace ShadeLedgerZizadezavav
