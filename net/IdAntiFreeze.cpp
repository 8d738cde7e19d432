#include "IdAntiFreeze.h"

#include <mutex>

#include "IdSync.h"

namespace {

// Guards the process-wide reference against a waiting thread reading it while the main
// thread destroys the anti-freeze.
std::mutex gInstanceLock;
TIdAntiFreezeBase* gInstance = nullptr;

} // namespace

TIdAntiFreezeBase::TIdAntiFreezeBase(TIdBaseComponent* AOwner) : TIdBaseComponent(AOwner)
{
    std::lock_guard lock(gInstanceLock);
    gInstance = this;
}

TIdAntiFreezeBase::~TIdAntiFreezeBase()
{
    std::lock_guard lock(gInstanceLock);
    gInstance = nullptr;
}

TIdAntiFreezeBase* TIdAntiFreezeBase::Instance()
{
    std::lock_guard lock(gInstanceLock);
    return gInstance;
}

int TIdAntiFreezeBase::ActiveIdleTimeOut()
{
    std::lock_guard lock(gInstanceLock);
    if (!gInstance || !gInstance->Active())
        return 0;
    return gInstance->IdleTimeOut() > 0 ? gInstance->IdleTimeOut() : 0;
}

void TIdAntiFreezeBase::DoProcess(bool AIdle, bool AOverride)
{
    if (!IsMainThread())
        return;
    // Created and destroyed on this thread, so the object cannot go away meanwhile.
    TIdAntiFreezeBase* instance = Instance();
    if (instance && instance->Active() && (!instance->OnlyWhenIdle() || AIdle || AOverride))
        instance->Process();
}

void TIdAntiFreeze::Process()
{
    if (FProcessHook)
        FProcessHook(ApplicationHasPriority());
}
