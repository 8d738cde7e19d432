#include "net/IdThread.h"

#include <cstring>
#include <system_error>
#include <unistd.h>

#include "net/IdException.h"
#include "net/IdSync.h"

namespace {

thread_local TIdThread* tlCurrentThread = nullptr;

// Peer threads need little stack; sanitizers need more than plain code.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t ThreadStackSize = 1024 * 1024;
#else
constexpr std::size_t ThreadStackSize = 256 * 1024;
#endif

}  // namespace

void TIdThreadTracker::Enter()
{
    ++FCount;
}

void TIdThreadTracker::Leave()
{
    --FCount;
    WakeMainThread();
}

void TIdThreadTracker::WaitForAll()
{
    ServeWhileWaiting([this] { return FCount.load() == 0; });
}

TIdThread::TIdThread(bool ACreateSuspended)
{
    if (!ACreateSuspended)
        Start();
}

TIdThread::~TIdThread()
{
    if (!FDestroyingItself && FLaunched && !FJoined) {
        Terminate();
        WaitFor();
    }
}

TIdThread* TIdThread::Current()
{
    return tlCurrentThread;
}

void TIdThread::Start()
{
    FStopped = false;
    if (FLaunched)
        return;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, ThreadStackSize);
    // Set first: the new thread may run and even end before pthread_create returns.
    FLaunched = true;
    const int rc = pthread_create(&FPThread, &attr, &TIdThread::ThreadMain, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        FLaunched = false;
        FStopped = true;
        throw EIdException(std::string("Cannot create thread: ") + std::strerror(rc));
    }
}

void TIdThread::Stop()
{
    if (Stopped())
        return;
    Terminate();
    FStopped = true;
}

void TIdThread::Terminate()
{
    {
        std::lock_guard lock(FWakeLock);
        FTerminated = true;
    }
    FWake.notify_all();
}

void TIdThread::TerminateAndWait()
{
    Terminate();
    FStopped = true;
    WaitFor();
}

void TIdThread::WaitFor()
{
    if (!FLaunched || FJoined)
        return;
    pthread_join(FPThread, nullptr);
    FJoined = true;
}

bool TIdThread::SleepUnlessTerminated(int AMilliseconds)
{
    std::unique_lock lock(FWakeLock);
    return !FWake.wait_for(lock, std::chrono::milliseconds(AMilliseconds),
                           [this] { return FTerminated.load(); });
}

void TIdThread::Synchronize(const std::function<void()>& AMethod)
{
    SynchronizeWithMain(AMethod);
}

void* TIdThread::ThreadMain(void* AThread)
{
    auto* self = static_cast<TIdThread*>(AThread);
    tlCurrentThread = self;
    self->FThreadID = static_cast<pid_t>(gettid());
    self->Execute();
    tlCurrentThread = nullptr;
    std::shared_ptr<TIdThreadTracker> tracker = std::move(self->FTracker);
    if (self->FFreeOnTerminate) {
        pthread_detach(pthread_self());
        self->FDestroyingItself = true;
        std::unique_ptr<TIdThread> owned(self);
    } else {
        self->FFinished = true;
        WakeMainThread();
    }
    // The object may be gone now; only the tracker is touched.
    if (tracker)
        tracker->Leave();
    return nullptr;
}

void TIdThread::Execute()
{
    try {
        while (!Terminated())
            RunLoopOnce();
    } catch (const std::exception& e) {
        FireException(e);
    } catch (...) {
        FireException(EIdException("Unknown exception"));
    }
}

void TIdThread::RunLoopOnce()
{
    try {
        BeforeLoop();
        while (!Stopped())
            LoopStep();
    } catch (...) {
        AfterLoop();
        throw;
    }
    AfterLoop();
}

void TIdThread::FireException(const std::exception& AException)
{
    try {
        if (OnException)
            OnException(this, AException);
    } catch (...) {
        // The thread is ending and has nobody left to report to; letting this escape the
        // thread's body would end the whole process.
    }
    Terminate();
}
