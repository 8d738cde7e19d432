// The receiver of a mapping server's log texts (its OnLog). The main thread sets it at every
// start of the channel; it is called on the main thread and, for the error line of a
// connection that ends by an exception, on that connection's peer thread, which may still be
// on its way out of an earlier activation while the main thread sets a new receiver.
//
//   server.OnLog = [](const std::string& text) { ... };
//   if (OnLog) OnLog(text);
//
// A call takes its own reference to the receiver it finds, so replacing or clearing the
// receiver never pulls it away from a call in progress. The lock guards only that reference
// while it is swapped or copied, never a call; relaying bytes never takes it. Thread safe.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

class TLogCallback {
public:
    using TReceiver = std::function<void(const std::string&)>;

    TLogCallback() = default;
    TLogCallback(const TLogCallback&) = delete;
    TLogCallback& operator=(const TLogCallback&) = delete;

    TLogCallback& operator=(TReceiver AReceiver)
    {
        std::shared_ptr<const TReceiver> next;
        if (AReceiver)
            next = std::make_shared<const TReceiver>(std::move(AReceiver));
        {
            std::lock_guard lock(FLock);
            FReceiver.swap(next);
        }
        return *this;  // the old receiver goes here, outside the lock, once no call holds it
    }
    TLogCallback& operator=(std::nullptr_t) { return *this = TReceiver(); }

    explicit operator bool() const { return Current() != nullptr; }

    // Calls the receiver set at this moment; nothing when there is none.
    void operator()(const std::string& AText) const
    {
        if (const std::shared_ptr<const TReceiver> receiver = Current())
            (*receiver)(AText);
    }

private:
    std::shared_ptr<const TReceiver> Current() const
    {
        std::lock_guard lock(FLock);
        return FReceiver;
    }

    mutable std::mutex FLock;
    std::shared_ptr<const TReceiver> FReceiver;
};
