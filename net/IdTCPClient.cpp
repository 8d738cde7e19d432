#include "net/IdTCPClient.h"

#include <netinet/in.h>

#include "net/IdException.h"
#include "net/IdPeerThread.h"
#include "net/IdStack.h"

TIdTCPClient::TIdTCPClient(TIdBaseComponent* AOwner) : TIdTCPConnection(AOwner)
{}

TIdTCPClient::~TIdTCPClient()
{
    if (FWatcher)
        FWatcher->UnwatchClient(this);
}

void TIdTCPClient::NotifyConnected()
{
    if (OnConnected)
        OnConnected(this);
}

void TIdTCPClient::Connect()
{
    if (Binding()->HandleAllocated())
        throw EIdAlreadyConnected();
    ResetState();
    try {
        const std::vector<TIdIPAddress> targets = TargetsToTry();
        Binding()->AllocateSocket(Id_SOCK_STREAM, Id_IPPROTO_IP, targets.front().Version());
        SetupSocket(targets.front());
        ConnectWatched(targets);
    } catch (...) {
        try {
            Disconnect();
        } catch (...) {}
        throw;
    }
    NotifyConnected();
}

bool TIdTCPClient::BeginConnectTo(const TIdIPAddress& ATarget)
{
    if (Binding()->HandleAllocated())
        throw EIdAlreadyConnected();
    ResetState();
    Binding()->AllocateSocket(Id_SOCK_STREAM, Id_IPPROTO_IP, ATarget.Version(), true);
    int code = 0;
    try {
        SetupSocket(ATarget);
        if (Binding()->ConnectNoWait() == 0) {
            NotifyConnected();
            return true;
        }
        code = GStack().LastErrorCode();
    } catch (...) {
        Disconnect();
        throw;
    }
    if (code == Id_WSAEINPROGRESS)
        return false;
    Disconnect();
    GStack().RaiseError(code);
}

std::vector<TIdIPAddress> TIdTCPClient::TargetsToTry() const
{
    std::vector<TIdIPAddress> targets = GStack().ResolveAll(FHost);
    if (FBoundIP.empty())
        return targets;
    // A socket bound to a local address reaches its own family only, and only that socket
    // tries: no others are made for a race.
    const TIdIPVersion version = TIdSocketHandle::VersionToBind(FBoundIP);
    for (const TIdIPAddress& target : targets)
        if (target.Version() == version)
            return {target};
    return {targets.front()};
}

void TIdTCPClient::SetupSocket(const TIdIPAddress& ATarget)
{
    Binding()->SetIP(FBoundIP);
    Binding()->SetPort(0);
    // Without a bound IP the connect itself picks the local address and port, as a bind to
    // the any-address would: six system calls fewer for every new connection.
    if (!FBoundIP.empty()) {
        // With port 0 the local port is chosen at connect time, per target, so outbound
        // connections to different targets do not compete for one pool of ports. Only an
        // optimisation: a kernel without the option binds the port at once, as it always did.
        const int one = 1;
        GStack().SetSockOpt(Binding()->Handle(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one,
                            sizeof one);
        Binding()->Bind();
    }
    Binding()->SetPeer(ATarget.ToText(), FPort);
    if (!FUseNagle)
        Binding()->DisableNagle();
}

void TIdTCPClient::ConnectWatched(const std::vector<TIdIPAddress>& ATargets)
{
    TIdPeerThread* peer = TIdPeerThread::Current();
    if (peer && FWatcher != peer) {
        if (FWatcher)
            FWatcher->UnwatchClient(this);
        if (!peer->WatchClient(this))
            GStack().RaiseError(Id_WSAECONNABORTED);
    }
    std::function<bool()> stillWanted;
    if (peer)
        stillWanted = [peer] { return !peer->Aborted(); };
    const int watched = FWatchWhileConnecting ? FWatchWhileConnecting->Binding()->Handle() : -1;
    const int result = ATargets.size() == 1
        ? Binding()->Connect(stillWanted, watched)
        : Binding()->ConnectFirst(ATargets, FPort, stillWanted, watched);
    if (result == -1) {
        const int code = GStack().LastErrorCode();
        if (code == Id_WSAECONNABORTED && WatchedConnectionLeft())
            throw EIdConnectAbandoned();
        GStack().RaiseError(code);
    }
}

// A watched connection closed on this side (a stop disconnects it from the main thread) has
// not been left by its peer: that connect ends as any aborted one.
bool TIdTCPClient::WatchedConnectionLeft() const
{
    if (!FWatchWhileConnecting)
        return false;
    const TIdSocketHandle& binding = *FWatchWhileConnecting->Binding();
    return binding.HandleAllocated() && GStack().PeerHasLeft(binding.Handle());
}
