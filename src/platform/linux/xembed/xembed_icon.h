// What the agent and its XEmbed icon helper (xembed-icon, beside the agent in the bundle's
// Contents/MacOS) agree on:
//
//     xembed-icon BUS-NAME OBJECT-PATH
//
// shows the StatusNotifierItem at OBJECT-PATH of BUS-NAME in the X display's tray, and lives
// until it is asked to end (SIGTERM, SIGINT, SIGHUP), its standard input ends (a pipe whose
// other end only the agent holds) or the item's bus name leaves the bus.
#pragma once

namespace ShadeLedgerZizadezavav {

inline constexpr const char* xembedHelperName = "xembed-icon";

// Its exit status when there is no X display or no tray on it, said at once.
inline constexpr int xembedNoTray = 3;

} // namespace ShadeLedgerZizadezavav
