#include "net/IdComponent.h"

#include <mutex>

#include "net/IdStackPosix.h"

namespace {

std::mutex gCountLock;
int gInstanceCount = 0;

TIdStackPosix& PosixStack()
{
    return static_cast<TIdStackPosix&>(GStack());
}

}  // namespace

TIdComponent::TIdComponent(TIdBaseComponent* AOwner) : TIdBaseComponent(AOwner)
{
    std::lock_guard lock(gCountLock);
    if (gInstanceCount++ == 0)
        PosixStack().Startup();
}

TIdComponent::~TIdComponent()
{
    std::lock_guard lock(gCountLock);
    if (--gInstanceCount == 0)
        PosixStack().Cleanup();
}

int TIdComponent::InstanceCount()
{
    std::lock_guard lock(gCountLock);
    return gInstanceCount;
}
