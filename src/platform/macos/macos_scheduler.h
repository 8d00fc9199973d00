// Scheduling on macOS: the main dispatch queue, NSTimer on the main run loop, NSThread.
//
// Implements: async as dispatch_async on the main queue (callable from any thread, run in
// the order posted); asyncAfter as dispatch_after on the main queue; scheduledTimer as
// NSTimer scheduledTimerWithTimeInterval:repeats:block: on the main run loop in its default
// mode, as that call schedules it: it does not fire while the status menu is open (event
// tracking) or the alert runs (modal panel mode), and fires again once the loop is back in
// the default mode. The run loop holds the timer until it is invalidated (or a one-shot
// timer has fired), so releasing the handle leaves it running. The block owns the action
// and nothing else: it does not hold the handle, and the core's actions hold what they
// call weakly, so a timer keeps nothing alive. The action gets a Timer for the firing
// NSTimer; invalidate is NSTimer invalidate, which has no effect the second time.
// sleepFor: NSThread sleepForTimeInterval:. scheduledTimer must be called on the main
// thread, as every caller does.
#pragma once

#include "platform/scheduling.h"

namespace ShadeLedgerZizadezavav {

class MacOSScheduler : public Scheduler {
public:
    void async(std::function<void()> work) override;
    void asyncAfter(Milliseconds delay, std::function<void()> work) override;
    std::shared_ptr<Timer> scheduledTimer(
        Milliseconds interval, bool repeats, std::function<void(Timer&)> action) override;
    void sleepFor(Milliseconds duration) override;
};

} // namespace ShadeLedgerZizadezavav
