// The accepting thread of an active TIdTCPServer. Waits up to AcceptTimeout on all bindings,
// accepts what is pending and hands each connection to a new peer thread.
//
// An accept that fails because the client already left, or because descriptors or memory ran
// out for a moment, drops that one connection and keeps listening; out of descriptors, it first
// pauses briefly (ended at once by Stop) so that it does not spin on the pending connection.
//
// While the server's DoListenerAccepts says no (another carrier accepts on the same sockets),
// the thread waits without accepting until WakeListener or its timeout lets it ask again.
#pragma once

#include "net/IdStack.h"
#include "net/IdThread.h"

class TIdTCPServer;

// What a failed accept means for whoever accepts on a listening socket (no client waiting is
// not a failure: TIdSocketHandle::Accept returns false for it).
enum class TIdAcceptFailure {
    ClientGone,  // that one connection is lost; the next accept may succeed
    OutOfResources,  // descriptors, buffers or memory ran out: pause before the next accept
    Broken,  // the listening socket itself failed or was closed: accept no more
};
TIdAcceptFailure ClassifyAcceptFailure(int AErrorCode);

class TIdListenerThread : public TIdThread {
public:
    explicit TIdListenerThread(TIdTCPServer* AServer);

    int AcceptTimeout() const { return FAcceptTimeout; }
    void SetAcceptTimeout(int AMilliseconds) { FAcceptTimeout = AMilliseconds; }
    TIdTCPServer* Server() const { return FServer; }

    // Pause after an accept failed for lack of descriptors, buffers or memory.
    static constexpr int ResourcePauseMs = 100;

protected:
    void BeforeLoop() override;
    void LoopStep() override;
    void AfterLoop() override;

private:
    void AcceptOne(int AListenSocket);
    bool SurviveAcceptError(int AErrorCode);
    void StartPeer(class TIdPeerThread* APeer);

    TIdTCPServer* FServer;
    int FAcceptTimeout = 1000;
    TIdSocketList FReadList;
};
