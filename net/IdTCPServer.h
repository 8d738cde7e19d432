// The threaded TCP server: one listener thread accepts, one peer thread per connection runs
// the hooks DoConnect, DoExecute (repeated while connected) and DoDisconnect.
//
//   TIdTCPServer server;
//   server.SetDefaultPort(0);                       // 0: the system picks; read it back below
//   server.OnExecute = [](TIdPeerThread* t) { auto& c = *t->Connection(); c.Write(c.ReadAvailable()); };
//   server.SetActive(true);
//   int port = server.Bindings().Items(0)->Port();
//   ...
//   server.SetActive(false);                        // bounded by TerminateWaitTime + listener end
//
// Threads: Active, Bindings, DefaultPort, ThreadMgr, the timeouts and the On* handlers are set
// on the main thread while the server is inactive. The hooks and handlers run on peer threads.
//
// Lifetime: the destructor deactivates and then waits until every peer thread has ended
// (serving synchronized calls meanwhile when it runs on the main thread); deactivation wakes
// every wait a peer can be in (see TIdPeerThread), so this does not hang. A derived server
// whose overridden hooks peer threads may still be running must call Shutdown() at the start
// of its own destructor, before its own members go.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/IdComponent.h"
#include "net/IdGlobal.h"
#include "net/IdSocketHandle.h"
#include "net/IdThread.h"
#include "net/IdThreadMgr.h"

class TIdListenerThread;
class TIdPeerThread;
class TIdTCPServerConnection;
class TIdServerIntercept;

class TIdTCPServer : public TIdComponent {
public:
    explicit TIdTCPServer(TIdBaseComponent* AOwner = nullptr);
    ~TIdTCPServer() override;

    bool Active() const { return FActive.load(); }
    // true: binds and listens on every binding (one on DefaultPort when there are none) and
    // starts the listener; a failure (EIdCouldNotBindSocket, ...) leaves Active false.
    // false: stops the listener, closes the listening sockets, disconnects every peer, waits up
    // to TerminateWaitTime for them, then for the listener. Main thread only.
    virtual void SetActive(bool AValue);

    // Deactivates, then waits until every peer thread has ended. Main thread only.
    void Shutdown();

    // A binding without an IP listens on every address of both families: on 0.0.0.0 itself
    // and on [::] through a second, IPv6-only socket of the server's own on the same port (two
    // sockets rather than one dual-stack socket, so that the binding still shows and works as
    // the IPv4 socket it always was, and a machine without IPv6 still listens on IPv4). An
    // IP of "::" is one dual-stack socket that serves both families.
    TIdSocketHandles& Bindings() { return FBindings; }
    // Why the second socket of a binding without an IP could not listen at the last
    // activation; empty when it listens, and on a machine without IPv6. Main thread only.
    const std::string& EveryFamilyProblem() const { return FEveryFamilyProblem; }
    int DefaultPort() const { return FBindings.DefaultPort(); }
    void SetDefaultPort(int APort) { FBindings.SetDefaultPort(APort); }
    // A manager set here is not owned by the server; without one, activation creates its own.
    TIdThreadMgr* ThreadMgr() const;
    void SetThreadMgr(TIdThreadMgr* AThreadMgr);
    bool ImplicitThreadMgr() const { return FImplicitThreadMgr; }
    int AcceptTimeout() const { return FAcceptTimeout; }
    void SetAcceptTimeout(int AMilliseconds) { FAcceptTimeout = AMilliseconds; }
    int TerminateWaitTime() const { return FTerminateWaitTime; }
    void SetTerminateWaitTime(int AMilliseconds) { FTerminateWaitTime = AMilliseconds; }
    // The running peer threads. Thread safe.
    TThreadList<TIdPeerThread*>& Threads() { return FThreads; }
    // Creates the peer threads; must make TIdPeerThread objects (or derived ones).
    TIdThreadClass ThreadClass;
    // The accepting thread while active, else nullptr. Main thread only.
    TIdListenerThread* Listener() const { return FListener.get(); }
    // Not used by this program.
    TIdServerIntercept* Intercept = nullptr;

    // Called on the listener thread for every accepted connection, before a peer thread
    // exists; false refuses it, and the listener closes it with a reset. The default admits
    // every connection.
    virtual bool DoAdmit(TIdTCPServerConnection& AConnection);
    // Asked by the listener thread before each wait: false leaves the listening sockets to
    // another carrier that accepts on them (see ListeningSockets), and the listener waits
    // without accepting until WakeListener. The default accepts.
    virtual bool DoListenerAccepts() { return true; }
    // Makes the listener ask DoListenerAccepts again now. Thread safe.
    void WakeListener();
    // The listening sockets while active, for a carrier that accepts on them itself; they stay
    // the server's. Main thread.
    std::vector<int> ListeningSockets() const;
    // Called on the listener thread for every admitted connection before a peer thread is
    // obtained for it: a server that carries the connection in some other way takes it
    // (AConnection then empty) and returns true. The default takes none.
    virtual bool DoTakeAccepted(std::unique_ptr<TIdTCPServerConnection>& AConnection);
    // Starts a peer thread for a connection whose DoConnect ran earlier on another peer
    // thread (the mapping engine carries connections between its relay pool and peer
    // threads). The thread runs DoConnect as any other, so the hook must recognise such a
    // thread by its Data, which AData becomes. Refused (false) once deactivation has begun:
    // both stay with the caller. When no thread can be started the connection and data are
    // closed and freed and AConnection comes back empty. Thread safe.
    bool ResumePeer(std::unique_ptr<TIdTCPServerConnection>& AConnection,
                    std::unique_ptr<TIdObject>& AData);

    // Hooks, called on the peer thread with that thread.
    virtual void DoConnect(TIdPeerThread* AThread);
    virtual void DoDisconnect(TIdPeerThread* AThread);
    // Returns true exactly when an execute handler ran.
    virtual bool DoExecute(TIdPeerThread* AThread);

    std::function<void(TIdPeerThread* AThread)> OnConnect;
    std::function<void(TIdPeerThread* AThread)> OnExecute;
    std::function<void(TIdPeerThread* AThread)> OnDisconnect;
    // Fired on the listener thread when an accept fails and the listener carries on; gets the
    // socket error number (10053 client gone, 10024 no descriptors, ...).
    std::function<void(int AErrorCode)> OnAcceptError;

protected:
    // For a subclass's constructor: the listening sockets of every activation get Nagle's
    // algorithm off, so every accepted connection has it off from the start (Linux passes
    // TCP_NODELAY on to the sockets accept returns) without a system call of its own.
    void SetClientsWithoutNagle(bool AValue) { FClientsWithoutNagle = AValue; }

private:
    friend class TIdListenerThread;
    friend class TIdPeerThread;

    void Activate();
    void Deactivate();
    // Listener thread: takes what WakeListener wrote.
    void TakeListenerWake();
    void DisconnectAllPeers();
    void ListenOn(TIdSocketHandle& ABinding, TIdIPVersion AVersion);
    void ListenOnEveryFamilyAsked(TIdSocketHandle& ABinding);
    // False when the port is taken on IPv6 (FEveryFamilyProblem says so).
    bool ListenOnEveryIPv6Address(const TIdSocketHandle& ABinding);
    // The bindings and the IPv6 sockets beside them: what the listener accepts on.
    std::vector<TIdSocketHandle*> ListeningHandles() const;
    // Used by the listener and by peer threads.
    TIdPeerThread* ObtainPeerThread();
    // Without a manager (after deactivation) a thread that is not the caller is freed here.
    void ReleasePeerThread(TIdThread* AThread);

    std::atomic<bool> FActive{false};
    TIdSocketHandles FBindings;
    // The [::] sockets of bindings without an IP (listener thread while active, main thread
    // otherwise).
    std::vector<std::unique_ptr<TIdSocketHandle>> FIPv6Twins;
    std::string FEveryFamilyProblem;  // main thread
    mutable std::mutex FThreadMgrLock;  // guards the manager pointers (main, listener, peers)
    TIdThreadMgr* FThreadMgr = nullptr;
    std::unique_ptr<TIdThreadMgr> FOwnedThreadMgr;
    bool FImplicitThreadMgr = false;
    std::unique_ptr<TIdListenerThread> FListener;
    // An eventfd the listener waits on beside the listening sockets (-1 if none could be
    // made: the listener then asks again at each AcceptTimeout). Lives as long as the server,
    // so any thread may write it at any time.
    int FListenerWake = -1;
    int FAcceptTimeout = 1000;
    // Set by a constructor; read on the main thread at activation.
    bool FClientsWithoutNagle = false;
    int FTerminateWaitTime = 5000;
    TThreadList<TIdPeerThread*> FThreads;
    bool FPeersClosed = false;  // under FThreads' lock: no resumed peers any more
    std::shared_ptr<TIdThreadTracker> FPeerTracker;
};
