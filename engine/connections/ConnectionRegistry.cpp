#include "engine/connections/ConnectionRegistry.h"

#include <algorithm>

namespace {
// Ids are unique over all channels, so that the window can tell any two connections apart.
std::atomic<std::uint64_t> GNextConnectionId{1};
}  // namespace

TConnectionRegistry::TConnectionRegistry(TConnectionLimits ALimits) : FLimits(ALimits)
{}

std::shared_ptr<TConnectionRecord> TConnectionRegistry::Open(const TEndpoint& AClient,
                                                             void* ACarrier)
{
    auto record = std::make_shared<TConnectionRecord>(
        GNextConnectionId.fetch_add(1), FChannel.load(), AClient, std::chrono::system_clock::now(),
        FLimits.CapturePerDirection, ACarrier);
    std::lock_guard lock(FLock);
    FOpen.emplace(record->Id, record);
    return record;
}

void TConnectionRegistry::Close(const std::shared_ptr<TConnectionRecord>& ARecord, bool AStopped)
{
    ARecord->Finish(std::chrono::system_clock::now(), AStopped);
    std::shared_ptr<TConnectionRecord> dropped;
    {
        std::lock_guard lock(FLock);
        if (FOpen.erase(ARecord->Id) == 0)
            return;
        FEnded.push_back(ARecord);
        if (FEnded.size() > FLimits.EndedKept) {
            dropped = std::move(FEnded.front());
            FEnded.pop_front();
        }
    }
    if (dropped)
        AccountCapture(-static_cast<std::int64_t>(dropped->Capture().Clear()));
}

std::vector<TConnectionSnapshot> TConnectionRegistry::Snapshot() const
{
    std::vector<std::shared_ptr<TConnectionRecord>> records;
    {
        std::lock_guard lock(FLock);
        records.reserve(FOpen.size() + FEnded.size());
        for (const auto& [id, record] : FOpen)
            records.push_back(record);
        records.insert(records.end(), FEnded.begin(), FEnded.end());
    }
    std::vector<TConnectionSnapshot> snapshots;
    snapshots.reserve(records.size());
    for (const auto& record : records)
        snapshots.push_back(record->Snapshot());
    return snapshots;
}

std::shared_ptr<TConnectionRecord> TConnectionRegistry::Find(std::uint64_t AId) const
{
    std::lock_guard lock(FLock);
    if (auto it = FOpen.find(AId); it != FOpen.end())
        return it->second;
    for (const auto& record : FEnded)
        if (record->Id == AId)
            return record;
    return nullptr;
}

void TConnectionRegistry::ClearEnded()
{
    std::deque<std::shared_ptr<TConnectionRecord>> ended;
    {
        std::lock_guard lock(FLock);
        ended.swap(FEnded);
    }
    for (const auto& record : ended)
        AccountCapture(-static_cast<std::int64_t>(record->Capture().Clear()));
}

void TConnectionRegistry::AccountCapture(std::int64_t ADelta)
{
    const std::int64_t now = FCaptured.fetch_add(ADelta) + ADelta;
    if (now > static_cast<std::int64_t>(FLimits.CapturePerChannel))
        TrimCaptures();
}

std::vector<std::shared_ptr<TConnectionRecord>> TConnectionRegistry::OldestFirst() const
{
    std::vector<std::shared_ptr<TConnectionRecord>> records;
    std::lock_guard lock(FLock);
    records.assign(FEnded.begin(), FEnded.end());
    std::vector<std::shared_ptr<TConnectionRecord>> open;
    for (const auto& [id, record] : FOpen)
        open.push_back(record);
    std::sort(open.begin(), open.end(), [](const auto& a, const auto& b) { return a->Id < b->Id; });
    records.insert(records.end(), open.begin(), open.end());
    return records;
}

void TConnectionRegistry::TrimCaptures()
{
    // Down to 7/8 of the budget, so that a channel at its limit trims now and then rather
    // than at every piece.
    const auto budget = static_cast<std::int64_t>(FLimits.CapturePerChannel);
    const std::int64_t goal = budget - budget / 8;
    for (const auto& record : OldestFirst()) {
        const std::int64_t over = FCaptured.load() - goal;
        if (over <= 0)
            return;
        const std::size_t dropped = record->Capture().DropOldest(static_cast<std::size_t>(over));
        FCaptured.fetch_sub(static_cast<std::int64_t>(dropped));
    }
}
