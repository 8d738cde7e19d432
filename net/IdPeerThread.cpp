#include "net/IdPeerThread.h"

#include <algorithm>
#include <utility>

#include "net/IdException.h"
#include "net/IdStack.h"
#include "net/IdTCPClient.h"
#include "net/IdTCPServer.h"

TIdPeerThread::TIdPeerThread(bool ACreateSuspended) : TIdThread(ACreateSuspended)
{}

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
    return !FAbortWake.wait_for(lock, std::chrono::milliseconds(AMilliseconds),
                                [this] { return FAborted; });
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

std::vector<TIdTCPClient*> TIdPeerThread::ForgetClients()
{
    std::lock_guard lock(FAbortLock);
    for (TIdTCPClient* client : FClients)
        client->FWatcher = nullptr;
    return std::exchange(FClients, {});
}

void TIdPeerThread::RewatchClients(const std::vector<TIdTCPClient*>& AClients)
{
    for (TIdTCPClient* client : AClients)
        WatchClient(client);
}

bool TIdPeerThread::HandOffConnection(
    const std::function<void(std::unique_ptr<TIdTCPServerConnection>&)>& ATake)
{
    TIdTCPServer* server = FConnection->Server();
    auto list = server->Threads().LockList();
    // Aborted is set under this same lock by deactivation, after it disconnected us.
    if (Aborted())
        return false;
    const std::vector<TIdTCPClient*> clients = ForgetClients();
    ATake(FConnection);
    if (FConnection) {
        RewatchClients(clients);
        return false;
    }
    FHandedOffFrom = server;
    server->Threads().RemoveLocked(list, this);
    Stop();
    return true;
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
        if (FConnection &&
            (e.LastError() == Id_WSAECONNABORTED || e.LastError() == Id_WSAECONNRESET))
            FConnection->Disconnect();
    } catch (const EIdClosedSocket&) {}
    // Without a connection it was handed off and lives on elsewhere.
    if (!FConnection || !FConnection->Connected())
        Stop();
}

void TIdPeerThread::AfterLoop()
{
    if (FHandedOffFrom) {
        // The connection goes on with its new owner: no DoDisconnect. The list was left in
        // HandOffConnection.
        FHandedOffFrom->ReleasePeerThread(this);
        SetFreeOnTerminate(true);
        return;
    }
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
