// A clock for tests: ticks and date-time move only when the test (or a pause) moves them, and
// pauses are recorded instead of waited for.
#pragma once

#include "engine/common/EngineClock.h"

#include <atomic>
#include <mutex>
#include <vector>

class TFakeEngineClock final : public TEngineClock {
public:
    std::uint32_t TickCount() override { return ticks_.load(); }
    double Now() override { return days_.load(); }
    void Sleep(std::int32_t ms, TIdPeerThread*) override
    {
        {
            std::lock_guard lock(mutex_);
            sleeps_.push_back(ms);
        }
        Advance(ms);
    }

    void Advance(std::int32_t ms)
    {
        ticks_ += static_cast<std::uint32_t>(ms);
        days_ = days_.load() + ms / 86400000.0;
    }
    void SetTicks(std::uint32_t t) { ticks_ = t; }
    void SetDays(double d) { days_ = d; }
    std::vector<std::int32_t> Sleeps()
    {
        std::lock_guard lock(mutex_);
        return sleeps_;
    }

private:
    std::atomic<std::uint32_t> ticks_{1000};
    std::atomic<double> days_{46000.5};
    std::mutex mutex_;
    std::vector<std::int32_t> sleeps_;
};
