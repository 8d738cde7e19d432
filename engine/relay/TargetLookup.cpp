#include "engine/relay/TargetLookup.h"

#include <utility>

#include "engine/relay/RelayPool.h"

TTargetLookup::TTargetLookup(TAnswered AAnswered) : FAnswer(std::move(AAnswered))
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

namespace {

// Whose lookups may share an answer: the name and the bound address (which decides the family
// kept).
std::pair<std::string, std::string> LookupKey(const TPooledMapping& AMapping)
{
    return {AMapping.Target->Host(), AMapping.Target->BoundIP()};
}

}  // namespace

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
        const TAnswers answers = LookUp(batch);
        {
            // Those asked for meanwhile get the answer that came after they asked, at once:
            // with a slow name server they would otherwise wait for two lookups.
            std::lock_guard lock(FLock);
            std::erase_if(FWaiting, [&](std::unique_ptr<TPooledMapping>& AMapping) {
                const auto it = answers.find(LookupKey(*AMapping));
                if (it == answers.end())
                    return false;
                Apply(it->second, *AMapping);
                batch.push_back(std::move(AMapping));
                return true;
            });
        }
        for (auto& mapping : batch)
            FAnswer(std::move(mapping));
    }
}

TTargetLookup::TAnswers TTargetLookup::LookUp(std::vector<std::unique_ptr<TPooledMapping>>& ABatch)
{
    TAnswers answers;
    for (auto& mapping : ABatch) {
        auto [it, isNew] = answers.try_emplace(LookupKey(*mapping));
        if (isNew) {
            try {
                it->second.Targets = mapping->Target->TargetsToTry();
            } catch (const std::exception& e) {
                mapping->NoteLookupFailure(e);
                it->second.Failure = mapping->LookupFailure;
            }
        }
        Apply(it->second, *mapping);
    }
    return answers;
}

void TTargetLookup::Apply(const TAnswer& AAnswer, TPooledMapping& AMapping)
{
    AMapping.Targets = AAnswer.Targets;
    AMapping.LookupFailure = AAnswer.Failure;
}
