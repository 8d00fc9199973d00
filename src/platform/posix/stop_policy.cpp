#include "platform/posix/stop_policy.h"

#include <algorithm>

namespace ShadeLedgerZizadezavav {

namespace {

constexpr StopTime firstKillPause{10};
constexpr StopTime longestKillPause{1000};

void killBy(StopState& state, StopTime deadline)
{
    state.killDeadline = state.killDeadline ? std::min(*state.killDeadline, deadline) : deadline;
}

} // namespace

StopStep stopPolicy(const StopState& state, const StopEvent& event, StopTime now)
{
    StopStep step;
    step.state = state;
    StopState& next = step.state;
    switch (event.kind) {
    case StopEvent::askToExit:
        step.terminate = true;
        break;
    case StopEvent::askToExitThenKill:
        step.terminate = true;
        killBy(next, now + std::max(event.grace, StopTime{0}));
        break;
    case StopEvent::killNow:
        killBy(next, now);
        break;
    case StopEvent::childEnded:
        if (!next.leftoversAsked) {
            next.leftoversAsked = true;
            step.terminate = true;
            killBy(next, now + keeperGrace);
        }
        break;
    case StopEvent::agentGone:
    case StopEvent::stopSignal:
        step.terminate = true;
        killBy(next, now + keeperGrace);
        break;
    case StopEvent::timePassed:
        break;
    }
    // Any event may bring a kill that is due now (a grace of 0, a kill request).
    if (!next.killing && next.killDeadline && now >= *next.killDeadline) {
        next.killing = true;
        next.killPause = firstKillPause;
        next.nextKill = now;
    }
    if (next.killing && now >= next.nextKill) {
        step.kill = true;
        next.nextKill = now + next.killPause;
        next.killPause = std::min(next.killPause * 2, longestKillPause);
    }
    if (next.killing) {
        step.wakeAt = next.nextKill;
    } else {
        step.wakeAt = next.killDeadline;
    }
    return step;
}

} // namespace ShadeLedgerZizadezavav
