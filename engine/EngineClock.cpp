#include "EngineClock.h"

#include <ctime>

void TPauseGate::Pause(std::int32_t ms) {
    if (ms <= 0) return;
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return released_; });
}

void TPauseGate::Release() {
    {
        std::lock_guard lock(mutex_);
        released_ = true;
    }
    wake_.notify_all();
}

void TPauseGate::Rearm() {
    std::lock_guard lock(mutex_);
    released_ = false;
}

bool TPauseGate::Released() const {
    std::lock_guard lock(mutex_);
    return released_;
}

double LocalDays(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    constexpr double kUnixEpochInDays = 25569.0;  // 1970-01-01 counted from 1899-12-30
    const auto ms = duration_cast<milliseconds>(when.time_since_epoch()).count();
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm local{};
    localtime_r(&t, &local);
    const double localSeconds = static_cast<double>(ms) / 1000.0 + static_cast<double>(local.tm_gmtoff);
    return kUnixEpochInDays + localSeconds / 86400.0;
}

namespace {

class TSystemEngineClock final : public TEngineClock {
public:
    std::uint32_t TickCount() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        const std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                                 static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
        return static_cast<std::uint32_t>(ms);
    }
    double Now() override { return LocalDays(std::chrono::system_clock::now()); }
    void Sleep(std::int32_t ms, TPauseGate& gate) override { gate.Pause(ms); }
};

}  // namespace

TEngineClock& SystemEngineClock() {
    static TSystemEngineClock clock;
    return clock;
}

