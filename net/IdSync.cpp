#include "net/IdSync.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace {

// One call waiting for the main thread; lives on the caller's stack until it has run.
struct TSyncCall {
    const std::function<void()>* Method;
    std::exception_ptr Error;
    bool Done = false;  // guarded by the queue's lock
    // Its own wake-up: finishing one call must not wake every other waiting caller, which
    // with thousands of logging connections costs more than the calls themselves.
    std::condition_variable Finished;
};

struct TSyncQueue {
    std::mutex Lock;  // guards everything below
    std::condition_variable Changed;  // a call queued, or a wake-up for the main thread
    std::deque<TSyncCall*> Calls;
    std::function<void()> WakeHook;
};

// Read on every socket wait and send (through the anti-freeze), so it takes no lock.
std::atomic<std::thread::id> gMainThread{};

// Never destroyed: a detached peer thread may still wake the main thread while the process
// runs its exit handlers.
TSyncQueue& Queue()
{
    static auto* queue = new TSyncQueue;
    return *queue;
}

// The thread that runs static initialisation is the main thread unless told otherwise.
[[maybe_unused]] const bool gMainMarked = (MarkMainThread(), true);

void CallWakeHook()
{
    std::function<void()> hook;
    {
        std::lock_guard lock(Queue().Lock);
        hook = Queue().WakeHook;
    }
    if (hook)
        hook();
}

}  // namespace

void MarkMainThread()
{
    gMainThread = std::this_thread::get_id();
}

bool IsMainThread()
{
    return gMainThread.load() == std::this_thread::get_id();
}

void SetWakeHook(std::function<void()> AHook)
{
    std::lock_guard lock(Queue().Lock);
    Queue().WakeHook = std::move(AHook);
}

int ServePending()
{
    if (!IsMainThread())
        return 0;
    // Serve only what was queued when we started: calls that arrive meanwhile posted their
    // own wake-up, and serving them here too would keep the event loop from its other work
    // for as long as connection threads keep logging.
    std::size_t backlog;
    {
        std::lock_guard lock(Queue().Lock);
        backlog = Queue().Calls.size();
    }
    int served = 0;
    for (; backlog > 0; --backlog) {
        TSyncCall* call;
        {
            std::lock_guard lock(Queue().Lock);
            if (Queue().Calls.empty())
                return served;
            call = Queue().Calls.front();
            Queue().Calls.pop_front();
        }
        try {
            (*call->Method)();
        } catch (...) {
            call->Error = std::current_exception();
        }
        {
            // Notified under the lock: once the caller sees Done it returns and its call,
            // condition variable included, is gone.
            std::lock_guard lock(Queue().Lock);
            call->Done = true;
            call->Finished.notify_one();
        }
        ++served;
    }
    return served;
}

void SynchronizeWithMain(const std::function<void()>& AMethod)
{
    if (IsMainThread()) {
        AMethod();
        return;
    }
    TSyncCall call{&AMethod, nullptr, false, {}};
    {
        std::lock_guard lock(Queue().Lock);
        Queue().Calls.push_back(&call);
    }
    Queue().Changed.notify_all();
    CallWakeHook();
    {
        std::unique_lock lock(Queue().Lock);
        call.Finished.wait(lock, [&] { return call.Done; });
    }
    if (call.Error)
        std::rethrow_exception(call.Error);
}

void ServeWhileWaiting(const std::function<bool()>& ADone)
{
    const bool serve = IsMainThread();
    for (;;) {
        if (serve)
            ServePending();
        std::unique_lock lock(Queue().Lock);
        if (ADone())
            return;
        Queue().Changed.wait(lock, [&] { return (serve && !Queue().Calls.empty()) || ADone(); });
        if (ADone())
            return;
    }
}

void WakeMainThread()
{
    {
        std::lock_guard lock(Queue().Lock);
    }
    Queue().Changed.notify_all();
}
