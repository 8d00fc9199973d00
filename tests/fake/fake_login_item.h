// The login item on the fake platform: a status the test sets, and registration that
// succeeds or is refused as the test chooses.
#pragma once

#include "platform/login_item.h"

namespace ShadeLedgerZizadezavav {

class CallRecord;

class FakeLoginItems final : public LoginItemService {
public:
    explicit FakeLoginItems(CallRecord& record)
        : record_(record)
    {
    }
    LoginItemStatus status() override;
    bool registerItem() override;
    bool unregisterItem() override;
    void openSystemSettingsLoginItems() override;

    LoginItemStatus current = LoginItemStatus::notRegistered;
    // What registering leads to; a refused registration leaves the status alone.
    LoginItemStatus afterRegister = LoginItemStatus::enabled;
    bool registerSucceeds = true;
    bool unregisterSucceeds = true;

private:
    CallRecord& record_;
};

} // namespace ShadeLedgerZizadezavav
