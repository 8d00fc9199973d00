// When the keeper asks its tree to exit and when it kills it: one pure function of what
// happened and when, which the keeper's loop carries out.
//
// - A request to exit sends SIGTERM to the tree; one with a grace also kills whatever is
//   left once the grace is over.
// - When the child ends, what it leaves is asked to exit and killed after keeperGrace, once.
// - When the agent goes (however it ends), or the keeper is asked to stop by a signal, the
//   tree is asked to exit at once and killed after keeperGrace.
// - A kill is SIGKILL, sent again and again, the pause doubling from 10 ms to 1 s, until
//   nothing is left (the keeper's loop ends there). An earlier deadline is always kept.
#pragma once

#include <chrono>
#include <optional>

namespace ShadeLedgerZizadezavav {

using StopTime = std::chrono::milliseconds;

// What is left of a tree whose child has ended, or whose agent has gone, is killed this long
// after it was asked to exit.
inline constexpr StopTime keeperGrace{2000};

struct StopEvent {
    enum Kind {
        askToExit,
        askToExitThenKill, // with grace
        killNow,
        childEnded,
        agentGone,
        stopSignal,
        // Nothing happened but time passing; the loop asks after every wake-up.
        timePassed,
    };
    Kind kind = timePassed;
    StopTime grace{0};
};

struct StopState {
    // When the kill is due, once one is.
    std::optional<StopTime> killDeadline;
    bool killing = false;
    bool leftoversAsked = false;
    StopTime killPause{10};
    // While killing: when the next SIGKILL is due.
    StopTime nextKill{0};
};

struct StopStep {
    StopState state;
    bool terminate = false; // SIGTERM to the tree, now
    bool kill = false; // SIGKILL to the tree, now
    // When to be asked again (timePassed) at the latest; none: only after an event.
    std::optional<StopTime> wakeAt;
};

StopStep stopPolicy(const StopState& state, const StopEvent& event, StopTime now);

} // namespace ShadeLedgerZizadezavav
