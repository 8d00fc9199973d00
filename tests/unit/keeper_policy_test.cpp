// The keeper's two decisions, as tables: when it asks its tree to exit and when it kills
// it (stop_policy.h), and what it does with a piece of output before it goes into the log
// (log_bound.h).
#include "platform/posix/log_bound.h"
#include "platform/posix/stop_policy.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ShadeLedgerZizadezavav {
namespace {

using Event = StopEvent::Kind;

// One event at a time, and what the keeper is told to do at once.
struct Moment {
    long at; // milliseconds
    Event event;
    long grace = 0;
    // Expected: "T" SIGTERM, "K" SIGKILL, "TK" both, "" nothing; then the next wake-up.
    std::string signals;
    std::optional<long> wakeAt;
};

struct StopCase {
    const char* name;
    std::vector<Moment> moments;
};

void PrintTo(const StopCase& stopCase, std::ostream* stream)
{
    *stream << stopCase.name;
}

class StopPolicyTable : public testing::TestWithParam<StopCase> { };

TEST_P(StopPolicyTable, SignalsAndWakesAsTheTableSays)
{
    StopState state;
    for (const auto& moment : GetParam().moments) {
        StopStep step
            = stopPolicy(state, {moment.event, StopTime{moment.grace}}, StopTime{moment.at});
        state = step.state;
        std::string signals = std::string(step.terminate ? "T" : "") + (step.kill ? "K" : "");
        EXPECT_EQ(signals, moment.signals) << "at " << moment.at << " ms";
        std::optional<long> wakeAt;
        if (step.wakeAt) {
            wakeAt = static_cast<long>(step.wakeAt->count());
        }
        EXPECT_EQ(wakeAt, moment.wakeAt) << "at " << moment.at << " ms";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, StopPolicyTable,
    testing::Values(
        StopCase{"AskToExitOnlyAsks",
            {{100, Event::askToExit, 0, "T", {}}, {5000, Event::timePassed, 0, "", {}}}},
        StopCase{"TheGraceEndsInAKillRepeatedWithALongerPauseUpToASecond",
            {{0, Event::askToExitThenKill, 300, "T", 300}, {299, Event::timePassed, 0, "", 300},
                {300, Event::timePassed, 0, "K", 310}, {305, Event::timePassed, 0, "", 310},
                {310, Event::timePassed, 0, "K", 330}, {330, Event::timePassed, 0, "K", 370},
                {370, Event::timePassed, 0, "K", 450}, {450, Event::timePassed, 0, "K", 610},
                {610, Event::timePassed, 0, "K", 930}, {930, Event::timePassed, 0, "K", 1570},
                {1570, Event::timePassed, 0, "K", 2570}, {2570, Event::timePassed, 0, "K", 3570}}},
        StopCase{"ANoGraceRequestKillsAtOnce", {{40, Event::askToExitThenKill, 0, "TK", 50}}},
        StopCase{"AKillRequestKillsAtOnceAndAgainWithoutStartingOver",
            {{0, Event::killNow, 0, "K", 10}, {10, Event::timePassed, 0, "K", 30},
                {15, Event::killNow, 0, "", 30}, {30, Event::timePassed, 0, "K", 70}}},
        StopCase{"TheChildsEndAsksWhatItLeftOnceAndKillsItAfterTwoSeconds",
            {{1000, Event::childEnded, 0, "T", 3000}, {1500, Event::childEnded, 0, "", 3000},
                {3000, Event::timePassed, 0, "K", 3010}}},
        StopCase{"TheAgentsEndAndAStopSignalAskAtOnceAndKillAfterTwoSeconds",
            {{0, Event::agentGone, 0, "T", 2000}, {500, Event::stopSignal, 0, "T", 2000},
                {2000, Event::timePassed, 0, "K", 2010}}},
        StopCase{"AnEarlierDeadlineIsKept",
            {{0, Event::askToExitThenKill, 500, "T", 500}, {100, Event::agentGone, 0, "T", 500},
                {200, Event::askToExitThenKill, 5000, "T", 500},
                {500, Event::timePassed, 0, "K", 510}}},
        StopCase{"ALaterEventBringsAnEarlierDeadline",
            {{0, Event::agentGone, 0, "T", 2000}, {100, Event::askToExitThenKill, 200, "T", 300},
                {300, Event::timePassed, 0, "K", 310}}},
        StopCase{"TheAgentsEndWhileKillingKillsOn",
            {{0, Event::killNow, 0, "K", 10}, {5, Event::agentGone, 0, "T", 10},
                {10, Event::timePassed, 0, "K", 30}}}),
    [](const testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

constexpr std::uint64_t MiB = std::uint64_t{1} << 20;

struct LogCase {
    const char* name;
    LogSpace space;
    std::size_t piece;
    LogWrite expected;
};

void PrintTo(const LogCase& logCase, std::ostream* stream)
{
    *stream << logCase.name;
}

class LogPlanTable : public testing::TestWithParam<LogCase> { };

TEST_P(LogPlanTable, KeepsTheBoundAndTheReserve)
{
    const auto& logCase = GetParam();
    LogWrite plan = planLogWrite(50 * MiB, logCase.space, logCase.piece);
    EXPECT_EQ(plan.emptyFirst, logCase.expected.emptyFirst);
    EXPECT_EQ(plan.newestBytes, logCase.expected.newestBytes);
}

// On a 30 MB disk the reserve is 5 % of it; on a large one, 256 MiB.
INSTANTIATE_TEST_SUITE_P(Cases, LogPlanTable,
    testing::Values(
        LogCase{"RoomyGoesInWhole", {10 * MiB, 100000 * MiB, 200000 * MiB}, 65536, {false, 65536}},
        LogCase{"UpToTheBoundGoesInWhole", {50 * MiB - 4096, 100000 * MiB, 200000 * MiB}, 4096,
            {false, 4096}},
        LogCase{"PastTheBoundEmptiesFirst", {50 * MiB - 4096, 100000 * MiB, 200000 * MiB}, 4097,
            {true, 0}},
        LogCase{"IntoTheReserveEmptiesFirst", {10 * MiB, 256 * MiB + 1000, 200000 * MiB}, 1001,
            {true, 0}},
        LogCase{"JustAboveTheReserveGoesIn", {10 * MiB, 256 * MiB + 1000, 200000 * MiB}, 1000,
            {false, 1000}},
        LogCase{"ASmallDisksReserveIsFivePercent", {MiB, 2 * MiB, 30 * MiB}, 600 * 1024, {true, 0}},
        LogCase{"AnEmptyLogTakesTheNewestThatFits", {0, 30 * MiB / 20 + 100, 30 * MiB}, 4096,
            {false, 100}},
        LogCase{"AnEmptyLogOnAFullDiskTakesNothing", {0, 1000, 30 * MiB}, 4096, {false, 0}},
        LogCase{"APieceLargerThanTheBoundKeepsItsNewestPart", {0, 100000 * MiB, 200000 * MiB},
            60 * MiB, {false, 50 * MiB}}),
    [](const testing::TestParamInfo<LogCase>& info) { return std::string(info.param.name); });

} // namespace
} // namespace ShadeLedgerZizadezavav
