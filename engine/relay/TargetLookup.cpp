#include "engine/relay/TargetLookup.h"

#include <map>
#include <string>
#include <utility>

#include "engine/relay/RelayPool.h"

TTargetLookup::TTargetLookup(TAnswer AAnswer) : FAnswer(std::move(AAnswer))
{
    FThread = std::thread([this] { Run(); });
}

TTargetLookup::~TTargetLookup()
{
    Stop();
}

void TTargetLookup::Ask(std::unique_ptr<TPooledMapping> AMapping)
{
    {
        std::lock_guard lock(FLock);
        FWaiting.push_back(std::move(AMapping));
    }
    FWake.notify_one();
}

std::vector<std::unique_ptr<TPooledMapping>> TTargetLookup::Stop()
{
    {
        std::lock_guard lock(FLock);
        FStopping = true;
    }
    FWake.notify_one();
    if (FThread.joinable())
        FThread.join();
    std::lock_guard lock(FLock);
    return std::exchange(FWaiting, {});
}

void TTargetLookup::Run()
{
    for (;;) {
        std::vector<std::unique_ptr<TPooledMapping>> batch;
        {
            std::unique_lock lock(FLock);
            FWake.wait(lock, [this] { return FStopping || !FWaiting.empty(); });
            if (FStopping)
                return;
            batch.swap(FWaiting);
        }
        LookUp(batch);
        for (auto& mapping : batch)
            FAnswer(std::move(mapping));
    }
}

// One lookup per host and bound address (which decides the family kept) in the batch.
void TTargetLookup::LookUp(std::vector<std::unique_ptr<TPooledMapping>>& ABatch)
{
    struct TResult {
        std::vector<TIdIPAddress> Targets;
        std::exception_ptr Failure;
    };
    std::map<std::pair<std::string, std::string>, TResult> results;
    for (auto& mapping : ABatch) {
        const TIdTCPClient& target = *mapping->Target;
        auto [it, isNew] = results.try_emplace({target.Host(), target.BoundIP()});
        if (isNew) {
            try {
                it->second.Targets = target.TargetsToTry();
            } catch (...) {
                it->second.Failure = std::current_exception();
            }
        }
        mapping->Targets = it->second.Targets;
        mapping->LookupFailure = it->second.Failure;
    }
}
