// A setting that the window changes while peer threads read it. Each value is one word,
// written and read whole with relaxed atomics: no lock, no ordering with other data, and a
// change takes effect from the next read on. Thread safe.
#pragma once

#include <atomic>

template <class T>
class TLiveSetting {
public:
    TLiveSetting(T value = T{}) : value_(value) {}
    TLiveSetting(const TLiveSetting&) = delete;
    TLiveSetting& operator=(const TLiveSetting& AOther) { return *this = AOther.Get(); }

    TLiveSetting& operator=(T value) {
        value_.store(value, std::memory_order_relaxed);
        return *this;
    }
    operator T() const { return value_.load(std::memory_order_relaxed); }
    T Get() const { return value_.load(std::memory_order_relaxed); }

private:
    std::atomic<T> value_;
};

