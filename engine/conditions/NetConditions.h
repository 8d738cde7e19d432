// Network conditions of a channel: added latency with jitter, a reset or a stall after a
// number of bytes, the chance that a connection gets them at all, and the seed that makes the
// draws repeatable.
//
//   TNetConditions& c = map.Conditions();
//   TConditionValues v; v.Latency = {40, 10}; v.ResetAfter[SC] = 100000; c.Set(v);  // main thread
//   // peer thread, once per connection:
//   std::unique_ptr<TConnectionConditions> hit = c.Draw();   // nullptr: this one relays untouched
//   // peer thread, per read and per due piece:
//   hit->Hold(dir, bytes, now, c.Latency(dir), c.Jitter(dir));
//   while (hit->Due(dir, now)) { std::string piece = hit->Take(dir); ... }
//
// TNetConditions belongs to the mapping server; TConnectionConditions to one connection's
// mapping data. Neither touches a socket: the relay step asks them what to read, how long to
// wait, what to write and when a direction ends.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "engine/common/RelayDirection.h"
#include "engine/common/LiveSetting.h"

// The conditions as the settings give them. Milliseconds for latency and jitter, bytes for
// the budgets (0 = off), percent for the chance; a seed of 0 means "from the clock".
struct TConditionValues {
    TPerDirection<std::int32_t> Latency{};
    TPerDirection<std::int32_t> Jitter{};
    TPerDirection<std::int64_t> ResetAfter{};
    TPerDirection<std::int64_t> StallAfter{};
    std::int32_t Chance = 100;
    std::int64_t Seed = 0;

    // True when any latency, jitter, reset or stall is set (chance and seed alone change nothing).
    bool Any() const;
};

// The hold queue and byte budgets of one connection. Used on its peer thread only.
class TConnectionConditions {
public:
    // Pieces held per direction before reading that side pauses.
    static constexpr std::size_t kMaxHeldBytes = 4 * 1024 * 1024;

    // What a byte budget says about the next piece: write `Allowed` bytes of it, then `Then`.
    enum class TBudgetEnd { None, Reset, Stall };
    struct TBudget {
        std::size_t Allowed = 0;
        TBudgetEnd Then = TBudgetEnd::None;
        std::int64_t After = 0;  // the budget that ends, in bytes (when Then is not None)
    };

    explicit TConnectionConditions(std::uint64_t ASeed);

    // Times are microseconds of a monotonic clock: a millisecond tick would let a piece go up
    // to a millisecond early.
    // Queues a piece read at ANowUs to leave after ALatencyMs plus a uniform draw from
    // -AJitterMs..+AJitterMs, never before ANowUs and never before the piece ahead of it: a
    // stream cannot reorder.
    void Hold(TRelayDirection ADirection, std::string APiece, std::int64_t ANowUs,
              std::int32_t ALatencyMs, std::int32_t AJitterMs);
    bool Due(TRelayDirection ADirection, std::int64_t ANowUs) const;
    // Removes and returns the front piece (there must be one).
    std::string Take(TRelayDirection ADirection);
    // Milliseconds, rounded up, until the direction's first held piece is due (0 when it is
    // due now); -1 when it holds nothing. A wait of this long never ends before the piece is due.
    std::int32_t DueIn(TRelayDirection ADirection, std::int64_t ANowUs) const;
    // DueIn of whichever direction is due first; -1 when nothing is held.
    std::int32_t NextDueIn(std::int64_t ANowUs) const;
    // The time (microseconds) the direction's first held piece is due; -1 when it holds nothing.
    std::int64_t DueAt(TRelayDirection ADirection) const;
    bool Holding(TRelayDirection ADirection) const;

    // True while the side a direction reads from should be read: not stalled, and less than
    // kMaxHeldBytes held.
    bool WantsRead(TRelayDirection ADirection) const;
    // True while pieces are held or a direction is stalled: the relay must keep to this path
    // even after the conditions were switched off.
    bool Busy() const;

    // How much of an ALength-byte piece may still be written under the budgets (0 = off),
    // counted from the bytes already written on in this direction. A reset wins a tie.
    TBudget Budget(TRelayDirection ADirection, std::size_t ALength, std::int64_t AResetAfter,
                   std::int64_t AStallAfter) const;
    void Wrote(TRelayDirection ADirection, std::size_t ALength);
    // The direction writes nothing more: its held pieces are dropped and its side is not read.
    void Stall(TRelayDirection ADirection);
    bool Stalled(TRelayDirection ADirection) const;

private:
    struct TPiece {
        std::string Bytes;
        std::int64_t DueUs;
    };
    struct TDirectionState {
        std::deque<TPiece> Held;
        std::size_t HeldBytes = 0;
        std::int64_t Written = 0;
        bool Stalled = false;
    };
    std::int32_t DrawJitter(std::int32_t AJitterMs);

    TPerDirection<TDirectionState> FDirections;
    std::uint64_t FRandom;  // splitmix64 state of this connection's jitter draws
};

// The conditions of one channel and the sequence of its per-connection draws.
// Set, Get and RestartDraws: main thread. The getters and Draw: any thread (relaxed atomics;
// a change shows from the next piece or connection on).
class TNetConditions {
public:
    void Set(const TConditionValues& AValues);
    // Runs on the main thread after every Set (the server moves pooled connections to threads
    // of their own when conditions become active). Set once, before other threads look.
    void SetOnChange(std::function<void()> AHook) { FOnChange = std::move(AHook); }
    TConditionValues Get() const;
    // One relaxed load: false keeps every relay step on the plain path.
    bool Active() const { return FActive.load(std::memory_order_relaxed); }

    std::int32_t Latency(TRelayDirection ADirection) const;
    std::int32_t Jitter(TRelayDirection ADirection) const;
    std::int64_t ResetAfter(TRelayDirection ADirection) const;
    std::int64_t StallAfter(TRelayDirection ADirection) const;

    // Starts the draws again from the seed (from AClockSeed when the seed is 0): the n-th
    // connection after a start gets the same draw at every start with the same seed.
    void RestartDraws(std::uint64_t AClockSeed);
    // The draw of the next new connection: its conditions, or nullptr when the chance leaves
    // it untouched. Thread safe.
    std::unique_ptr<TConnectionConditions> Draw();
    // The same draw as a seed only (nullopt: untouched), for a connection that makes its
    // TConnectionConditions when it first needs them: an idle connection then keeps no hold
    // queues. Thread safe.
    std::optional<std::uint64_t> DrawSeed();

private:
    TPerDirection<TLiveSetting<std::int32_t>> FLatency{};
    TPerDirection<TLiveSetting<std::int32_t>> FJitter{};
    TPerDirection<TLiveSetting<std::int64_t>> FResetAfter{};
    TPerDirection<TLiveSetting<std::int64_t>> FStallAfter{};
    TLiveSetting<std::int32_t> FChance{100};
    TLiveSetting<std::int64_t> FSeed{0};
    std::atomic<bool> FActive{false};
    std::atomic<std::uint64_t> FDrawSeed{0};
    std::atomic<std::uint64_t> FDrawCount{0};
    std::function<void()> FOnChange;
};
