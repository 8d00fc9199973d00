// Alerts on the fake platform: every alert shown is kept, and answered with the response
// the test chose.
#pragma once

#include <vector>

#include "platform/alert.h"

namespace ShadeLedgerZizadezavav {

class CallRecord;

class FakeAlerts final : public AlertPresenter {
public:
    explicit FakeAlerts(CallRecord& record)
        : record_(record)
    {
    }
    long runModal(const Alert& alert) override;
    long response = alertSecondButtonReturn;
    std::vector<Alert> shown;

private:
    CallRecord& record_;
};

} // namespace ShadeLedgerZizadezavav
