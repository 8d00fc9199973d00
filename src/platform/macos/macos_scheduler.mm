// Scheduling on macOS: see macos_scheduler.h for how each call maps the contract.
#include "platform/macos/macos_scheduler.h"

#import <Foundation/Foundation.h>

#include <algorithm>
#include <cstdint>
#include <utility>

namespace ShadeLedgerZizadezavav {

namespace {

// A Timer over one NSTimer: the handle the core keeps, and the one an action is given.
class MacOSTimer final : public Timer {
public:
    explicit MacOSTimer(NSTimer* timer)
        : timer_(timer)
    {
    }
    void invalidate() override { [timer_ invalidate]; }

private:
    NSTimer* timer_;
};

NSTimeInterval seconds(Milliseconds duration)
{
    return static_cast<NSTimeInterval>(std::max<Milliseconds::rep>(duration.count(), 0)) / 1000.0;
}

} // namespace

void MacOSScheduler::async(std::function<void()> work)
{
    dispatch_async(dispatch_get_main_queue(), ^{ work(); });
}

void MacOSScheduler::asyncAfter(Milliseconds delay, std::function<void()> work)
{
    auto nanoseconds = static_cast<std::int64_t>(std::max<Milliseconds::rep>(delay.count(), 0))
        * static_cast<std::int64_t>(NSEC_PER_MSEC);
    dispatch_after(
        dispatch_time(DISPATCH_TIME_NOW, nanoseconds), dispatch_get_main_queue(), ^{ work(); });
}

std::shared_ptr<Timer> MacOSScheduler::scheduledTimer(
    Milliseconds interval, bool repeats, std::function<void(Timer&)> action)
{
    NSTimer* timer = [NSTimer scheduledTimerWithTimeInterval:seconds(interval)
                                                     repeats:repeats ? YES : NO
                                                       block:^(NSTimer* firing) {
                                                           MacOSTimer current(firing);
                                                           action(current);
                                                       }];
    // Left in the default mode, where the call puts it: no probe starts while the status
    // menu is open or the alert is up.
    return std::make_shared<MacOSTimer>(timer);
}

void MacOSScheduler::sleepFor(Milliseconds duration)
{
    if (duration.count() > 0) {
        [NSThread sleepForTimeInterval:seconds(duration)];
    }
}

} // namespace ShadeLedgerZizadezavav
