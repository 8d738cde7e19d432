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
#include <memory>
#include <mutex>
#include <vector>

#include "IdThread.h"
#include "IdTCPServerConnection.h"

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

    std::unique_ptr<TIdTCPServerConnection> FConnection;
    mutable std::mutex FAbortLock;           // guards the three fields below
    std::condition_variable FAbortWake;
    bool FAborted = false;
    std::vector<TIdTCPClient*> FClients;
};
