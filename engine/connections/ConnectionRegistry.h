// The connections of one channel: a record for every open connection and the most recently
// ended ones, and the budget of the bytes their captures hold.
//
//   TConnectionRegistry registry;
//   auto record = registry.Open({peerIP, peerPort}, carrier);   // carrying thread
//   record->Count(direction, n); ...
//   registry.Close(record);                                      // carrying thread, once
//   for (const TConnectionSnapshot& s : registry.Snapshot()) ...  // any thread
//
// The registry is the small interface every way of carrying a connection uses: Open, Count
// (on the record) and Close; nothing else is needed to appear in the list with byte counts.
//
// Threads: every operation is thread safe. The registry's lock is never held while another
// lock is taken (records are copied out first, then looked at), and callers hold no lock of
// their own when they call in.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "engine/connections/ConnectionRecord.h"

struct TConnectionLimits {
    std::size_t EndedKept = 256;  // ended records kept, oldest dropped
    std::size_t CapturePerDirection = 1u << 20;  // bytes per direction per connection
    std::size_t CapturePerChannel = 64u << 20;  // bytes of all captures of the channel
};

class TConnectionRegistry {
public:
    explicit TConnectionRegistry(TConnectionLimits ALimits = {});

    // The channel number the next records carry. Main thread, while no connection opens.
    void SetChannel(int AChannel) { FChannel = AChannel; }
    // Other bounds than the defaults. Main thread, before the channel's first connection.
    void SetLimits(const TConnectionLimits& ALimits) { FLimits = ALimits; }

    std::shared_ptr<TConnectionRecord> Open(const TEndpoint& AClient, void* ACarrier);
    // Ends the record (see TConnectionRecord::Finish) and moves it to the ended ones.
    void Close(const std::shared_ptr<TConnectionRecord>& ARecord, bool AStopped);
    // Open records (in no particular order) followed by the ended ones, oldest first.
    std::vector<TConnectionSnapshot> Snapshot() const;
    // The open or kept record with the id, or nullptr.
    std::shared_ptr<TConnectionRecord> Find(std::uint64_t AId) const;
    // Forgets the ended records (and their captures).
    void ClearEnded();

    // Takes note that a capture now holds ADelta bytes more (or fewer); above the channel's
    // budget the oldest bytes go (down to 7/8 of it), those of ended connections first.
    void AccountCapture(std::int64_t ADelta);
    std::int64_t CapturedBytes() const { return FCaptured.load(); }
    const TConnectionLimits& Limits() const { return FLimits; }

private:
    void TrimCaptures();
    std::vector<std::shared_ptr<TConnectionRecord>> OldestFirst() const;

    TConnectionLimits FLimits;
    std::atomic<int> FChannel{0};
    std::atomic<std::int64_t> FCaptured{0};
    mutable std::mutex FLock;  // guards the two containers below
    std::unordered_map<std::uint64_t, std::shared_ptr<TConnectionRecord>> FOpen;
    std::deque<std::shared_ptr<TConnectionRecord>> FEnded;
};
