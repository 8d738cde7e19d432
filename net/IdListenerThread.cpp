#include "net/IdListenerThread.h"

#include <cerrno>

#include "net/IdException.h"
#include "net/IdPeerThread.h"
#include "net/IdTCPServer.h"
#include "net/IdTCPServerConnection.h"

TIdListenerThread::TIdListenerThread(TIdTCPServer* AServer) : TIdThread(true), FServer(AServer)
{}

void TIdListenerThread::BeforeLoop()
{
    for (TIdSocketHandle* handle : FServer->ListeningHandles())
        handle->ClaimOwnership();
}

void TIdListenerThread::LoopStep()
{
    FReadList.clear();
    if (FServer->DoListenerAccepts())
        for (const TIdSocketHandle* handle : FServer->ListeningHandles())
            FReadList.push_back(handle->Handle());
    const int wake = FServer->FListenerWake;
    if (wake != -1)
        FReadList.push_back(wake);
    if (GStack().Select(FReadList, FAcceptTimeout) < 1 || Terminated())
        return;
    for (int ready : FReadList) {
        if (Terminated())
            return;
        if (ready == wake)
            FServer->TakeListenerWake();
        else
            AcceptOne(ready);
    }
}

void TIdListenerThread::AfterLoop()
{
    // The address stays, as deactivation keeps it when it closes the sockets itself: whichever
    // of the two closes first, the server must end with the address it was bound to. A listener
    // that woke from a timed-out wait to find itself stopped used to get here first now and then.
    const std::vector<TIdSocketHandle*> handles = FServer->ListeningHandles();
    for (auto it = handles.rbegin(); it != handles.rend(); ++it)
        (*it)->CloseSocket(false);
}

void TIdListenerThread::AcceptOne(int AListenSocket)
{
    auto connection = std::make_unique<TIdTCPServerConnection>(FServer);
    try {
        if (!connection->Binding()->Accept(AListenSocket))
            return;
    } catch (const EIdSocketError& e) {
        if (!SurviveAcceptError(e.LastError()))
            throw;
        return;
    }
    if (!FServer->DoAdmit(*connection)) {
        connection->Binding()->CloseWithReset();
        return;
    }
    if (FServer->DoTakeAccepted(connection))
        return;
    TIdPeerThread* peer = FServer->ObtainPeerThread();
    if (!peer)
        return;
    peer->SetConnection(std::move(connection));
    StartPeer(peer);
}

// A failed accept ends only that connection: the client may have reset before it was
// accepted, or descriptors, buffers or memory ran out for a moment. Any stranger can cause
// either, so neither may leave the channel deaf.
TIdAcceptFailure ClassifyAcceptFailure(int AErrorCode)
{
    switch (AErrorCode) {
        case Id_WSAECONNABORTED:
        case Id_WSAENOTCONN:  // the accepted client is already gone
        case Id_ErrnoEPROTO:
        case Id_ErrnoEPERM:
        case Id_ErrnoENONET:
        case Id_WSAENOPROTOOPT:
        case Id_WSAEOPNOTSUPP:
        case Id_WSAENETDOWN:
        case Id_WSAENETUNREACH:
        case Id_WSAEHOSTDOWN:
        case Id_WSAEHOSTUNREACH: return TIdAcceptFailure::ClientGone;
        case Id_WSAEMFILE:
        case Id_ErrnoENFILE:
        case Id_WSAENOBUFS:
        case Id_ErrnoENOMEM: return TIdAcceptFailure::OutOfResources;
        default: return TIdAcceptFailure::Broken;
    }
}

// Returns false for failures that end the listener (the listening socket itself is broken).
bool TIdListenerThread::SurviveAcceptError(int AErrorCode)
{
    if (Terminated())
        return true;
    switch (ClassifyAcceptFailure(AErrorCode)) {
        case TIdAcceptFailure::ClientGone:
            if (FServer->OnAcceptError)
                FServer->OnAcceptError(AErrorCode);
            return true;
        case TIdAcceptFailure::OutOfResources:
            // The connection stays pending, so the next Select returns at once: wait a little
            // for descriptors to come free instead of spinning.
            if (FServer->OnAcceptError)
                FServer->OnAcceptError(AErrorCode);
            SleepUnlessTerminated(ResourcePauseMs);
            return true;
        case TIdAcceptFailure::Broken: break;
    }
    return false;
}

void TIdListenerThread::StartPeer(TIdPeerThread* APeer)
{
    APeer->SetTracker(FServer->FPeerTracker);
    bool added = false;
    {
        // Checked under the list's lock: deactivation stops this thread before it locks the
        // list to disconnect the peers, so no peer can slip in after that.
        auto list = FServer->Threads().LockList();
        if (!Terminated()) {
            list->push_back(APeer);
            FServer->FPeerTracker->Enter();
            added = true;
        }
    }
    if (!added) {
        FServer->ReleasePeerThread(APeer);
        return;
    }
    try {
        APeer->Start();
    } catch (const EIdException&) {
        FServer->Threads().Remove(APeer);
        FServer->FPeerTracker->Leave();
        FServer->ReleasePeerThread(APeer);
        if (FServer->OnAcceptError)
            FServer->OnAcceptError(ENOMEM);
        SleepUnlessTerminated(ResourcePauseMs);
    }
}
