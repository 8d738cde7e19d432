#include "app/startup/SyncPump.h"

#include "net/IdSync.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// The wake-up travels through an eventfd that the main thread watches, not through a posted
// Qt event: a posted call would be allocated on the connection thread and handed over inside
// Qt's own locks, so nothing but the kernel and our mutex stand between the two threads.
std::mutex PumpLock;  // guards Installed against the hook on connection threads
bool Installed = false;
std::atomic<bool> ServePosted{false};
// Opened on the main thread at the first install and kept for the life of the process, so a
// late Wake from a detached thread never writes to a closed or reused descriptor.
std::atomic<int> WakeFd{-1};
// Called on the main thread only. A child of the application object, so it goes with it.
QPointer<QSocketNotifier> Notifier;

void DrainWakeFd()
{
    std::uint64_t count;
    while (::read(WakeFd.load(), &count, sizeof count) < 0 && errno == EINTR) {}
}

void ServeQueue()
{
    DrainWakeFd();
    // Cleared first, so that a call enqueued while serving posts a new serving call.
    ServePosted.store(false);
    ServePending();
}

// Runs on the thread that enqueued a call (usually a connection thread).
void Wake()
{
    std::lock_guard lock(PumpLock);
    if (!Installed || ServePosted.exchange(true))
        return;
    const std::uint64_t one = 1;
    while (::write(WakeFd.load(), &one, sizeof one) < 0 && errno == EINTR) {}
}

void WatchWakeFd()
{
    if (WakeFd.load() < 0)
        WakeFd.store(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!Notifier && WakeFd.load() >= 0) {
        Notifier =
            new QSocketNotifier(WakeFd.load(), QSocketNotifier::Read, QCoreApplication::instance());
        QObject::connect(Notifier, &QSocketNotifier::activated, Notifier, [] { ServeQueue(); });
    }
}

}  // namespace

void InstallSyncPump()
{
    MarkMainThread();
    WatchWakeFd();
    {
        std::lock_guard lock(PumpLock);
        Installed = true;
        ServePosted.store(false);
    }
    SetWakeHook(&Wake);
    // Calls that were queued before the hook existed would otherwise wait for the next one.
    Wake();
}

void UninstallSyncPump()
{
    {
        std::lock_guard lock(PumpLock);
        Installed = false;
    }
    delete Notifier;
}
