// The thread class of the network layer.
//
// A TIdThread is created stopped and runs its body once started:
//   while not Terminated: BeforeLoop; LoopStep while not Stopped; AfterLoop
// AfterLoop runs also when BeforeLoop or a LoopStep raises; the exception then goes to
// OnException (on the thread itself) and the thread ends. A thread with FreeOnTerminate set
// destroys itself, with its Data, as the last act of its body; otherwise its owner destroys it
// after WaitFor (or the destructor terminates and waits).
//
// Threads get a bounded stack (256 KiB), so thousands of them stay cheap.
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sys/types.h>

#include "net/IdComponent.h"

// Base of the objects a thread may own as its Data.
class TIdObject {
public:
    virtual ~TIdObject() = default;
};

// Counts the threads that belong to something (a server's peer threads) until each has fully
// ended, so that the owner can wait for the last one. Thread safe.
class TIdThreadTracker {
public:
    void Enter();
    // Called by a thread as its very last act; touches nothing but the tracker.
    void Leave();
    int Count() const { return FCount.load(); }
    // Waits until Count is 0, serving synchronized calls when on the main thread.
    void WaitForAll();

private:
    std::atomic<int> FCount{0};
};

class TIdThread {
public:
    explicit TIdThread(bool ACreateSuspended = true);
    // A started thread that does not free itself is terminated and waited for.
    virtual ~TIdThread();
    TIdThread(const TIdThread&) = delete;
    TIdThread& operator=(const TIdThread&) = delete;

    // Thread safe unless noted.
    void Start();  // clears the stopped flag; launches the thread the first time
    void Stop();  // terminates and sets the stopped flag (does not wait)
    bool Stopped() const { return FTerminated.load() || FStopped.load(); }
    void Terminate();
    bool Terminated() const { return FTerminated.load(); }
    void TerminateAndWait();  // not on the thread itself
    void WaitFor();  // waits for the body's end; not on the thread itself
    bool Finished() const { return FFinished.load(); }
    // Sleeps up to AMilliseconds; returns early (false) when the thread is terminated.
    bool SleepUnlessTerminated(int AMilliseconds);

    // On the thread itself: hands AMethod to the main thread and blocks until it has run there
    // (see SynchronizeWithMain); an exception from AMethod is rethrown here.
    void Synchronize(const std::function<void()>& AMethod);

    // Set before Start or on the thread itself.
    void SetFreeOnTerminate(bool AValue) { FFreeOnTerminate = AValue; }
    bool FreeOnTerminate() const { return FFreeOnTerminate; }
    // Kernel thread id (gettid); 0 before the thread runs.
    pid_t ThreadID() const { return FThreadID.load(); }

    // Owned by the thread, destroyed with it. Used on the thread itself.
    TIdObject* Data() const { return FData.get(); }
    void SetData(std::unique_ptr<TIdObject> AData) { FData = std::move(AData); }
    template <class T>
    T* DataAs() const
    {
        return dynamic_cast<T*>(FData.get());
    }

    // Fired on the thread when an exception ends it. Set before Start.
    std::function<void(TIdThread* ASender, const std::exception& AException)> OnException;

    // The tracker the thread leaves as its last act. Set before Start.
    void SetTracker(std::shared_ptr<TIdThreadTracker> ATracker) { FTracker = std::move(ATracker); }

    // The TIdThread running the calling code, or nullptr.
    static TIdThread* Current();

protected:
    virtual void LoopStep() = 0;
    virtual void AfterLoop() {}
    virtual void BeforeLoop() {}
    // The body; runs on the thread.
    virtual void Execute();
    // Destroys Data now (for derived destructors that must outlive it).
    void ResetData() { FData.reset(); }

private:
    static void* ThreadMain(void* AThread);
    void RunBody();
    void RunLoopOnce();
    void FireException(const std::exception& AException);

    pthread_t FPThread{};
    bool FLaunched = false;  // main/owner side only
    bool FJoined = false;
    bool FDestroyingItself = false;  // the thread's own side only
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FStopped{true};
    std::atomic<bool> FFinished{false};
    std::atomic<pid_t> FThreadID{0};
    bool FFreeOnTerminate = false;
    std::mutex FWakeLock;
    std::condition_variable FWake;
    std::unique_ptr<TIdObject> FData;
    std::shared_ptr<TIdThreadTracker> FTracker;
};

// Creates a thread object of a server's thread class; empty means "not specified".
using TIdThreadClass = std::function<std::unique_ptr<TIdThread>()>;
