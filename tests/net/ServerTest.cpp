// The threaded server: activation, hook order, failures inside peers, synchronized calls.
#include <atomic>
#include <condition_variable>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <chrono>
#include <set>
#include <vector>

#include "net/IdException.h"
#include "net/IdPeerThread.h"
#include "net/IdTCPServer.h"
#include "net/IdThreadMgrDefault.h"
#include "support/Loopback.h"
#include "support/ServingWaits.h"

using namespace testkit;

namespace {

// Records what the hooks report, from any thread.
class EventLog {
public:
    void Add(const std::string& AEvent, pid_t AThread = 0)
    {
        std::lock_guard lock(FLock);
        FEvents.push_back({AEvent, AThread});
    }
    std::vector<std::string> For(pid_t AThread)
    {
        std::lock_guard lock(FLock);
        std::vector<std::string> out;
        for (const auto& e : FEvents)
            if (e.Thread == AThread)
                out.push_back(e.Text);
        return out;
    }
    int Count(const std::string& AEvent)
    {
        std::lock_guard lock(FLock);
        int n = 0;
        for (const auto& e : FEvents)
            n += e.Text == AEvent;
        return n;
    }
    std::size_t Size()
    {
        std::lock_guard lock(FLock);
        return FEvents.size();
    }
    std::set<pid_t> Threads()
    {
        std::lock_guard lock(FLock);
        std::set<pid_t> out;
        for (const auto& e : FEvents)
            out.insert(e.Thread);
        return out;
    }

private:
    struct Event {
        std::string Text;
        pid_t Thread;
    };
    std::mutex FLock;
    std::vector<Event> FEvents;
};

void Echo(TIdPeerThread* AThread)
{
    TIdTCPServerConnection& c = *AThread->Connection();
    c.Write(c.ReadAvailable());
}

// Listens on 127.0.0.1 with a system-chosen port and returns that port.
int Start(TIdTCPServer& AServer)
{
    AServer.SetTerminateWaitTime(500);
    AServer.Bindings().Clear();
    AServer.Bindings().Add()->SetIP("127.0.0.1");
    AServer.SetActive(true);
    return AServer.Bindings().Items(0)->Port();
}

// A server that lends its listening sockets to another carrier while Lend is set.
class TLendingServer : public TIdTCPServer {
public:
    ~TLendingServer() override { Shutdown(); }  // its hook runs on the listener until then
    std::atomic<bool> Lend{true};
    bool DoListenerAccepts() override { return !Lend.load(); }
};

}  // namespace

TEST(Server, ListenerLeavesItsSocketsToABorrowerUntilWokenToTakeThemBack)
{
    TLendingServer server;
    std::atomic<int> served{0};
    server.OnConnect = [&](TIdPeerThread*) { ++served; };
    server.OnExecute = Echo;
    server.SetAcceptTimeout(3600 * 1000);  // only the wake-up makes it ask again
    const int port = Start(server);
    const std::vector<int> sockets = server.ListeningSockets();
    ASSERT_EQ(sockets.size(), 1u);
    const int deadlineMs = static_cast<int>(std::chrono::milliseconds(kDeadline).count());
    // The borrower gets every client that comes meanwhile.
    for (int i = 0; i < 5; ++i) {
        TFd client = ConnectTo(port);
        pollfd ready{sockets[0], POLLIN, 0};
        ASSERT_EQ(poll(&ready, 1, deadlineMs), 1);
        TFd taken(accept(sockets[0], nullptr, nullptr));
        EXPECT_GE(taken.Get(), 0) << "client " << i;
    }
    EXPECT_EQ(served.load(), 0);
    server.Lend = false;
    server.WakeListener();
    TFd client = ConnectTo(port);
    ASSERT_TRUE(SendAll(client.Get(), "back"));
    EXPECT_EQ(RecvAtMost(client.Get(), 4), "back");
    EXPECT_EQ(served.load(), 1);
}

TEST(Server, ActivationWithoutBindingsListensOnAllAddresses)
{
    TIdTCPServer server;
    server.OnExecute = Echo;
    server.SetActive(true);
    ASSERT_EQ(server.Bindings().Count(), 1);
    EXPECT_EQ(server.Bindings().Items(0)->IP(), "0.0.0.0");
    TFd client = ConnectTo(server.Bindings().Items(0)->Port());
    ASSERT_TRUE(SendAll(client.Get(), "ping"));
    EXPECT_EQ(RecvAtMost(client.Get(), 4), "ping");
}

TEST(Server, AddressInUseLeavesItInactiveUntilThePortIsFree)
{
    int port;
    TIdTCPServer server;
    server.OnExecute = Echo;
    {
        TListener other;
        port = other.Port();
        server.Bindings().Add()->SetIP("127.0.0.1");
        server.Bindings().Items(0)->SetPort(port);
        EXPECT_THROW(server.SetActive(true), EIdCouldNotBindSocket);
        EXPECT_FALSE(server.Active());
    }
    server.Bindings().Clear();
    server.SetDefaultPort(port);
    server.Bindings().Add()->SetIP("127.0.0.1");
    server.SetActive(true);
    EXPECT_TRUE(server.Active());
    EXPECT_EQ(server.Bindings().Items(0)->Port(), port);

    const int threads = LiveThreads();
    server.SetActive(true);  // already active: no second listener
    EXPECT_EQ(LiveThreads(), threads);
    server.SetActive(false);
    EXPECT_EQ(server.Bindings().Items(0)->Port(), port);  // deactivation keeps the address
}

TEST(Server, HooksRunInOrderOnTheConnectionsOwnThread)
{
    EventLog log;
    TIdTCPServer server;
    server.OnConnect = [&](TIdPeerThread* t) { log.Add("connect", t->ThreadID()); };
    server.OnExecute = [&](TIdPeerThread* t) {
        log.Add("execute", t->ThreadID());
        Echo(t);
    };
    server.OnDisconnect = [&](TIdPeerThread* t) { log.Add("disconnect", t->ThreadID()); };
    const int port = Start(server);

    TFd a = ConnectTo(port), b = ConnectTo(port);
    ASSERT_TRUE(SendAll(a.Get(), "one") && SendAll(b.Get(), "two"));
    EXPECT_EQ(RecvAtMost(a.Get(), 3), "one");
    EXPECT_EQ(RecvAtMost(b.Get(), 3), "two");
    a.Reset();
    b.Reset();
    ASSERT_TRUE(WaitUntil([&] { return log.Count("disconnect") == 2; }));
    ASSERT_TRUE(WaitUntil([&] { return server.Threads().Count() == 0; }));

    const auto threads = log.Threads();
    ASSERT_EQ(threads.size(), 2u);
    EXPECT_EQ(threads.count(gettid()), 0u);
    for (pid_t t : threads) {
        const auto events = log.For(t);
        ASSERT_GE(events.size(), 3u);
        EXPECT_EQ(events.front(), "connect");
        EXPECT_EQ(events.back(), "disconnect");
        for (std::size_t i = 1; i + 1 < events.size(); ++i)
            EXPECT_EQ(events[i], "execute");
    }
}

TEST(Server, DeactivationDisconnectsEveryPeerWithinItsBound)
{
    EventLog log;
    TIdTCPServer server;
    std::atomic<int> waiting{0};
    server.OnExecute = [&](TIdPeerThread* t) {
        ++waiting;
        Echo(t);
    };
    server.OnDisconnect = [&](TIdPeerThread* t) { log.Add("disconnect", t->ThreadID()); };
    const int port = Start(server);
    TFd a = ConnectTo(port), b = ConnectTo(port);
    ASSERT_TRUE(WaitUntil([&] { return waiting == 2; }));

    const auto start = std::chrono::steady_clock::now();
    server.SetActive(false);
    // Generous: the point is that nobody waits for a client that never sends.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(log.Count("disconnect"), 2);
    EXPECT_EQ(server.Threads().Count(), 0u);
    EXPECT_TRUE(WaitForClose(a.Get()));
    EXPECT_TRUE(WaitForClose(b.Get()));
    EXPECT_LT(TryConnect(port).Get(), 0);
}

TEST(Server, FailuresInsidePeers)
{
    EventLog log;
    std::atomic<int> connects{0};
    TIdTCPServer server;
    server.OnConnect = [&](TIdPeerThread* t) {
        t->OnException = [&](TIdThread* s, const std::exception& e) {
            log.Add(std::string("exception: ") + e.what(), s->ThreadID());
        };
        if (connects++ == 0)
            throw EIdException("refused by handler");
    };
    // Reads, then answers: when the client has gone, the answer meets a closed connection.
    server.OnExecute = [&](TIdPeerThread* t) {
        TIdTCPServerConnection& c = *t->Connection();
        const std::string data = c.ReadAvailable();
        c.Write("reply");
        (void)data;
    };
    server.OnDisconnect = [&](TIdPeerThread* t) { log.Add("disconnect", t->ThreadID()); };
    const int port = Start(server);

    // An exception in OnConnect: OnDisconnect, then OnException, and the listener goes on.
    TFd first = ConnectTo(port);
    EXPECT_TRUE(WaitForClose(first.Get()));
    ASSERT_TRUE(WaitUntil([&] { return log.Count("exception: refused by handler") == 1; }));
    for (pid_t t : log.Threads())
        EXPECT_EQ(log.For(t),
                  (std::vector<std::string>{"disconnect", "exception: refused by handler"}));

    // A reset client: 10054 ends the peer quietly.
    TFd second = ConnectTo(port);
    ASSERT_TRUE(WaitUntil([&] { return connects == 2; }));
    CloseWithReset(second);
    ASSERT_TRUE(WaitUntil([&] { return log.Count("disconnect") == 2; }));

    // A client that closes: the answer raises "Connection Closed Gracefully." and ends the peer.
    TFd third = ConnectTo(port);
    ASSERT_TRUE(WaitUntil([&] { return connects == 3; }));
    third.Reset();
    ASSERT_TRUE(WaitUntil([&] { return log.Count("disconnect") == 3; }));
    ASSERT_TRUE(
        WaitUntil([&] { return log.Count("exception: Connection Closed Gracefully.") == 1; }));
    EXPECT_TRUE(WaitUntil([&] { return server.Threads().Count() == 0; }));
    EXPECT_EQ(log.Threads().size(), 3u);
    EXPECT_EQ(log.Size(), 5u);  // the reset peer ended without an exception
}

// Clients that reset at once, before or while they are accepted, cost the listener nothing.
TEST(Server, ListenerOutlivesClientsThatResetAtOnce)
{
    std::atomic<int> accepted{0};
    TIdTCPServer server;
    server.OnConnect = [&](TIdPeerThread*) { ++accepted; };
    server.OnAcceptError = [&](int) { ++accepted; };
    server.OnExecute = Echo;
    const int port = Start(server);
    for (int i = 0; i < 20; ++i) {
        TFd quitter = ConnectTo(port);
        CloseWithReset(quitter);
        // One at a time (accepted or dropped): a full accept queue would delay the next
        // connect by a SYN retransmission.
        ASSERT_TRUE(WaitUntil([&] { return accepted == i + 1; }));
    }
    TFd client = ConnectTo(port);
    ASSERT_TRUE(SendAll(client.Get(), "served"));
    EXPECT_EQ(RecvAtMost(client.Get(), 6), "served");
}

TEST(Server, MissingExecuteHandlerEndsThePeer)
{
    std::atomic<int> failures{0};
    std::string message;
    TIdTCPServer server;
    server.OnConnect = [&](TIdPeerThread* t) {
        t->OnException = [&](TIdThread*, const std::exception& e) {
            message = e.what();
            ++failures;
        };
    };
    const int port = Start(server);
    TFd client = ConnectTo(port);
    EXPECT_TRUE(WaitForClose(client.Get()));
    ASSERT_TRUE(WaitUntil([&] { return failures == 1; }));
    EXPECT_EQ(message, "No execute handler found.");
}

TEST(Server, SynchronizedCallsRunOnTheMainThreadAndPassExceptionsBack)
{
    EventLog log;
    TIdTCPServer server;
    server.OnConnect = [&](TIdPeerThread* t) {
        t->OnException = [&](TIdThread*, const std::exception& e) { log.Add(e.what()); };
        t->Synchronize([&] { log.Add(IsMainThread() ? "on main" : "elsewhere"); });
        t->Synchronize([] { throw EIdException("from main"); });
    };
    server.OnExecute = Echo;
    const int port = Start(server);
    TFd client = ConnectTo(port);
    ASSERT_TRUE(WaitUntil([&] { return log.Count("from main") == 1; }));  // serves the calls
    EXPECT_EQ(log.Count("on main"), 1);
    EXPECT_EQ(log.Count("elsewhere"), 0);
}

// Peers that log their end through the main thread while that thread deactivates the server:
// the listener wait serves them, nobody deadlocks, every call runs.
TEST(Server, SynchronizedCallsDuringDeactivation)
{
    std::atomic<int> served{0}, running{0};
    TIdTCPServer server;
    server.OnExecute = [&](TIdPeerThread* t) {
        ++running;
        Echo(t);
    };
    server.OnDisconnect = [&](TIdPeerThread* t) { t->Synchronize([&] { ++served; }); };
    const int port = Start(server);
    server.SetTerminateWaitTime(50);
    std::vector<TFd> clients(5);
    for (auto& c : clients)
        c = ConnectTo(port);
    ASSERT_TRUE(WaitUntil([&] { return running == 5; }));
    server.SetActive(false);
    EXPECT_TRUE(WaitUntil([&] { return served == 5 && server.Threads().Count() == 0; }));
}

// A burst of clients waits in the accept queue while the listener is busy, instead of having
// its SYNs dropped and resent a second or three later.
TEST(Server, ABurstOfConnectsWaitsInTheAcceptQueue)
{
    // Holds the listener in its first accept until released.
    class THeldMgr : public TIdThreadMgrDefault {
    public:
        TIdThread* ObtainThread() override
        {
            std::unique_lock lock(FLock);
            FWake.wait_for(lock, 20s, [this] { return FReleased; });
            return TIdThreadMgrDefault::ObtainThread();
        }
        void Release()
        {
            std::lock_guard lock(FLock);
            FReleased = true;
            FWake.notify_all();
        }

    private:
        std::mutex FLock;
        std::condition_variable FWake;
        bool FReleased = false;
    };
    constexpr int Burst = 200;
    THeldMgr mgr;
    TIdTCPServer server;
    server.SetThreadMgr(&mgr);
    server.OnExecute = Echo;
    const int port = Start(server);
    std::vector<TFd> clients(Burst);
    for (auto& c : clients) {
        c = TFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        const sockaddr_in a = Loopback(port);
        ::connect(c.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }
    tcp_info info{};
    const auto queued = [&] {
        socklen_t len = sizeof info;
        ::getsockopt(server.Bindings().Items(0)->Handle(), IPPROTO_TCP, TCP_INFO, &info, &len);
        return static_cast<int>(info.tcpi_unacked);
    };
    // One is accepted and held, every other one waits, handshake done, in the queue.
    EXPECT_TRUE(WaitUntil([&] { return queued() == Burst - 1; }, 5s)) << queued() << " queued";
    mgr.Release();
    for (auto& c : clients) {
        const int flags = ::fcntl(c.Get(), F_GETFL);
        ::fcntl(c.Get(), F_SETFL, flags & ~O_NONBLOCK);
        ASSERT_TRUE(SendAll(c.Get(), "b"));
    }
    int echoed = 0;
    for (auto& c : clients)
        echoed += RecvAtMost(c.Get(), 1) == "b";
    EXPECT_EQ(echoed, Burst);
    server.SetActive(false);
}
