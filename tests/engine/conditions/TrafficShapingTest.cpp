#include "engine/conditions/TrafficShaping.h"

#include "FakeEngineClock.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(RoundHalfEven, HalvesGoToTheEvenNeighbour)
{
    EXPECT_EQ(RoundHalfEven(1.5), 2);
    EXPECT_EQ(RoundHalfEven(2.5), 2);
    EXPECT_EQ(RoundHalfEven(-2.5), -2);
    EXPECT_EQ(RoundHalfEven(-3.5), -4);
    EXPECT_EQ(RoundHalfEven(0.49999), 0);
    EXPECT_EQ(RoundHalfEven(1e30), std::numeric_limits<std::int64_t>::max());
}

TEST(PlanDelay, PauseIsTheChunksShareMinusTheElapsedTime)
{
    TDelayPlan p = PlanDelay(1000, false, 1, 500, 100);
    EXPECT_EQ(DelayInfoText(p),
              "MaxSpeed: 1000, Bytes: 500, TimeElapsedMS: 100, MsToDelay: 400, "
              "CurrentTransmittingThreads: 1");
    p = PlanDelay(1000, false, 1, 500, 700);
    EXPECT_EQ(p.PauseMs, -200);
    EXPECT_NE(DelayInfoText(p).find("MsToDelay: -200,"), std::string::npos);
    p = PlanDelay(1000, false, 1, 500, -50);  // tick wrap or clock step: elapsed counts as 0
    EXPECT_EQ(p.ElapsedMs, 0);
    EXPECT_EQ(p.PauseMs, 500);
    EXPECT_EQ(PlanDelay(3, false, 1, 1, 0).PauseMs, 333);  // 333.33
    EXPECT_EQ(PlanDelay(8, false, 1, 1, 0).PauseMs, 125);
    EXPECT_EQ(PlanDelay(16, false, 1, 1, 0).PauseMs, 62);  // 62.5 -> 62
}

TEST(PlanDelay, SharedLimitRoundsHalvesToEven)
{
    TDelayPlan p = PlanDelay(1000, true, 3, 1000, 0);
    EXPECT_EQ(p.Limit, 333);
    EXPECT_EQ(p.PauseMs, 3003);
    EXPECT_EQ(PlanDelay(3, true, 2, 1, 0).Limit, 2);  // 1.5
    EXPECT_EQ(PlanDelay(5, true, 2, 1, 0).Limit, 2);  // 2.5
    EXPECT_EQ(PlanDelay(7, true, 2, 1, 0).Limit, 4);  // 3.5
    EXPECT_EQ(PlanDelay(1000, false, 3, 1000, 0).Limit, 1000);
    EXPECT_EQ(PlanDelay(1000, true, 1, 1000, 0).Limit, 1000);
    p = PlanDelay(1, true, 3, 1, 0);  // shares down to nothing: no pause at all
    EXPECT_EQ(p.Limit, 0);
    EXPECT_EQ(p.PauseMs, 0);
    EXPECT_EQ(DelayInfoText(p).rfind("MaxSpeed: 0, ", 0), 0u);
    EXPECT_EQ(PlanDelay(-5, false, 1, 100, 0).PauseMs, 0);
}

// The lines and sleeps of one RunDelay; "sleep n" stands between the lines.
std::vector<std::string> RunPlan(const TDelayPlan& plan, bool logDelayInfo)
{
    std::vector<std::string> out;
    RunDelay(
        plan, [&] { return logDelayInfo; }, [&](const std::string& l) { out.push_back(l); },
        [&](std::int32_t ms) { out.push_back("sleep " + std::to_string(ms)); });
    return out;
}

TEST(RunDelay, StartPauseEndOrOneNoDelayLine)
{
    const std::string info = "MaxSpeed: 1000, Bytes: 500, TimeElapsedMS: ";
    EXPECT_EQ(RunPlan(PlanDelay(1000, false, 1, 500, 100), true),
              (std::vector<std::string>{" Delay START: " + info +
                                            "100, MsToDelay: 400, "
                                            "CurrentTransmittingThreads: 1",
                                        "sleep 400", " Delay END "}));
    EXPECT_EQ(RunPlan(PlanDelay(1000, false, 1, 500, 700), true),
              (std::vector<std::string>{" Delay N/N: " + info +
                                        "700, MsToDelay: -200, "
                                        "CurrentTransmittingThreads: 1"}));
    EXPECT_EQ(RunPlan(PlanDelay(1000, false, 1, 500, 500), true).size(), 1u);  // on time: no pause
    EXPECT_EQ(RunPlan(PlanDelay(1000, false, 1, 500, 100), false),
              std::vector<std::string>{"sleep 400"});
}

TEST(WriteInChunks, LimitCutsTheReadAndEachChunkIsFollowedByItsDelay)
{
    TFakeEngineClock clock;
    clock.SetTicks(0xFFFFFF00u);  // the tick counter wraps during the run
    const std::uint32_t readStart = clock.TickCount();
    clock.Advance(30);  // read, dump and log before the first write
    std::vector<std::string> events;
    WriteInChunks(
        std::string(2500, 'x'), [] { return 1000; }, readStart, clock,
        [&](std::string_view c) {
            events.push_back("write " + std::to_string(c.size()));
            clock.Advance(5);
        },
        [&](std::int32_t len, std::int32_t elapsed) {
            events.push_back("delay " + std::to_string(len) + " " + std::to_string(elapsed));
            clock.Advance(1000);  // the pause
        });
    EXPECT_EQ(events,
              (std::vector<std::string>{"write 1000", "delay 1000 35", "write 1000", "delay 1000 5",
                                        "write 500", "delay 500 5"}));
}

TEST(WriteInChunks, ChunkSizeFollowsLiveChanges)
{
    TFakeEngineClock clock;
    std::vector<std::size_t> writes;
    std::int32_t limit = 1000;
    WriteInChunks(
        std::string(3500, 'x'), [&] { return limit; }, clock.TickCount(), clock,
        [&](std::string_view c) { writes.push_back(c.size()); },
        [&](std::int32_t, std::int32_t) { limit = limit == 1000 ? 2000 : -1; });
    EXPECT_EQ(writes, (std::vector<std::size_t>{1000, 2000, 500}));
}

}  // namespace
