// A network namespace of the test's own, so that fixed ports (the bridge's default one)
// are free whatever else runs on the machine.
#pragma once

namespace ShadeLedgerZizadezavav {

// Moves the calling thread, and every process and thread it starts from now on, into a new
// network namespace whose only interface is a loopback that is up. Sockets made earlier stay
// where they were; Unix sockets (the session bus) work across. False when not permitted.
bool enterPrivateNetwork();

} // namespace ShadeLedgerZizadezavav
