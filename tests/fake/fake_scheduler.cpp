#include "fake/fake_scheduler.h"

#include <algorithm>
#include <string>
#include <utility>

#include "fake/fake_platform.h"

namespace ShadeLedgerZizadezavav {

struct FakeScheduler::Scheduled {
    Milliseconds deadline{0};
    Milliseconds interval{0};
    std::uint64_t sequence = 0;
    bool repeats = false;
    bool valid = true;
    std::function<void(Timer&)> action;
    std::shared_ptr<Timer> timer;
};

class FakeScheduler::FakeTimer final : public Timer {
public:
    FakeTimer(CallRecord& record, std::weak_ptr<Scheduled> entry)
        : record_(record)
        , entry_(std::move(entry))
    {
    }
    void invalidate() override
    {
        record_.add("timer.invalidate");
        if (auto entry = entry_.lock()) {
            entry->valid = false;
            entry->action = nullptr;
        }
    }

private:
    CallRecord& record_;
    std::weak_ptr<Scheduled> entry_;
};

void FakeScheduler::async(std::function<void()> work)
{
    std::lock_guard lock(mutex_);
    mainQueue_.push_back(std::move(work));
}

void FakeScheduler::asyncAfter(Milliseconds delay, std::function<void()> work)
{
    record_.add("scheduler.asyncAfter " + std::to_string(delay.count()));
    auto entry = std::make_shared<Scheduled>();
    entry->deadline = now_ + delay;
    entry->sequence = sequence_++;
    entry->action = [work = std::move(work)](Timer&) { work(); };
    scheduled_.push_back(entry);
}

std::shared_ptr<Timer> FakeScheduler::scheduledTimer(
    Milliseconds interval, bool repeats, std::function<void(Timer&)> action)
{
    record_.add(
        "scheduler.timer " + std::to_string(interval.count()) + (repeats ? " repeats" : ""));
    auto entry = std::make_shared<Scheduled>();
    entry->deadline = now_ + interval;
    entry->interval = interval;
    entry->sequence = sequence_++;
    entry->repeats = repeats;
    entry->action = std::move(action);
    auto timer = std::make_shared<FakeTimer>(record_, entry);
    scheduled_.push_back(entry);
    return timer;
}

void FakeScheduler::sleepFor(Milliseconds duration)
{
    record_.add("scheduler.sleep " + std::to_string(duration.count()));
    // The main thread is blocked: time passes, but nothing runs meanwhile.
    now_ += duration;
}

void FakeScheduler::drain()
{
    while (!halted_) {
        std::function<void()> work;
        {
            std::lock_guard lock(mutex_);
            if (mainQueue_.empty()) {
                return;
            }
            work = std::move(mainQueue_.front());
            mainQueue_.pop_front();
        }
        work();
    }
}

void FakeScheduler::advance(Milliseconds duration)
{
    const Milliseconds end = now_ + duration;
    drain();
    while (!halted_) {
        std::erase_if(scheduled_, [](const auto& entry) { return !entry->valid; });
        auto next = std::min_element(
            scheduled_.begin(), scheduled_.end(), [](const auto& a, const auto& b) {
                return a->deadline != b->deadline ? a->deadline < b->deadline
                                                  : a->sequence < b->sequence;
            });
        if (next == scheduled_.end() || (*next)->deadline > end) {
            break;
        }
        auto entry = *next;
        now_ = std::max(now_, entry->deadline);
        if (entry->repeats) {
            entry->deadline += entry->interval;
            entry->sequence = sequence_++;
        } else {
            entry->valid = false;
        }
        auto action = entry->action;
        FakeTimer handle(record_, entry);
        if (action) {
            action(handle);
        }
        drain();
    }
    if (!halted_) {
        now_ = std::max(now_, end);
    }
}

std::size_t FakeScheduler::activeTimers() const
{
    return static_cast<std::size_t>(std::count_if(scheduled_.begin(), scheduled_.end(),
        [](const auto& entry) { return entry->valid && entry->repeats; }));
}

} // namespace ShadeLedgerZizadezavav
