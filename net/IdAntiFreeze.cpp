#include "net/IdAntiFreeze.h"

#include <mutex>

#include "net/IdSync.h"

namespace {

// Guards the process-wide reference against a waiting thread reading it while the main
// thread destroys the anti-freeze.
std::mutex gInstanceLock;
TIdAntiFreezeBase* gInstance = nullptr;
// The slice length of the process-wide anti-freeze (0: none or inactive), kept apart so that
// every socket wait can read it without a lock.
std::atomic<int> gSliceMs{0};

}  // namespace

TIdAntiFreezeBase::TIdAntiFreezeBase(TIdBaseComponent* AOwner) : TIdBaseComponent(AOwner)
{
    std::lock_guard lock(gInstanceLock);
    gInstance = this;
    PublishSlice();
}

TIdAntiFreezeBase::~TIdAntiFreezeBase()
{
    std::lock_guard lock(gInstanceLock);
    gInstance = nullptr;
    gSliceMs = 0;
}

void TIdAntiFreezeBase::SetActive(bool AValue)
{
    FActive = AValue;
    std::lock_guard lock(gInstanceLock);
    if (gInstance == this)
        PublishSlice();
}

void TIdAntiFreezeBase::SetIdleTimeOut(int AMilliseconds)
{
    FIdleTimeOut = AMilliseconds;
    std::lock_guard lock(gInstanceLock);
    if (gInstance == this)
        PublishSlice();
}

void TIdAntiFreezeBase::PublishSlice()
{
    gSliceMs = FActive && FIdleTimeOut > 0 ? FIdleTimeOut.load() : 0;
}

TIdAntiFreezeBase* TIdAntiFreezeBase::Instance()
{
    std::lock_guard lock(gInstanceLock);
    return gInstance;
}

int TIdAntiFreezeBase::ActiveIdleTimeOut()
{
    return gSliceMs.load(std::memory_order_relaxed);
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
