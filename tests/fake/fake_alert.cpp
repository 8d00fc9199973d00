#include "fake/fake_alert.h"

#include "fake/fake_platform.h"

namespace ShadeLedgerZizadezavav {

long FakeAlerts::runModal(const Alert& alert)
{
    record_.add("alert.runModal " + alert.messageText);
    shown.push_back(alert);
    return response;
}

} // namespace ShadeLedgerZizadezavav
