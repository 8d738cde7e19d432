#include "SyncPump.h"

#include "IdSync.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <atomic>
#include <mutex>

namespace {

std::mutex PumpLock;             // guards Installed against the hook on connection threads
bool Installed = false;
std::atomic<bool> ServePosted{false};

void ServeQueue()
{
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
    QMetaObject::invokeMethod(QCoreApplication::instance(), &ServeQueue, Qt::QueuedConnection);
}

} // namespace

void InstallSyncPump()
{
    MarkMainThread();
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
    std::lock_guard lock(PumpLock);
    Installed = false;
}
