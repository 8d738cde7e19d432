#include "net/IdThreadMgrDefault.h"

TIdThread* TIdThreadMgrDefault::ObtainThread()
{
    // The thread frees itself at the end of its body (or ReleaseThread frees it).
    TIdThread* thread = NewThread().release();
    ActiveThreads.Add(thread);
    return thread;
}

void TIdThreadMgrDefault::ReleaseThread(TIdThread* AThread)
{
    if (AThread == TIdThread::Current()) {
        AThread->SetFreeOnTerminate(true);
    } else {
        AThread->TerminateAndWait();
        std::unique_ptr<TIdThread> owned(AThread);
    }
    ActiveThreads.Remove(AThread);
}
