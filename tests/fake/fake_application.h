// The application on the fake platform: launching finishes at once, actions arrive as a
// test delivers them, and termination ends everything the scheduler would still run.
#pragma once

#include <memory>

#include "fake/fake_scheduler.h"
#include "platform/application.h"

namespace ShadeLedgerZizadezavav {

class CallRecord;

class FakeApplication final : public Application {
public:
    FakeApplication(CallRecord& record, FakeScheduler& scheduler)
        : record_(record)
        , scheduler_(scheduler)
    {
    }
    void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) override { delegate_ = delegate; }
    // Finishes launching and drains the main queue; time moves only by advance().
    void run() override;
    void setActivationPolicy(ActivationPolicy policy) override;
    void terminate() override;

    // The delivery of an action, as a menu click makes it; false when no delegate ran it.
    bool deliverAction(MenuAction action);
    // Termination for another reason (logout, a signal).
    void terminateFromOutside();
    bool terminated() const { return terminated_; }

private:
    CallRecord& record_;
    FakeScheduler& scheduler_;
    std::weak_ptr<ApplicationDelegate> delegate_;
    bool terminated_ = false;
};

} // namespace ShadeLedgerZizadezavav
