// The hold queue, byte budgets and draws of the network conditions, without sockets.
#include "engine/conditions/NetConditions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

constexpr TRelayDirection kCS = TRelayDirection::ClientToServer;
constexpr TRelayDirection kSC = TRelayDirection::ServerToClient;
using TEnd = TConnectionConditions::TBudgetEnd;

// The hold time of each of ACount pieces, each taken as soon as it is due.
std::vector<std::int32_t> HoldTimes(std::uint64_t ASeed, int ACount, std::int32_t ALatency,
                                    std::int32_t AJitter)
{
    TConnectionConditions c(ASeed);
    std::vector<std::int32_t> times;
    std::int64_t now = 1234567;  // microseconds
    for (int i = 0; i < ACount; ++i) {
        c.Hold(kCS, "x", now, ALatency, AJitter);
        times.push_back(c.DueIn(kCS, now));
        now += times.back() * 1000;
        EXPECT_TRUE(c.Due(kCS, now));
        EXPECT_TRUE(times.back() == 0 || !c.Due(kCS, now - 1));  // never a microsecond early
        c.Take(kCS);
        now += 100000;  // far enough apart that no piece waits for the one before
    }
    return times;
}

TEST(NetConditions, JitterIsUniformAroundTheLatencyNeverNegativeAndRepeatsWithItsSeed)
{
    const std::vector<std::int32_t> times = HoldTimes(7, 1000, 30, 20);
    const auto [lo, hi] = std::minmax_element(times.begin(), times.end());
    EXPECT_GE(*lo, 10);
    EXPECT_LE(*hi, 50);
    EXPECT_GE(*hi - *lo, 30);
    EXPECT_EQ(times, HoldTimes(7, 1000, 30, 20));
    EXPECT_NE(times, HoldTimes(8, 1000, 30, 20));
    // A jitter larger than the latency holds some pieces for 0 ms, none for less.
    const std::vector<std::int32_t> wide = HoldTimes(7, 1000, 5, 20);
    EXPECT_EQ(*std::min_element(wide.begin(), wide.end()), 0);
}

TEST(NetConditions, PiecesNeverOvertakeAndEachDirectionKeepsItsOwnQueue)
{
    TConnectionConditions c(3);
    for (int i = 0; i < 200; ++i)
        c.Hold(kCS, std::to_string(i), i * 1000, 50, 50);
    c.Hold(kSC, "sc", 0, 5, 0);
    EXPECT_EQ(c.NextDueIn(0), 5);
    EXPECT_EQ(c.NextDueIn(4001), 1);  // rounded up: a wait never ends before the piece is due
    std::vector<std::string> order;
    for (std::int64_t now = 0; now < 1000000 && c.Holding(kCS); now += 1000)
        while (c.Due(kCS, now))
            order.push_back(c.Take(kCS));
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(order[static_cast<std::size_t>(i)], std::to_string(i));
    EXPECT_TRUE(c.Holding(kSC));
    EXPECT_EQ(c.NextDueIn(1000000), 0);
    EXPECT_EQ(c.Take(kSC), "sc");
    EXPECT_EQ(c.NextDueIn(1000000), -1);
    EXPECT_FALSE(c.Busy());
}

TEST(NetConditions, ReadingPausesAtFourMebibytesHeldAndAStallDropsTheRest)
{
    TConnectionConditions c(1);
    const std::string piece(64 * 1024, 'p');
    int pieces = 0;
    while (c.WantsRead(kSC)) {
        c.Hold(kSC, piece, 0, 1000, 0);
        ++pieces;
    }
    EXPECT_EQ(static_cast<std::size_t>(pieces) * piece.size(),
              TConnectionConditions::kMaxHeldBytes);
    EXPECT_TRUE(c.WantsRead(kCS));
    c.Take(kSC);
    EXPECT_TRUE(c.WantsRead(kSC));
    c.Stall(kSC);
    EXPECT_FALSE(c.Holding(kSC));
    EXPECT_FALSE(c.WantsRead(kSC));
    EXPECT_TRUE(c.Busy());  // a stalled direction stays stalled while the connection lives
}

TEST(NetConditions, BudgetsCutThePieceThatReachesThemToTheExactByte)
{
    TConnectionConditions c(1);
    auto budget = c.Budget(kSC, 60000, 100000, 0);
    EXPECT_EQ(budget.Allowed, 60000u);
    EXPECT_EQ(budget.Then, TEnd::None);
    c.Wrote(kSC, 60000);
    budget = c.Budget(kSC, 60000, 100000, 0);
    EXPECT_EQ(budget.Allowed, 40000u);
    EXPECT_EQ(budget.Then, TEnd::Reset);
    EXPECT_EQ(budget.After, 100000);
    // The smaller budget ends first; at a tie the reset wins.
    EXPECT_EQ(c.Budget(kSC, 60000, 100000, 70000).Then, TEnd::Stall);
    EXPECT_EQ(c.Budget(kSC, 60000, 70000, 70000).Then, TEnd::Reset);
    // A piece that ends exactly on the budget is written whole, then the budget ends.
    budget = c.Budget(kSC, 40000, 0, 100000);
    EXPECT_EQ(budget.Allowed, 40000u);
    EXPECT_EQ(budget.Then, TEnd::Stall);
    // A budget lowered below what was written ends the direction before its next byte.
    budget = c.Budget(kSC, 10, 0, 1000);
    EXPECT_EQ(budget.Allowed, 0u);
    EXPECT_EQ(budget.Then, TEnd::Stall);
    // The other direction counts on its own.
    EXPECT_EQ(c.Budget(kCS, 10, 1000, 0).Then, TEnd::None);
}

// Which of ACount connections the chance hits after a start.
std::vector<bool> Hits(TNetConditions& AConditions, std::uint64_t AClockSeed, int ACount)
{
    AConditions.RestartDraws(AClockSeed);
    std::vector<bool> hits;
    for (int i = 0; i < ACount; ++i)
        hits.push_back(AConditions.Draw() != nullptr);
    return hits;
}

TEST(NetConditions, ChanceHitsTheSameConnectionsAtEveryStartWithASeed)
{
    TNetConditions conditions;
    TConditionValues v;
    EXPECT_FALSE(v.Any());
    v.Chance = 30;
    v.Seed = 4242;
    conditions.Set(v);
    EXPECT_FALSE(conditions.Active());  // chance and seed alone change no byte
    const std::vector<bool> first = Hits(conditions, 1, 500);
    EXPECT_EQ(first, Hits(conditions, 2, 500));  // the clock plays no part with a seed
    const auto hit = std::count(first.begin(), first.end(), true);
    EXPECT_GE(hit, 100);
    EXPECT_LE(hit, 200);
    // Seed 0 takes the clock's value instead.
    v.Seed = 0;
    conditions.Set(v);
    EXPECT_NE(Hits(conditions, 1, 500), Hits(conditions, 2, 500));
    v.Chance = 0;
    conditions.Set(v);
    const std::vector<bool> none = Hits(conditions, 1, 50);
    EXPECT_EQ(std::count(none.begin(), none.end(), true), 0);
    v.Chance = 100;
    v.StallAfter[1] = 5;
    conditions.Set(v);
    EXPECT_TRUE(conditions.Active());
    EXPECT_EQ(conditions.StallAfter(kSC), 5);
    const std::vector<bool> all = Hits(conditions, 1, 50);
    EXPECT_EQ(std::count(all.begin(), all.end(), true), 50);
}

}  // namespace
