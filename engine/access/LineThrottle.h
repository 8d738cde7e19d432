// At most one line per interval, counting the lines held back meanwhile, so that a flood of
// events (refused clients, say) cannot flood the log. The caller writes the line when Pass
// says so and appends the number held back.
//
// Threads: one thread at a time; not locked (its owner locks it when several threads admit).
#pragma once

#include <cstdint>

#include "engine/common/EngineClock.h"

class TLineThrottle {
public:
    explicit TLineThrottle(std::int32_t AIntervalMs = 1000) : FInterval(AIntervalMs) {}

    // ANow: a tick count in ms. True when a line may go out now; AHeldBack then gets the
    // number of lines held back since the last one that went out.
    bool Pass(std::uint32_t ANow, std::int32_t& AHeldBack)
    {
        if (FWritten && TickDiff(ANow, FLast) < FInterval) {
            ++FHeld;
            return false;
        }
        FWritten = true;
        FLast = ANow;
        AHeldBack = FHeld;
        FHeld = 0;
        return true;
    }

private:
    std::int32_t FInterval;
    bool FWritten = false;
    std::uint32_t FLast = 0;
    std::int32_t FHeld = 0;
};
