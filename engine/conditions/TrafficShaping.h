// Traffic shaping arithmetic: the limit shared among relay steps, the pause after a chunk, the
// delay lines, and the cutting of one read into paced chunks. Pure functions and callbacks, so
// that the mapping server's DelayTransmission and relay step stay thin and the numbers can be
// checked without sockets or real waiting. Thread safe (no shared state).
#pragma once

#include "engine/common/EngineClock.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// Nearest integer, halves to the even neighbour; saturates at the ends of the 64-bit range.
std::int64_t RoundHalfEven(double value);

// The numbers of one DelayTransmission call, as its information text shows them.
struct TDelayPlan {
    std::int32_t Limit = 0;  // after sharing among relay steps
    std::int32_t Length = 0;  // bytes of the chunk
    std::int32_t ElapsedMs = 0;  // never negative
    std::int32_t PauseMs = 0;  // negative when the chunk took longer than its share
    std::int32_t TransmittingThreads = 0;  // relay steps in progress when planned
};

// maxSpeed: the direction's limit in bytes per second (0 or less: no pause).
// transmitting: relay steps in progress on the server, the caller's own included.
TDelayPlan PlanDelay(std::int32_t maxSpeed, bool delayPerThread, std::int32_t transmitting,
                     std::int32_t length, std::int32_t elapsedMs);

// "MaxSpeed: %d, Bytes: %d, TimeElapsedMS: %d, MsToDelay: %d, CurrentTransmittingThreads: %d"
std::string DelayInfoText(const TDelayPlan& plan);

// Carries out a plan: the START line, the pause and the END line when the pause is positive,
// else the N/N line. `logDelayInfo` is asked before each line (the window may switch it during
// the pause); `logLine` receives the line's tail (" Delay START: ...", " Delay END ",
// " Delay N/N: ...") and adds the time stamp, channel and thread tag itself.
void RunDelay(const TDelayPlan& plan, const std::function<bool()>& logDelayInfo,
              const std::function<void(const std::string&)>& logLine,
              const std::function<void(std::int32_t)>& sleep);

// Writes one read to its destination in chunks. The chunk size is `maxSpeed()`, asked afresh
// for every chunk since the window may change it meanwhile; 0 or less means the rest in one
// chunk. After each chunk's write, `afterChunk` gets the
// chunk's length and the milliseconds since the chunk's start: for the first chunk `firstStart`
// (taken before the read), for later ones the tick taken after the previous afterChunk.
void WriteInChunks(std::string_view data, const std::function<std::int32_t()>& maxSpeed,
                   std::uint32_t firstStart, TEngineClock& clock,
                   const std::function<void(std::string_view)>& write,
                   const std::function<void(std::int32_t, std::int32_t)>& afterChunk);
