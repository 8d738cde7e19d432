#include "IdPeerThread.h"

#include <algorithm>

#include "IdException.h"
#include "IdStack.h"
#include "IdTCPClient.h"
#include "IdTCPServer.h"

TIdPeerThread::TIdPeerThread(bool ACreateSuspended) : TIdThread(ACreateSuspended)
{
}

TIdPeerThread::~TIdPeerThread()
{
    // Data may hold clients registered here; they unregister while this object is whole.
    ResetData();
    std::lock_guard lock(FAbortLock);
    for (TIdTCPClient* client : FClients)
        client->FWatcher = nullptr;
}

TIdPeerThread* TIdPeerThread::Current()
{
    return dynamic_cast<TIdPeerThread*>(TIdThread::Current());
}

void TIdPeerThread::SetConnection(std::unique_ptr<TIdTCPServerConnection> AConnection)
{
    FConnection = std::move(AConnection);
}

bool TIdPeerThread::Pause(int AMilliseconds)
{
    std::unique_lock lock(FAbortLock);
    return !FAbortWake.wait_for(lock, std::chrono::milliseconds(AMilliseconds), [this] { return FAborted; });
}

bool TIdPeerThread::Aborted() const
{
    std::lock_guard lock(FAbortLock);
    return FAborted;
}

void TIdPeerThread::AbortWaits()
{
    {
        std::lock_guard lock(FAbortLock);
        FAborted = true;
        for (TIdTCPClient* client : FClients)
            client->Abort();
    }
    FAbortWake.notify_all();
}

bool TIdPeerThread::WatchClient(TIdTCPClient* AClient)
{
    std::lock_guard lock(FAbortLock);
    if (FAborted)
        return false;
    FClients.push_back(AClient);
    AClient->FWatcher = this;
    return true;
}

void TIdPeerThread::UnwatchClient(TIdTCPClient* AClient)
{
    std::lock_guard lock(FAbortLock);
    FClients.erase(std::remove(FClients.begin(), FClients.end(), AClient), FClients.end());
    AClient->FWatcher = nullptr;
}

void TIdPeerThread::Execute()
{
    // The connection was accepted on the listener thread; from now on this thread uses it.
    FConnection->Binding()->ClaimOwnership();
    TIdThread::Execute();
}

void TIdPeerThread::BeforeLoop()
{
    FConnection->Server()->DoConnect(this);
}

void TIdPeerThread::LoopStep()
{
    try {
        if (!FConnection->Server()->DoExecute(this))
            throw EIdNoExecuteSpecified();
    } catch (const EIdSocketError& e) {
        if (e.LastError() == Id_WSAECONNABORTED || e.LastError() == Id_WSAECONNRESET)
            FConnection->Disconnect();
    } catch (const EIdClosedSocket&) {
    }
    if (!FConnection->Connected())
        Stop();
}

void TIdPeerThread::AfterLoop()
{
    if (!FConnection)
        return;
    TIdTCPServer* server = FConnection->Server();
    std::exception_ptr error;
    try {
        server->DoDisconnect(this);
    } catch (...) {
        error = std::current_exception();
    }
    // Whatever DoDisconnect did, the thread must leave the server's books.
    server->ReleasePeerThread(this);
    SetFreeOnTerminate(true);
    server->Threads().Remove(this);
    FConnection.reset();
    if (error)
        std::rethrow_exception(error);
}
