// Small helpers shared by the whole network layer: the "no limit" timeout, the token cutter
// used by address parsing, a millisecond tick counter and the two lock types the server uses.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// A timeout meaning "wait without limit". No other negative timeout is used.
constexpr int InfiniteTimeout = -2;

// Returns the part of AInput before the first occurrence of ADelim (exact, case-sensitive), or
// all of AInput when ADelim does not occur. With ADelete set, that part and the delimiter are
// removed from AInput, which becomes empty when ADelim does not occur. An empty ADelim counts as
// "does not occur".
std::string FetchToken(std::string& AInput, std::string_view ADelim = ".", bool ADelete = true);

// Milliseconds of CLOCK_MONOTONIC cut to 32 bits. It wraps after about 49 days; compare two
// readings with GetTickDiff, never with < or -. Thread safe.
uint32_t GetTickCount();

// ANew - AOld taken modulo 2^32 as a signed value: the elapsed milliseconds between two
// readings less than about 24 days apart, negative when ANew is the older one.
int32_t GetTickDiff(uint32_t AOld, uint32_t ANew);

// A plain mutual-exclusion lock. Also usable with std::lock_guard. Thread safe.
class TCriticalSection {
public:
    void Acquire() { FMutex.lock(); }
    void Release() { FMutex.unlock(); }
    void lock() { FMutex.lock(); }
    void unlock() { FMutex.unlock(); }

private:
    std::mutex FMutex;
};

// A list with its own lock. Thread safe.
//
//   { auto list = Threads.LockList();       // locked until `list` goes out of scope
//     for (auto* t : *list) ...; }
//
// WaitUntilEmpty lets a thread wait (bounded) for the last Remove.
template <class T>
class TThreadList {
public:
    class TLockedList {
    public:
        TLockedList(std::mutex& AMutex, std::vector<T>& AList) : FLock(AMutex), FList(AList) {}
        std::vector<T>& operator*() { return FList; }
        std::vector<T>* operator->() { return &FList; }

    private:
        std::unique_lock<std::mutex> FLock;
        std::vector<T>& FList;
    };

    TLockedList LockList() { return TLockedList(FMutex, FList); }

    void Add(const T& AItem)
    {
        std::lock_guard lock(FMutex);
        FList.push_back(AItem);
    }

    // Removes the first occurrence of AItem; nothing when it is not in the list.
    void Remove(const T& AItem)
    {
        std::lock_guard lock(FMutex);
        for (auto it = FList.begin(); it != FList.end(); ++it) {
            if (*it == AItem) {
                FList.erase(it);
                break;
            }
        }
        if (FList.empty())
            FEmptied.notify_all();
    }

    // Remove for a caller that holds the list through LockList.
    void RemoveLocked(TLockedList& AList, const T& AItem)
    {
        std::erase(*AList, AItem);
        if (AList->empty())
            FEmptied.notify_all();
    }

    std::size_t Count()
    {
        std::lock_guard lock(FMutex);
        return FList.size();
    }

    // True when the list became (or was) empty within AMilliseconds.
    bool WaitUntilEmpty(int AMilliseconds)
    {
        std::unique_lock lock(FMutex);
        return FEmptied.wait_for(lock, std::chrono::milliseconds(AMilliseconds),
                                 [this] { return FList.empty(); });
    }

private:
    std::mutex FMutex;
    std::condition_variable FEmptied;
    std::vector<T> FList;
};
