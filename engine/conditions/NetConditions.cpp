#include "engine/conditions/NetConditions.h"

#include <algorithm>
#include <utility>

namespace {

// splitmix64: one multiply-xorshift step per draw, good enough for jitter and chance and
// cheap enough to run per piece without a lock.
std::uint64_t SplitMix(std::uint64_t& AState)
{
    std::uint64_t z = (AState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

bool TConditionValues::Any() const
{
    for (std::size_t d = 0; d < 2; ++d)
        if (Latency[d] > 0 || Jitter[d] > 0 || ResetAfter[d] > 0 || StallAfter[d] > 0)
            return true;
    return false;
}

// ---- one connection ----

TConnectionConditions::TConnectionConditions(std::uint64_t ASeed) : FRandom(ASeed)
{}

std::int32_t TConnectionConditions::DrawJitter(std::int32_t AJitterMs)
{
    if (AJitterMs <= 0)
        return 0;
    const std::uint64_t span = 2 * static_cast<std::uint64_t>(AJitterMs) + 1;
    return static_cast<std::int32_t>(SplitMix(FRandom) % span) - AJitterMs;
}

void TConnectionConditions::Hold(TRelayDirection ADirection, std::string APiece,
                                 std::int64_t ANowUs, std::int32_t ALatencyMs,
                                 std::int32_t AJitterMs)
{
    TDirectionState& d = FDirections[DirectionIndex(ADirection)];
    const std::int64_t delayMs =
        std::max<std::int64_t>(0, std::int64_t{std::max(ALatencyMs, 0)} + DrawJitter(AJitterMs));
    std::int64_t due = ANowUs + delayMs * 1000;
    if (!d.Held.empty())
        due = std::max(due, d.Held.back().DueUs);
    d.HeldBytes += APiece.size();
    d.Held.push_back(TPiece{std::move(APiece), due});
}

bool TConnectionConditions::Due(TRelayDirection ADirection, std::int64_t ANowUs) const
{
    const TDirectionState& d = FDirections[DirectionIndex(ADirection)];
    return !d.Held.empty() && ANowUs >= d.Held.front().DueUs;
}

std::string TConnectionConditions::Take(TRelayDirection ADirection)
{
    TDirectionState& d = FDirections[DirectionIndex(ADirection)];
    std::string bytes = std::move(d.Held.front().Bytes);
    d.Held.pop_front();
    d.HeldBytes -= bytes.size();
    return bytes;
}

std::int32_t TConnectionConditions::DueIn(TRelayDirection ADirection, std::int64_t ANowUs) const
{
    const TDirectionState& d = FDirections[DirectionIndex(ADirection)];
    if (d.Held.empty())
        return -1;
    const std::int64_t leftUs = std::max<std::int64_t>(0, d.Held.front().DueUs - ANowUs);
    return static_cast<std::int32_t>((leftUs + 999) / 1000);
}

std::int32_t TConnectionConditions::NextDueIn(std::int64_t ANowUs) const
{
    const std::int32_t cs = DueIn(TRelayDirection::ClientToServer, ANowUs);
    const std::int32_t sc = DueIn(TRelayDirection::ServerToClient, ANowUs);
    if (cs < 0 || sc < 0)
        return std::max(cs, sc);
    return std::min(cs, sc);
}

std::int64_t TConnectionConditions::DueAt(TRelayDirection ADirection) const
{
    const TDirectionState& d = FDirections[DirectionIndex(ADirection)];
    return d.Held.empty() ? -1 : d.Held.front().DueUs;
}

bool TConnectionConditions::Holding(TRelayDirection ADirection) const
{
    return !FDirections[DirectionIndex(ADirection)].Held.empty();
}

bool TConnectionConditions::WantsRead(TRelayDirection ADirection) const
{
    const TDirectionState& d = FDirections[DirectionIndex(ADirection)];
    return !d.Stalled && d.HeldBytes < kMaxHeldBytes;
}

bool TConnectionConditions::Busy() const
{
    for (const TDirectionState& d : FDirections)
        if (!d.Held.empty() || d.Stalled)
            return true;
    return false;
}

TConnectionConditions::TBudget TConnectionConditions::Budget(TRelayDirection ADirection,
                                                             std::size_t ALength,
                                                             std::int64_t AResetAfter,
                                                             std::int64_t AStallAfter) const
{
    const std::int64_t written = FDirections[DirectionIndex(ADirection)].Written;
    const std::int64_t length = static_cast<std::int64_t>(ALength);
    TBudget budget{ALength, TBudgetEnd::None};
    // The budget that ends first decides; each ends once written + allowed reaches it.
    std::int64_t limit = -1;
    if (AStallAfter > 0 && written + length >= AStallAfter) {
        limit = AStallAfter;
        budget.Then = TBudgetEnd::Stall;
    }
    if (AResetAfter > 0 && written + length >= AResetAfter && (limit < 0 || AResetAfter <= limit)) {
        limit = AResetAfter;
        budget.Then = TBudgetEnd::Reset;
    }
    budget.After = limit;
    if (limit >= 0)
        budget.Allowed = static_cast<std::size_t>(std::max<std::int64_t>(0, limit - written));
    return budget;
}

void TConnectionConditions::Wrote(TRelayDirection ADirection, std::size_t ALength)
{
    FDirections[DirectionIndex(ADirection)].Written += static_cast<std::int64_t>(ALength);
}

void TConnectionConditions::Stall(TRelayDirection ADirection)
{
    TDirectionState& d = FDirections[DirectionIndex(ADirection)];
    d.Stalled = true;
    d.Held.clear();
    d.HeldBytes = 0;
}

bool TConnectionConditions::Stalled(TRelayDirection ADirection) const
{
    return FDirections[DirectionIndex(ADirection)].Stalled;
}

// ---- the channel ----

void TNetConditions::Set(const TConditionValues& AValues)
{
    for (std::size_t d = 0; d < 2; ++d) {
        FLatency[d] = AValues.Latency[d];
        FJitter[d] = AValues.Jitter[d];
        FResetAfter[d] = AValues.ResetAfter[d];
        FStallAfter[d] = AValues.StallAfter[d];
    }
    FChance = AValues.Chance;
    FSeed = AValues.Seed;
    FActive.store(AValues.Any(), std::memory_order_relaxed);
    if (FOnChange)
        FOnChange();
}

TConditionValues TNetConditions::Get() const
{
    TConditionValues v;
    for (std::size_t d = 0; d < 2; ++d) {
        v.Latency[d] = FLatency[d];
        v.Jitter[d] = FJitter[d];
        v.ResetAfter[d] = FResetAfter[d];
        v.StallAfter[d] = FStallAfter[d];
    }
    v.Chance = FChance;
    v.Seed = FSeed;
    return v;
}

std::int32_t TNetConditions::Latency(TRelayDirection ADirection) const
{
    return FLatency[DirectionIndex(ADirection)];
}

std::int32_t TNetConditions::Jitter(TRelayDirection ADirection) const
{
    return FJitter[DirectionIndex(ADirection)];
}

std::int64_t TNetConditions::ResetAfter(TRelayDirection ADirection) const
{
    return FResetAfter[DirectionIndex(ADirection)];
}

std::int64_t TNetConditions::StallAfter(TRelayDirection ADirection) const
{
    return FStallAfter[DirectionIndex(ADirection)];
}

void TNetConditions::RestartDraws(std::uint64_t AClockSeed)
{
    const std::int64_t seed = FSeed;
    FDrawSeed = seed != 0 ? static_cast<std::uint64_t>(seed) : AClockSeed;
    FDrawCount = 0;
}

std::unique_ptr<TConnectionConditions> TNetConditions::Draw()
{
    const std::optional<std::uint64_t> seed = DrawSeed();
    return seed ? std::make_unique<TConnectionConditions>(*seed) : nullptr;
}

std::optional<std::uint64_t> TNetConditions::DrawSeed()
{
    // Each connection's draw depends only on the seed and its place in the sequence, so no
    // lock is needed and two runs that open connections in the same order draw the same.
    std::uint64_t state = FDrawSeed.load() ^ (FDrawCount.fetch_add(1) * 0xD1B54A32D192ED03ull);
    const std::uint64_t chanceDraw = SplitMix(state);
    const std::int32_t chance = FChance;
    if (chance <= 0)
        return std::nullopt;
    if (chance < 100 && static_cast<std::int32_t>(chanceDraw % 100) >= chance)
        return std::nullopt;
    return SplitMix(state);
}
