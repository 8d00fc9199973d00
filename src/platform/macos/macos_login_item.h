// The login item on macOS: SMAppService mainAppService (macOS 13 or later).
//
// status: the service's status, read afresh at each call, whose values are the
// contract's (0 not registered, 1 enabled, 2 requires approval, 3 not found);
// registerItem and unregisterItem: registerAndReturnError: and unregisterAndReturnError:,
// synchronous, true on success. The bundle must be signed (ad hoc will do) for the
// service to accept it. openSystemSettingsLoginItems: SMAppService's own, which opens
// System Settings at Login Items, where the user approves (or again allows) the agent.
#pragma once

#include "platform/login_item.h"

namespace ShadeLedgerZizadezavav {

class MacOSLoginItemService : public LoginItemService {
public:
    LoginItemStatus status() override;
    bool registerItem() override;
    bool unregisterItem() override;
    void openSystemSettingsLoginItems() override;
};

} // namespace ShadeLedgerZizadezavav
