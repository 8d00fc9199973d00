#include "fake/fake_login_item.h"

#include "fake/fake_platform.h"

namespace ShadeLedgerZizadezavav {

LoginItemStatus FakeLoginItems::status()
{
    record_.add("login.status");
    return current;
}

bool FakeLoginItems::registerItem()
{
    record_.add("login.register");
    if (registerSucceeds) {
        current = afterRegister;
    }
    return registerSucceeds;
}

bool FakeLoginItems::unregisterItem()
{
    record_.add("login.unregister");
    if (unregisterSucceeds && current != LoginItemStatus::notFound) {
        current = LoginItemStatus::notRegistered;
    }
    return unregisterSucceeds;
}

void FakeLoginItems::openSystemSettingsLoginItems()
{
    record_.add("login.openSettings");
}

} // namespace ShadeLedgerZizadezavav
