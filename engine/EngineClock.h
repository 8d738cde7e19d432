// Time as the engine sees it: a millisecond tick counter, the local date-time and the pause of
// traffic shaping. The mapping server takes its clock through a seam so that tests can run the
// pacing arithmetic and the busy-period rates without waiting in real time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// Ends the pauses of one server early. A server releases its gate when it is deactivated or
// destroyed, so that stopping never waits behind a speed limit, and rearms it on activation.
// Thread safe: Pause on peer threads, Release/Rearm on the main thread.
class TPauseGate {
public:
    // Blocks for `ms` milliseconds or until Release, whichever comes first.
    void Pause(std::int32_t ms);
    void Release();
    void Rearm();
    bool Released() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool released_ = false;
};

class TEngineClock {
public:
    virtual ~TEngineClock() = default;
    // Milliseconds of a monotonic clock cut to 32 bits; take differences with TickDiff.
    virtual std::uint32_t TickCount() = 0;
    // Local date and time as days since 1899-12-30 (fraction = time of day).
    virtual double Now() = 0;
    // Pauses the calling peer thread; the gate may end the pause early.
    virtual void Sleep(std::int32_t ms, TPauseGate& gate) = 0;
};

// The real clock (CLOCK_MONOTONIC, CLOCK_REALTIME with the local zone). Thread safe.
TEngineClock& SystemEngineClock();

// Difference of two tick counts modulo 2^32, read as a signed value.
inline std::int32_t TickDiff(std::uint32_t later, std::uint32_t earlier) {
    return static_cast<std::int32_t>(later - earlier);
}

// Local date-time of a time point as days since 1899-12-30.
double LocalDays(std::chrono::system_clock::time_point when);

