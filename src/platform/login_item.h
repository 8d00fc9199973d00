// Login item: the registration of the agent itself to start at login.
#pragma once

namespace ShadeLedgerZizadezavav {

enum class LoginItemStatus : int {
    notRegistered = 0,
    enabled = 1,
    requiresApproval = 2,
    notFound = 3,
};

class LoginItemService {
public:
    virtual ~LoginItemService() = default;
    // Read afresh on every call.
    virtual LoginItemStatus status() = 0;
    // Synchronous; true on success.
    virtual bool registerItem() = 0;
    virtual bool unregisterItem() = 0;
    // Shows the system's settings where the user approves login items, for a registration
    // the user still has to approve; a platform without such a place does nothing.
    virtual void openSystemSettingsLoginItems() = 0;
};

} // namespace ShadeLedgerZizadezavav
