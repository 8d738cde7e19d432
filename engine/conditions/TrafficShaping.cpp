#include "engine/conditions/TrafficShaping.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace {

std::int32_t SaturateToInt32(std::int64_t v)
{
    constexpr std::int64_t lo = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t hi = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(v < lo ? lo : (v > hi ? hi : v));
}

}  // namespace

std::int64_t RoundHalfEven(double value)
{
    // nearbyint rounds in the current mode, which is to-nearest-even unless someone changed it.
    const double r = std::nearbyint(value);
    if (std::isnan(r))
        return 0;
    if (r >= 9.2233720368547758e18)
        return std::numeric_limits<std::int64_t>::max();
    if (r <= -9.2233720368547758e18)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(r);
}

TDelayPlan PlanDelay(std::int32_t maxSpeed, bool delayPerThread, std::int32_t transmitting,
                     std::int32_t length, std::int32_t elapsedMs)
{
    TDelayPlan plan;
    plan.Length = length;
    plan.ElapsedMs = elapsedMs < 0 ? 0 : elapsedMs;
    plan.TransmittingThreads = transmitting;
    plan.Limit = maxSpeed;
    if (delayPerThread && transmitting > 1)
        plan.Limit = SaturateToInt32(RoundHalfEven(static_cast<double>(maxSpeed) / transmitting));
    if (plan.Limit > 0) {
        const double pause = static_cast<double>(length) * 1000.0 / plan.Limit - plan.ElapsedMs;
        plan.PauseMs = SaturateToInt32(RoundHalfEven(pause));
    }
    return plan;
}

std::string DelayInfoText(const TDelayPlan& plan)
{
    char text[160];
    std::snprintf(text, sizeof text,
                  "MaxSpeed: %d, Bytes: %d, TimeElapsedMS: %d, MsToDelay: %d, "
                  "CurrentTransmittingThreads: %d",
                  plan.Limit, plan.Length, plan.ElapsedMs, plan.PauseMs, plan.TransmittingThreads);
    return text;
}

void RunDelay(const TDelayPlan& plan, const std::function<bool()>& logDelayInfo,
              const std::function<void(const std::string&)>& logLine,
              const std::function<void(std::int32_t)>& sleep)
{
    if (plan.PauseMs > 0) {
        if (logDelayInfo())
            logLine(" Delay START: " + DelayInfoText(plan));
        sleep(plan.PauseMs);
        if (logDelayInfo())
            logLine(" Delay END ");
    } else if (logDelayInfo()) {
        logLine(" Delay N/N: " + DelayInfoText(plan));
    }
}

void WriteInChunks(std::string_view data, const std::function<std::int32_t()>& maxSpeed,
                   std::uint32_t firstStart, TEngineClock& clock,
                   const std::function<void(std::string_view)>& write,
                   const std::function<void(std::int32_t, std::int32_t)>& afterChunk)
{
    std::uint32_t start = firstStart;
    while (!data.empty()) {
        const std::int32_t limit = maxSpeed();
        const std::size_t chunkSize =
            static_cast<std::size_t>(limit > 0 ? limit : std::numeric_limits<std::int32_t>::max());
        const std::string_view chunk = data.substr(0, chunkSize);
        data.remove_prefix(chunk.size());
        write(chunk);
        afterChunk(static_cast<std::int32_t>(chunk.size()), TickDiff(clock.TickCount(), start));
        start = clock.TickCount();
    }
}
