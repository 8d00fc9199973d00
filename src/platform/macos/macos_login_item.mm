// The login item on macOS: see macos_login_item.h for how each call maps the contract.
#include "platform/macos/macos_login_item.h"

#import <ServiceManagement/ServiceManagement.h>

namespace ShadeLedgerZizadezavav {

LoginItemStatus MacOSLoginItemService::status()
{
    switch (SMAppService.mainAppService.status) {
    case SMAppServiceStatusEnabled:
        return LoginItemStatus::enabled;
    case SMAppServiceStatusRequiresApproval:
        return LoginItemStatus::requiresApproval;
    case SMAppServiceStatusNotFound:
        return LoginItemStatus::notFound;
    case SMAppServiceStatusNotRegistered:
        break;
    }
    return LoginItemStatus::notRegistered;
}

bool MacOSLoginItemService::registerItem()
{
    return [SMAppService.mainAppService registerAndReturnError:nil];
}

bool MacOSLoginItemService::unregisterItem()
{
    return [SMAppService.mainAppService unregisterAndReturnError:nil];
}

void MacOSLoginItemService::openSystemSettingsLoginItems()
{
    [SMAppService openSystemSettingsLoginItems];
}

} // namespace ShadeLedgerZizadezavav
