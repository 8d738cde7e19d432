// The thread that serves one accepted connection of a TIdTCPServer: the server's DoConnect
// once, DoExecute while the connection is up, DoDisconnect once (also after an exception);
// then it frees its connection and, at its very end, itself and its Data.
//
// Every way a peer thread can block is ended by the server's deactivation (and destruction):
//  - waits and transfers on its Connection: the connection is disconnected;
//  - waits, transfers and connects of TIdTCPClients it connected (registered automatically,
//    see TIdTCPClient): they are aborted;
//  - Pause: it returns early;
//  - Synchronize: the deactivating (or destroying) main thread serves the call.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "net/IdThread.h"
#include "net/IdTCPServerConnection.h"

class TIdTCPClient;
class TIdTCPServer;

class TIdPeerThread : public TIdThread {
public:
    explicit TIdPeerThread(bool ACreateSuspended = true);
    ~TIdPeerThread() override;

    // The accepted connection; owned by the thread until AfterLoop frees it.
    TIdTCPServerConnection* Connection() const { return FConnection.get(); }
    void SetConnection(std::unique_ptr<TIdTCPServerConnection> AConnection);

    // On the thread itself: sleeps AMilliseconds unless the server is being stopped; returns
    // true when the whole time passed, false when deactivation ended it early (or had already
    // happened). For pauses that hold a speed limit.
    bool Pause(int AMilliseconds);
    // True once the server's deactivation has aborted this thread's waits. Thread safe.
    bool Aborted() const;
    // Ends every wait of this thread: disconnects nothing, but aborts registered clients and
    // ends a Pause, now and for the rest of the thread's life. Thread safe.
    void AbortWaits();

    // On the thread itself, from DoExecute: offers the connection to ATake, which may move it
    // away to a new owner (the mapping engine's relay pool does). ATake runs under the lock of
    // the server's peer list, which deactivation holds while it disconnects the peers: a
    // deactivation finds the connection either still here or already with its new owner.
    // When ATake took it, the thread forgets its registered clients (their new owner stops
    // them), leaves the server's list at once and ends after this step without DoDisconnect,
    // since the connection has not ended. Returns whether it was taken; never offered once
    // deactivation has reached this thread.
    bool HandOffConnection(
        const std::function<void(std::unique_ptr<TIdTCPServerConnection>&)>& ATake);
    // On the thread itself: registers a client connected on another thread, so that
    // deactivation aborts its waits as it does for one connected here. False when already aborted.
    bool AdoptClient(TIdTCPClient* AClient) { return WatchClient(AClient); }

    // The peer thread running the calling code, or nullptr.
    static TIdPeerThread* Current();

protected:
    void BeforeLoop() override;
    void LoopStep() override;
    void AfterLoop() override;
    void Execute() override;

private:
    friend class TIdTCPClient;
    // Registration of outbound clients; false when already aborted.
    bool WatchClient(TIdTCPClient* AClient);
    void UnwatchClient(TIdTCPClient* AClient);

    // Unregisters every client and returns them; RewatchClients undoes it.
    std::vector<TIdTCPClient*> ForgetClients();
    void RewatchClients(const std::vector<TIdTCPClient*>& AClients);

    std::unique_ptr<TIdTCPServerConnection> FConnection;
    TIdTCPServer* FHandedOffFrom = nullptr;  // set when the connection went to a new owner
    mutable std::mutex FAbortLock;  // guards the three fields below
    std::condition_variable FAbortWake;
    bool FAborted = false;
    std::vector<TIdTCPClient*> FClients;
};
