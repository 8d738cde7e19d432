// A setting that the window changes while peer threads read it. Each value is one word,
// written and read whole with relaxed atomics: no lock, no ordering with other data, and a
// change takes effect from the next read on. Read from any thread; written on the main thread
// only (checked where assertions are on).
//
// A server that must react to a change at once, not only at its next read, sets OnChange once
// before other threads use the setting; it runs on the writing thread after every write.
#pragma once

#include <atomic>
#include <functional>
#include <utility>

#include "net/ThreadChecks.h"

template <class T>
class TLiveSetting {
public:
    TLiveSetting(T value = T{}) : value_(value) {}
    TLiveSetting(const TLiveSetting&) = delete;
    TLiveSetting& operator=(const TLiveSetting& AOther) { return *this = AOther.Get(); }

    TLiveSetting& operator=(T value)
    {
        AssertMainThread();
        value_.store(value, std::memory_order_relaxed);
        if (onChange_)
            onChange_();
        return *this;
    }
    operator T() const { return value_.load(std::memory_order_relaxed); }
    T Get() const { return value_.load(std::memory_order_relaxed); }

    void SetOnChange(std::function<void()> AHook) { onChange_ = std::move(AHook); }

private:
    std::atomic<T> value_;
    std::function<void()> onChange_;
};
