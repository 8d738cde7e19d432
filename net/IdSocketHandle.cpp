#include "net/IdSocketHandle.h"

#include <algorithm>
#include <cassert>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "net/IdAntiFreeze.h"
#include "net/IdException.h"
#include "net/IdStack.h"

TIdSocketHandle::TIdSocketHandle(TIdSocketHandles* ACollection)
    : FPort(ACollection ? ACollection->DefaultPort() : 0)
{}

TIdSocketHandle::~TIdSocketHandle()
{
    // Whoever destroys the handle is the last user of its descriptor.
    ClaimOwnership();
    CloseSocket(true);
}

bool TIdSocketHandle::CallerIsOwner() const
{
    return FOwner.load() == std::this_thread::get_id();
}

// Every call that hands the descriptor number to the system comes from the owner: only for the
// owner does that number stay valid (another thread's close leaves it open until the owner is
// done with it). Checked where assertions are on.
void TIdSocketHandle::AssertOwner() const
{
    assert(CallerIsOwner() && "socket used by a thread that does not own it");
}

void TIdSocketHandle::ClaimOwnership()
{
    std::lock_guard lock(FLock);
    FOwner = std::this_thread::get_id();
    ClosePendingIfOwner();
}

void TIdSocketHandle::ClosePendingIfOwner()
{
    if (FPendingClose != -1 && CallerIsOwner()) {
        GStack().CloseSocket(FPendingClose);
        FPendingClose = -1;
    }
}

void TIdSocketHandle::AllocateSocket(int ASocketType, int AProtocol, TIdIPVersion AVersion,
                                     bool ANonBlocking)
{
    ClaimOwnership();
    CloseSocket(true);
    const int s = GStack().NewSocket(ASocketType, AProtocol, AVersion, ANonBlocking);
    std::lock_guard lock(FLock);
    FHandle = s;
    FHandleAllocated = true;
}

TIdIPVersion TIdSocketHandle::VersionToBind(const std::string& AIP)
{
    return TIdIPAddress::LooksLikeIPv6(AIP) ? TIdIPVersion::V6 : TIdIPVersion::V4;
}

void TIdSocketHandle::Bind()
{
    AssertOwner();
    const std::string ip = IP();
    const int result = GStack().Bind(Handle(), ip, Port());
    if (result == -1 && GStack().LastErrorCode() == Id_WSAEADDRNOTAVAIL) {
        const std::string scope = TIdIPAddress::ScopeProblem(ip);
        if (!scope.empty())
            throw EIdSocketError(Id_WSAEADDRNOTAVAIL,
                                 TIdStack::ErrorText(Id_WSAEADDRNOTAVAIL) + " " + scope);
    }
    if (GStack().CheckResult(result, {Id_WSAEADDRINUSE}))
        throw EIdCouldNotBindSocket();
    UpdateLocal();
}

void TIdSocketHandle::Listen(int ABacklog)
{
    AssertOwner();
    GStack().CheckResult(GStack().Listen(Handle(), ABacklog));
    GStack().CheckResult(GStack().SetNonBlocking(Handle(), true));
}

bool TIdSocketHandle::Accept(int AListenSocket, bool ALearnLocal)
{
    ClaimOwnership();
    CloseSocket(true);
    std::string peerIP;
    int peerPort = 0;
    const int s = GStack().Accept(AListenSocket, peerIP, peerPort);
    if (GStack().CheckResult(s, {Id_WSAEWOULDBLOCK}))
        return false;
    {
        std::lock_guard lock(FLock);
        FHandle = s;
        FHandleAllocated = true;
    }
    if (ALearnLocal)
        UpdateLocal();
    // The remote end as accept reported it: asking the socket again fails once a client that
    // reset right after connecting is gone.
    SetPeer(peerIP, peerPort);
    return true;
}

void TIdSocketHandle::SetPeer(const std::string& AIP, int APort)
{
    std::lock_guard lock(FLock);
    FPeerIP = AIP;
    FPeerPort = APort;
}

int TIdSocketHandle::Connect(const std::function<bool()>& AStillWanted, int AWatchSocket)
{
    AssertOwner();
    const int result = GStack().Connect(Handle(), PeerIP(), PeerPort(), AStillWanted, AWatchSocket);
    if (result != -1) {
        UpdateLocal();
        UpdatePeer();
    }
    return result;
}

int TIdSocketHandle::ConnectFirst(const std::vector<TIdIPAddress>& ATargets, int APort,
                                  const std::function<bool()>& AStillWanted, int AWatchSocket)
{
    AssertOwner();
    const int winner = GStack().ConnectFirst(Handle(), ATargets, APort, AStillWanted, AWatchSocket);
    if (winner != -1) {
        UpdateLocal();
        UpdatePeer();
    }
    return winner;
}

int TIdSocketHandle::ConnectNoWait()
{
    AssertOwner();
    const int result = GStack().ConnectNoWait(Handle(), PeerIP(), PeerPort());
    // The peer is the address just connected to: asking the socket again would only repeat it.
    if (result != -1)
        UpdateLocal();
    return result;
}

int TIdSocketHandle::Recv(void* ABuffer, int ALength)
{
    AssertOwner();
    return GStack().Recv(Handle(), ABuffer, ALength);
}

int TIdSocketHandle::Send(const void* ABuffer, int ALength)
{
    AssertOwner();
    return GStack().Send(Handle(), ABuffer, ALength);
}

int TIdSocketHandle::RecvIfReady(void* ABuffer, int ALength)
{
    AssertOwner();
    return GStack().RecvIfReady(Handle(), ABuffer, ALength);
}

void TIdSocketHandle::SetSockOpt(int ALevel, int AOptName, const void* AOptVal, int AOptLen)
{
    AssertOwner();
    GStack().CheckResult(GStack().SetSockOpt(Handle(), ALevel, AOptName, AOptVal, AOptLen));
}

void TIdSocketHandle::DisableNagle()
{
    // Only a matter of speed, so a failure is no reason to end a connection: a peer thread
    // that a stop held up finds its socket closed (10009), and it must still end with its
    // usual lines and counts.
    const int one = 1;
    GStack().SetSockOpt(Handle(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool TIdSocketHandle::WaitForData(int ATimeout)
{
    AssertOwner();
    // With an active anti-freeze a wait without limit becomes a series of slices of its
    // IdleTimeOut, so that a socket closed meanwhile is noticed at the latest after one slice.
    // A finite wait longer than one slice is made of two waits: all but the last slice, then
    // the last slice; a finite wait no longer than a slice is not cut.
    for (;;) {
        if (!HandleAllocated())
            throw EIdConnClosedGracefully();
        const int slice = TIdAntiFreezeBase::ActiveIdleTimeOut();
        int wait = ATimeout;
        if (slice > 0 && (ATimeout == InfiniteTimeout || ATimeout > slice))
            wait = ATimeout == InfiniteTimeout ? slice : ATimeout - slice;
        TIdSocketList list{Handle()};
        const bool ready = GStack().Select(list, wait) == 1;
        TIdAntiFreezeBase::DoProcess(!ready, false);
        if (ready || wait == ATimeout)
            return ready;
        if (ATimeout != InfiniteTimeout)
            ATimeout = slice;
    }
}

bool TIdSocketHandle::CloseSocket(bool AResetLocal)
{
    return CloseAs(TOwnerClose::Orderly, AResetLocal);
}

void TIdSocketHandle::CloseWithReset()
{
    CloseAs(TOwnerClose::Reset, true);
}

bool TIdSocketHandle::CloseDrained()
{
    return CloseAs(TOwnerClose::Drained, true);
}

bool TIdSocketHandle::CloseAs(TOwnerClose AHow, bool AResetLocal)
{
    std::lock_guard lock(FLock);
    ClosePendingIfOwner();
    if (!FHandleAllocated)
        return false;
    FHandleAllocated = false;
    const int s = FHandle.exchange(-1);
    if (!CallerIsOwner()) {
        // The owner may be waiting on s or about to pass it to a system call: wake it, and
        // leave the number reserved until the owner is done with it.
        GStack().Shutdown(s, Id_SD_Both);
        FPendingClose = s;
    } else {
        if (AHow == TOwnerClose::Orderly) {
            GStack().Shutdown(s, Id_SD_Send);
        } else if (AHow == TOwnerClose::Reset) {
            // Should the option fail, the close is an orderly one; the peer is gone anyway.
            const linger hard{1, 0};
            GStack().SetSockOpt(s, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
        GStack().CloseSocket(s);
    }
    FPeerIP.clear();
    FPeerPort = 0;
    if (AResetLocal) {
        FIP.clear();
        FPort = 0;
    }
    return true;
}

int TIdSocketHandle::UnacknowledgedBytes() const
{
    return HandleAllocated() ? GStack().UnacknowledgedBytes(Handle()) : -1;
}

void TIdSocketHandle::ShutdownBoth()
{
    std::lock_guard lock(FLock);
    if (FHandleAllocated)
        GStack().Shutdown(FHandle, Id_SD_Both);
}

void TIdSocketHandle::ShutdownReceive()
{
    std::lock_guard lock(FLock);
    if (FHandleAllocated)
        GStack().Shutdown(FHandle, Id_SD_Receive);
}

void TIdSocketHandle::UpdateLocal()
{
    std::string ip;
    int port = 0;
    GStack().GetSockName(Handle(), ip, port);
    SetLocal(ip, port);
}

void TIdSocketHandle::UpdatePeer()
{
    std::string ip;
    int port = 0;
    GStack().GetPeerName(Handle(), ip, port);
    SetPeer(ip, port);
}

void TIdSocketHandle::Assign(const TIdSocketHandle& ASource)
{
    if (&ASource == this)
        return;
    const std::string ip = ASource.IP(), peerIP = ASource.PeerIP();
    const int port = ASource.Port(), peerPort = ASource.PeerPort();
    std::lock_guard lock(FLock);
    FIP = ip;
    FPort = port;
    FPeerIP = peerIP;
    FPeerPort = peerPort;
}

void TIdSocketHandle::SetLocal(const std::string& AIP, int APort)
{
    std::lock_guard lock(FLock);
    FIP = AIP;
    FPort = APort;
}

std::string TIdSocketHandle::IP() const
{
    std::lock_guard lock(FLock);
    return FIP;
}

int TIdSocketHandle::Port() const
{
    std::lock_guard lock(FLock);
    return FPort;
}

std::string TIdSocketHandle::PeerIP() const
{
    std::lock_guard lock(FLock);
    return FPeerIP;
}

int TIdSocketHandle::PeerPort() const
{
    std::lock_guard lock(FLock);
    return FPeerPort;
}

void TIdSocketHandle::SetIP(const std::string& AIP)
{
    std::lock_guard lock(FLock);
    FIP = AIP;
}

void TIdSocketHandle::SetPort(int APort)
{
    std::lock_guard lock(FLock);
    FPort = APort;
}

TIdSocketHandle* TIdSocketHandles::Add()
{
    FItems.push_back(std::make_unique<TIdSocketHandle>(this));
    return FItems.back().get();
}
