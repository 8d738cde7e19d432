#include "engine/relay/TargetLookup.h"

#include <algorithm>
#include <set>

struct TTargetLookup::TState {
    explicit TState(TAnswered AAnswered) : Answered(std::move(AAnswered)) {}

    const TAnswered Answered;
    std::mutex Lock;  // guards the fields below
    std::condition_variable Changed;
    std::vector<std::unique_ptr<TPooledMapping>> Waiting;  // the lookup under way's included
    bool Stopping = false;
    bool LookingUp = false;  // a name server may take long: Stop does not wait for it
    bool Answering = false;  // Stop waits for this: the callback may use the caller's objects
};

TTargetLookup::TTargetLookup(TAnswered AAnswered)
    : FState(std::make_shared<TState>(std::move(AAnswered)))
{
    FThread = std::thread([state = FState] { Run(state); });
}

TTargetLookup::~TTargetLookup()
{
    Stop();
}

void TTargetLookup::Ask(std::unique_ptr<TPooledMapping> AMapping)
{
    {
        std::lock_guard lock(FState->Lock);
        FState->Waiting.push_back(std::move(AMapping));
    }
    FState->Changed.notify_all();
}

std::vector<std::unique_ptr<TPooledMapping>> TTargetLookup::Stop()
{
    std::vector<std::unique_ptr<TPooledMapping>> unanswered;
    bool lookingUp;
    {
        std::unique_lock lock(FState->Lock);
        FState->Stopping = true;
        FState->Changed.notify_all();
        FState->Changed.wait(lock, [this] { return !FState->Answering; });
        unanswered.swap(FState->Waiting);
        lookingUp = FState->LookingUp;
    }
    if (FThread.joinable()) {
        if (lookingUp)
            FThread.detach();
        else
            FThread.join();
    }
    return unanswered;
}

TTargetLookup::TKey TTargetLookup::KeyOf(const TPooledMapping& AMapping)
{
    return {AMapping.Target->Host(), AMapping.Target->BoundIP()};
}

TTargetLookup::TAnswer TTargetLookup::LookUp(const TKey& AKey)
{
    TIdTCPClient probe;
    probe.SetHost(AKey.first);
    probe.SetBoundIP(AKey.second);
    TAnswer answer;
    try {
        answer.Targets = probe.TargetsToTry();
    } catch (const std::exception& e) {
        answer.Failure = TPooledMapping::FailureOf(e);
    }
    return answer;
}

void TTargetLookup::Run(const std::shared_ptr<TState>& AState)
{
    TState& state = *AState;
    for (;;) {
        std::set<TKey> keys;
        {
            std::unique_lock lock(state.Lock);
            state.Changed.wait(lock, [&] { return state.Stopping || !state.Waiting.empty(); });
            if (state.Stopping)
                return;
            for (const auto& mapping : state.Waiting)
                keys.insert(KeyOf(*mapping));
            state.LookingUp = true;
        }
        std::map<TKey, TAnswer> answers;
        for (const TKey& key : keys)
            answers.emplace(key, LookUp(key));
        std::vector<std::unique_ptr<TPooledMapping>> answered;
        {
            std::lock_guard lock(state.Lock);
            state.LookingUp = false;
            if (state.Stopping)
                return;  // Stop took the mappings
            // Also those asked for while the lookup was under way: the answer came after
            // they asked.
            std::erase_if(state.Waiting, [&](std::unique_ptr<TPooledMapping>& AMapping) {
                const auto it = answers.find(KeyOf(*AMapping));
                if (it == answers.end())
                    return false;
                AMapping->Targets = it->second.Targets;
                AMapping->LookupFailure = it->second.Failure;
                answered.push_back(std::move(AMapping));
                return true;
            });
            state.Answering = true;
        }
        for (auto& mapping : answered)
            state.Answered(std::move(mapping));
        {
            std::lock_guard lock(state.Lock);
            state.Answering = false;
        }
        state.Changed.notify_all();
    }
}
