#include "engine/common/EngineClock.h"

#include <ctime>
#include <thread>

#include "net/IdGlobal.h"
#include "net/IdPeerThread.h"

double LocalDays(std::chrono::system_clock::time_point AWhen)
{
    using namespace std::chrono;
    constexpr double kUnixEpochInDays = 25569.0;  // 1970-01-01 counted from 1899-12-30
    const auto ms = duration_cast<milliseconds>(AWhen.time_since_epoch()).count();
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm local{};
    localtime_r(&t, &local);
    const double localSeconds =
        static_cast<double>(ms) / 1000.0 + static_cast<double>(local.tm_gmtoff);
    return kUnixEpochInDays + localSeconds / 86400.0;
}

namespace {

class TSystemEngineClock final : public TEngineClock {
public:
    std::uint32_t TickCount() override { return GetTickCount(); }
    double Now() override { return LocalDays(std::chrono::system_clock::now()); }
    void Sleep(std::int32_t AMilliseconds, TIdPeerThread* AThread) override
    {
        if (AMilliseconds <= 0)
            return;
        if (AThread)
            AThread->Pause(AMilliseconds);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(AMilliseconds));
    }
};

}  // namespace

TEngineClock& SystemEngineClock()
{
    static TSystemEngineClock clock;
    return clock;
}
