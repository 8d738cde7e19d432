// One socket with its local and remote address, and the ordered collection of them that a
// server listens on (its Bindings).
//
// A handle is closed (HandleAllocated false, Handle -1) or open. AllocateSocket or Accept open
// it, CloseSocket closes it, and it can be opened again afterwards.
//
// Threads: a handle belongs to one thread at a time, its owner: the thread that allocated or
// accepted it, or the one that later called ClaimOwnership. Other threads may call only
// CloseSocket, ShutdownBoth, ShutdownReceive and the address getters. When a thread other
// than the owner closes the socket, it shuts the socket down in both directions (which wakes
// an owner blocked in poll, recv, send or connect on it) and leaves the descriptor itself open
// until the owner next allocates, closes or destroys the handle. So a descriptor number the
// owner has read from Handle() stays valid, and never names somebody else's socket, while the
// owner uses it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/IdGlobal.h"
#include "net/IdStack.h"

class TIdSocketHandles;

class TIdSocketHandle {
public:
    // Port starts as the collection's default port (0 without a collection).
    explicit TIdSocketHandle(TIdSocketHandles* ACollection = nullptr);
    virtual ~TIdSocketHandle();
    TIdSocketHandle(const TIdSocketHandle&) = delete;
    TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

    // Closes any open socket (resetting the local address too), then opens a new one of the
    // family, non-blocking when asked. The calling thread becomes the owner.
    void AllocateSocket(int ASocketType = 1, int AProtocol = 0,
                        TIdIPVersion AVersion = TIdIPVersion::V4, bool ANonBlocking = false);
    // The family a socket needs to bind to AIP: IPv6 for an IPv6 literal, IPv4 otherwise (an
    // empty IP and text that is no address included: Bind then fails as it always did).
    static TIdIPVersion VersionToBind(const std::string& AIP);
    // Binds to IP and Port. 10048 raises EIdCouldNotBindSocket, other failures EIdSocketError
    // (an IPv6 scope that names no interface says so). Afterwards IP and Port show what was
    // bound (0.0.0.0 or ::, the chosen port).
    void Bind();
    // Listens with the backlog; the socket is made non-blocking so that an accept after a
    // client vanished returns instead of hanging.
    void Listen(int ABacklog = Id_ListenBacklog);
    // Accepts one connection from AListenSocket into this (closed) handle: false, with the
    // handle left closed, when no client is waiting (a drained non-blocking socket is the
    // normal end of a round of accepts, too frequent to pay for an exception); raises
    // EIdSocketError on any other failure. The calling thread becomes the owner. Without
    // ALearnLocal the local address stays unknown (empty) until UpdateLocal: a system call
    // fewer for a caller that never shows it.
    bool Accept(int AListenSocket, bool ALearnLocal = true);
    void SetPeer(const std::string& AIP, int APort);
    // Connects to PeerIP:PeerPort; returns the stack result untested (the caller tests it).
    // See TIdStack::Connect for AStillWanted and AWatchSocket.
    virtual int Connect(const std::function<bool()>& AStillWanted = {}, int AWatchSocket = -1);
    // Connects to the first of ATargets that answers (TIdStack::ConnectFirst): the socket must
    // be of ATargets[0]'s family. Returns the winner's index or -1 (the caller tests it).
    int ConnectFirst(const std::vector<TIdIPAddress>& ATargets, int APort,
                     const std::function<bool()>& AStillWanted = {}, int AWatchSocket = -1);
    // TIdStack::ConnectNoWait on this socket, untested result.
    int ConnectNoWait();
    int Recv(void* ABuffer, int ALength);
    int Send(const void* ABuffer, int ALength);
    int RecvIfReady(void* ABuffer, int ALength);
    void SetSockOpt(int ALevel, int AOptName, const void* AOptVal, int AOptLen);
    // Switches Nagle's algorithm off (TCP_NODELAY): every send leaves at once, even while an
    // earlier one is still unacknowledged. Never fails: on a socket that a stop has closed
    // meanwhile it does nothing, and the connection ends the usual way.
    void DisableNagle();
    // True when the socket is readable within ATimeout ms. Raises EIdConnClosedGracefully when
    // the handle is closed, also between the pieces an active anti-freeze cuts the wait into
    // (see IdAntiFreeze.h: slices for a wait without limit, two pieces for a long finite one).
    bool WaitForData(int ATimeout = InfiniteTimeout);
    // Nothing when closed. Otherwise shuts down sending, closes and clears Handle, PeerIP and
    // PeerPort, and with AResetLocal also IP and Port. Returns true when this call closed an
    // open socket (so exactly one of several racing callers sees true). Thread safe.
    virtual bool CloseSocket(bool AResetLocal = true);
    // Closes an open socket with a reset instead of an orderly end (SO_LINGER 0, no shutdown
    // first): the peer's next read fails with 10054, and nothing lingers in TIME_WAIT here.
    // Owner thread; from another thread it is CloseSocket.
    void CloseWithReset();
    // Closes an open socket whose peer has nothing unread here (its end was read, or nothing
    // was waiting) without shutting sending down first: close alone sends the FIN then, and a
    // busy relay saves a system call per socket. Owner thread; from another thread it is
    // CloseSocket. Returns as CloseSocket does.
    bool CloseDrained();
    // Bytes sent that the peer has not acknowledged yet; -1 when closed or unknown.
    int UnacknowledgedBytes() const;
    // Shuts the open socket down in both directions without closing it or changing any field:
    // every thread waiting on it wakes up. Thread safe.
    void ShutdownBoth();
    // Shuts the open socket down for receiving only: every thread waiting on it wakes up, and
    // nothing goes out on the wire. Thread safe.
    void ShutdownReceive();
    // Makes the calling thread the owner (see the class comment). Thread safe.
    void ClaimOwnership();
    void UpdateLocal();
    void UpdatePeer();
    // Copies IP, Port, PeerIP and PeerPort.
    void Assign(const TIdSocketHandle& ASource);

    // Thread safe getters.
    int Handle() const { return FHandle.load(); }
    bool HandleAllocated() const { return FHandleAllocated.load(); }
    std::string IP() const;
    int Port() const;
    std::string PeerIP() const;
    int PeerPort() const;
    // Setters: owner thread, while the handle is not in use by another thread.
    void SetIP(const std::string& AIP);
    void SetPort(int APort);
    // Whether a server serves every address of both families through this binding: set by the
    // server for a binding it was given without an IP, which then listens on 0.0.0.0 and on
    // [::] beside it (see TIdTCPServer). Main thread only.
    bool EveryFamily() const { return FEveryFamily; }
    void SetEveryFamily(bool AValue) { FEveryFamily = AValue; }

private:
    // How the owner closes; any other thread shuts the socket down and leaves it to the owner.
    enum class TOwnerClose { Orderly, Reset, Drained };
    bool CloseAs(TOwnerClose AHow, bool AResetLocal);
    void ClosePendingIfOwner();
    bool CallerIsOwner() const;
    void AssertOwner() const;
    void SetLocal(const std::string& AIP, int APort);

    mutable std::mutex FLock;  // guards the addresses and open/close transitions
    std::atomic<int> FHandle{-1};
    std::atomic<bool> FHandleAllocated{false};
    std::atomic<std::thread::id> FOwner{};
    int FPendingClose = -1;  // shut down by another thread, closed by the owner
    std::string FIP;
    int FPort = 0;
    std::string FPeerIP;
    int FPeerPort = 0;
    bool FEveryFamily = false;
};

// The ordered bindings of a server. Called on the main thread (and read by the server's
// listener thread while the server is active, when the program does not change them).
class TIdSocketHandles {
public:
    TIdSocketHandles() = default;
    TIdSocketHandles(const TIdSocketHandles&) = delete;
    TIdSocketHandles& operator=(const TIdSocketHandles&) = delete;

    // A new handle at the end, its Port set to DefaultPort.
    TIdSocketHandle* Add();
    TIdSocketHandle* Items(int AIndex) const
    {
        return FItems.at(static_cast<std::size_t>(AIndex)).get();
    }
    int Count() const { return static_cast<int>(FItems.size()); }
    // Destroys every handle, closing their sockets.
    void Clear() { FItems.clear(); }

    int DefaultPort() const { return FDefaultPort; }
    void SetDefaultPort(int APort) { FDefaultPort = APort; }

private:
    std::vector<std::unique_ptr<TIdSocketHandle>> FItems;
    int FDefaultPort = 0;
};
