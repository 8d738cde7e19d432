#include "net/IdTCPServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

#include "net/IdException.h"
#include "net/IdListenerThread.h"
#include "net/IdPeerThread.h"
#include "net/IdSync.h"
#include "net/IdTCPServerConnection.h"
#include "net/IdThreadMgrDefault.h"
#include "net/ThreadChecks.h"

TIdTCPServer::TIdTCPServer(TIdBaseComponent* AOwner)
    : TIdComponent(AOwner), FPeerTracker(std::make_shared<TIdThreadTracker>())
{
    ThreadClass = [] { return std::make_unique<TIdPeerThread>(true); };
    FListenerWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TIdTCPServer::~TIdTCPServer()
{
    Shutdown();
    if (FListenerWake != -1)
        close(FListenerWake);
}

void TIdTCPServer::WakeListener()
{
    if (FListenerWake == -1)
        return;
    const std::uint64_t one = 1;
    // A full counter (never reached) would still leave the descriptor readable.
    [[maybe_unused]] const ssize_t n = write(FListenerWake, &one, sizeof one);
}

void TIdTCPServer::TakeListenerWake()
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = read(FListenerWake, &count, sizeof count);
}

std::vector<int> TIdTCPServer::ListeningSockets() const
{
    std::vector<int> sockets;
    for (const TIdSocketHandle* handle : ListeningHandles())
        sockets.push_back(handle->Handle());
    return sockets;
}

void TIdTCPServer::Shutdown()
{
    AssertMainThread();
    SetActive(false);
    DisconnectAllPeers();
    // Every wait a peer can be in has been ended above; what is left is its way out,
    // possibly through a synchronized call that this wait serves on the main thread.
    FPeerTracker->WaitForAll();
}

TIdThreadMgr* TIdTCPServer::ThreadMgr() const
{
    std::lock_guard lock(FThreadMgrLock);
    return FThreadMgr;
}

void TIdTCPServer::SetThreadMgr(TIdThreadMgr* AThreadMgr)
{
    std::lock_guard lock(FThreadMgrLock);
    FOwnedThreadMgr.reset();
    FImplicitThreadMgr = false;
    FThreadMgr = AThreadMgr;
}

void TIdTCPServer::SetActive(bool AValue)
{
    AssertMainThread();
    if (AValue == FActive)
        return;
    if (AValue)
        Activate();
    else
        Deactivate();
}

void TIdTCPServer::Activate()
{
    if (FBindings.Count() == 0)
        FBindings.Add();
    FIPv6Twins.clear();
    FEveryFamilyProblem.clear();
    for (int i = 0; i < FBindings.Count(); ++i) {
        TIdSocketHandle* binding = FBindings.Items(i);
        if (binding->IP().empty())
            binding->SetEveryFamily(true);
        ListenOnEveryFamilyAsked(*binding);
    }
    {
        std::lock_guard lock(FThreadMgrLock);
        if (!FThreadMgr) {
            FOwnedThreadMgr = std::make_unique<TIdThreadMgrDefault>(this);
            FThreadMgr = FOwnedThreadMgr.get();
            FImplicitThreadMgr = true;
        }
        FThreadMgr->ThreadClass = ThreadClass;
    }
    {
        auto list = FThreads.LockList();
        FPeersClosed = false;
    }
    auto listener = std::make_unique<TIdListenerThread>(this);
    listener->SetAcceptTimeout(FAcceptTimeout);
    listener->Start();
    FListener = std::move(listener);
    FActive = true;
}

void TIdTCPServer::ListenOn(TIdSocketHandle& ABinding, TIdIPVersion AVersion)
{
    ABinding.AllocateSocket(Id_SOCK_STREAM, Id_IPPROTO_IP, AVersion);
    const int one = 1;
    ABinding.SetSockOpt(SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ABinding.Bind();
    // Before listening: a client accepted before the option was set would keep Nagle on.
    if (FClientsWithoutNagle)
        ABinding.SetSockOpt(IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ABinding.Listen(Id_ListenBacklog);
}

// A binding whose port the system chooses gets one that is free on both families: the port it
// chose for IPv4 can be taken on IPv6 (by the local end of a connection, say), so it chooses
// again, a few times at most.
void TIdTCPServer::ListenOnEveryFamilyAsked(TIdSocketHandle& ABinding)
{
    constexpr int kPortChoices = 10;
    const bool systemChooses = ABinding.Port() == 0;
    for (int choice = 1;; ++choice) {
        ListenOn(ABinding, TIdSocketHandle::VersionToBind(ABinding.IP()));
        if (!ABinding.EveryFamily() || ListenOnEveryIPv6Address(ABinding) || !systemChooses ||
            choice == kPortChoices)
            return;
        ABinding.CloseSocket(false);
        ABinding.SetPort(0);
        FEveryFamilyProblem.clear();
    }
}

bool TIdTCPServer::ListenOnEveryIPv6Address(const TIdSocketHandle& ABinding)
{
    auto twin = std::make_unique<TIdSocketHandle>();
    twin->SetPort(ABinding.Port());  // the port the IPv4 socket got, chosen or given
    try {
        ListenOn(*twin, TIdIPVersion::V6);
    } catch (const EIdException& e) {
        // A machine without IPv6 has no IPv6 clients to miss; anything else (the port taken
        // on IPv6 by another program, say) is told, and IPv4 clients are served still.
        const auto* socketError = dynamic_cast<const EIdSocketError*>(&e);
        if (!socketError || socketError->LastError() != Id_WSAEAFNOSUPPORT)
            FEveryFamilyProblem = e.what();
        return dynamic_cast<const EIdCouldNotBindSocket*>(&e) == nullptr;
    }
    FIPv6Twins.push_back(std::move(twin));
    return true;
}

std::vector<TIdSocketHandle*> TIdTCPServer::ListeningHandles() const
{
    std::vector<TIdSocketHandle*> handles;
    for (int i = 0; i < FBindings.Count(); ++i)
        handles.push_back(FBindings.Items(i));
    for (const auto& twin : FIPv6Twins)
        handles.push_back(twin.get());
    return handles;
}

void TIdTCPServer::Deactivate()
{
    if (FListener)
        FListener->Stop();
    // Closing wakes the listener's wait at once (the sockets are shut down first); the wake-up
    // does when it leaves the sockets to another carrier.
    WakeListener();
    for (TIdSocketHandle* handle : ListeningHandles())
        handle->CloseSocket(false);
    DisconnectAllPeers();
    {
        std::lock_guard lock(FThreadMgrLock);
        if (FImplicitThreadMgr) {
            FThreadMgr = nullptr;
            FOwnedThreadMgr.reset();
            FImplicitThreadMgr = false;
        }
    }
    if (FListener) {
        TIdListenerThread* listener = FListener.get();
        ServeWhileWaiting([listener] { return listener->Finished(); });
        listener->WaitFor();
        FListener.reset();
    }
    FActive = false;
}

void TIdTCPServer::DisconnectAllPeers()
{
    {
        auto list = FThreads.LockList();
        FPeersClosed = true;
        for (TIdPeerThread* peer : *list) {
            peer->Connection()->Disconnect();
            peer->AbortWaits();
        }
    }
    // Bounded: peers still busy afterwards (a synchronized call, say) finish on their own.
    FThreads.WaitUntilEmpty(FTerminateWaitTime / 25 * 25);
}

TIdPeerThread* TIdTCPServer::ObtainPeerThread()
{
    std::lock_guard lock(FThreadMgrLock);
    if (!FThreadMgr)
        return nullptr;
    TIdThread* thread = FThreadMgr->ObtainThread();
    auto* peer = dynamic_cast<TIdPeerThread*>(thread);
    if (!peer) {
        FThreadMgr->ReleaseThread(thread);
        throw EIdTCPServerError("The thread class does not make peer threads.");
    }
    return peer;
}

void TIdTCPServer::ReleasePeerThread(TIdThread* AThread)
{
    std::lock_guard lock(FThreadMgrLock);
    if (FThreadMgr)
        FThreadMgr->ReleaseThread(AThread);
    else if (AThread != TIdThread::Current())
        std::unique_ptr<TIdThread> owned(AThread);
}

bool TIdTCPServer::DoAdmit(TIdTCPServerConnection&)
{
    return true;
}

bool TIdTCPServer::DoTakeAccepted(std::unique_ptr<TIdTCPServerConnection>&)
{
    return false;
}

bool TIdTCPServer::ResumePeer(std::unique_ptr<TIdTCPServerConnection>& AConnection,
                              std::unique_ptr<TIdObject>& AData)
{
    TIdPeerThread* peer = nullptr;
    try {
        peer = ObtainPeerThread();
    } catch (const EIdException&) {}
    if (!peer)
        return false;
    peer->SetTracker(FPeerTracker);
    {
        // As the listener does: a deactivation that has locked the list to disconnect the
        // peers has either seen this one or closed the door before it.
        auto list = FThreads.LockList();
        if (!FPeersClosed) {
            peer->SetConnection(std::move(AConnection));
            peer->SetData(std::move(AData));
            list->push_back(peer);
            FPeerTracker->Enter();
        }
    }
    if (AConnection) {
        ReleasePeerThread(peer);
        return false;
    }
    try {
        peer->Start();
    } catch (const EIdException&) {
        // The connection and its data go with the thread object.
        FThreads.Remove(peer);
        FPeerTracker->Leave();
        ReleasePeerThread(peer);
        return false;
    }
    return true;
}

void TIdTCPServer::DoConnect(TIdPeerThread* AThread)
{
    if (OnConnect)
        OnConnect(AThread);
}

void TIdTCPServer::DoDisconnect(TIdPeerThread* AThread)
{
    if (OnDisconnect)
        OnDisconnect(AThread);
}

bool TIdTCPServer::DoExecute(TIdPeerThread* AThread)
{
    if (!OnExecute)
        return false;
    OnExecute(AThread);
    return true;
}
