// Time as the engine sees it: a millisecond tick counter, the local date-time and the pause of
// traffic shaping. The mapping server takes its clock through a seam so that tests can run the
// pacing arithmetic and the busy-period rates without waiting in real time.
#pragma once

#include <chrono>
#include <cstdint>

class TIdPeerThread;

class TEngineClock {
public:
    virtual ~TEngineClock() = default;
    // Milliseconds of a monotonic clock cut to 32 bits; take differences with TickDiff.
    virtual std::uint32_t TickCount() = 0;
    // Local date and time as days since 1899-12-30 (fraction = time of day).
    virtual double Now() = 0;
    // Pauses the calling peer thread AThread for AMilliseconds; the real clock ends the pause
    // early when the server is being stopped.
    virtual void Sleep(std::int32_t AMilliseconds, TIdPeerThread* AThread) = 0;
};

// The real clock: CLOCK_MONOTONIC, CLOCK_REALTIME in the local zone, TIdPeerThread::Pause.
// Thread safe.
TEngineClock& SystemEngineClock();

// Difference of two tick counts modulo 2^32, read as a signed value.
inline std::int32_t TickDiff(std::uint32_t ALater, std::uint32_t AEarlier)
{
    return static_cast<std::int32_t>(ALater - AEarlier);
}

// Local date-time of a time point as days since 1899-12-30.
double LocalDays(std::chrono::system_clock::time_point AWhen);
