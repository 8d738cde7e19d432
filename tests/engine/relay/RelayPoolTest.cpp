// The two ways a mapping server carries a connection: on the relay pool while the channel is
// unwatched, on a peer thread of its own while it is watched, and the moves between the two.
#include "MappingFixture.h"

#include "net/IdSync.h"
#include "support/LoopbackMapping.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cerrno>
#include <thread>

namespace enginetest {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;
constexpr std::int32_t kHighLimit = 32 * 1024 * 1024;
constexpr int kConnections = 50;
// Each connection carries this much each way while the settings flip (every 2 ms: a few
// seconds of transfer see a thousand flips); the sanitizers make every byte about ten times
// dearer. More only makes the test longer: 16 MiB on each of the 50 connections took up to
// two minutes on two loaded cores.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kFlipVolume = 1 * kMiB;
#else
constexpr std::size_t kFlipVolume = 4 * kMiB;
#endif

class PoolTest : public MappingTest {
protected:
    void SetUp() override
    {
        Map.Logging = true;  // nothing is written for pooled connections all the same
        Map.LogConnInfo = false;
    }
    // Connects one by one (the listen backlog is small) until each is accepted and pooled.
    std::vector<TFd> OpenPooled(int ACount)
    {
        std::vector<TFd> out;
        for (int i = 0; i < ACount; ++i) {
            out.push_back(ConnectTo(ListenPort()));
            EXPECT_TRUE(WaitUntil([&] { return Map.PooledConnections() == i + 1; }));
        }
        return out;
    }
    bool AllPooled(int ACount)
    {
        return WaitUntil(
            [&] { return Map.PooledConnections() == ACount && Map.Threads().Count() == 0; });
    }
    // An ending connection moves DisconnectsIn first, then the other counters, and leaves the
    // pool's count last: waits for all of them before it checks each.
    void ExpectCountersAfter(int AConnections)
    {
        EXPECT_TRUE(WaitUntil([&] {
            return Map.DisconnectsIn.load() == AConnections && Map.CurrentThreads.load() == 0 &&
                Map.CurrentTransmittingThreads.load() == 0 && Map.PooledConnections() == 0;
        }));
        EXPECT_EQ(Map.ConnectsIn.load(), AConnections);
        EXPECT_EQ(Map.ConnectsOut.load(), AConnections);
        EXPECT_EQ(Map.DisconnectsIn.load(), AConnections);
        EXPECT_EQ(Map.CurrentThreads.load(), 0);
        EXPECT_EQ(Map.CurrentTransmittingThreads.load(), 0);
        EXPECT_EQ(Map.PooledConnections(), 0);
    }
};

TEST_F(PoolTest, UnwatchedConnectionsRelayWithoutThreadsAndCountAsConnections)
{
    TBackend backend;
    StartMapping(backend.Port());
    std::vector<TFd> connections = OpenPooled(kConnections);
    ASSERT_TRUE(AllPooled(kConnections));  // no thread per connection: by design
    EXPECT_EQ(Map.CurrentThreads.load(), kConnections);
    EXPECT_EQ(Map.MaxThreads.load(), kConnections);
    EXPECT_EQ(Map.CurrentTransmittingThreads.load(), kConnections);
    std::vector<std::string> payloads, answers;
    for (int i = 0; i < kConnections; ++i)
        payloads.push_back(RandomBytes(i == 0 ? 16 * kMiB : (i * 7919) % (300 * 1024), 900 + i));
    RunServing([&] { answers = ExchangeAll(connections, payloads); });
    for (int i = 0; i < kConnections; ++i)
        EXPECT_EQ(Digest(answers[i]), Digest(Transformed(payloads[i]))) << "connection " << i;
    EXPECT_EQ(Map.Threads().Count(), 0u);
    connections.clear();
    ASSERT_TRUE(WaitUntil([&] { return Map.DisconnectsIn.load() == kConnections; }));
    ExpectCountersAfter(kConnections);
    EXPECT_EQ(Map.MovesToPool(), kConnections);
    EXPECT_EQ(Map.MovesFromPool(), 0);
    EXPECT_EQ(Map.BytesCS.load(), 0);  // mode 0 counts nothing, on the pool as on a thread
    EXPECT_EQ(Log.Count(), 0u);
}

TEST_F(PoolTest, WatchedChannelKeepsAThreadPerConnection)
{
    TBackend backend;
    Map.LogConnInfo = true;
    StartMapping(backend.Port());
    TFd client = ConnectTo(ListenPort());
    std::string answer;
    RunServing([&] { answer = Exchange(ListenPort(), "abc"); });
    EXPECT_EQ(answer, Transformed("abc"));
    ASSERT_TRUE(
        WaitUntil([&] { return Map.DisconnectsIn.load() == 1 && Map.Threads().Count() == 1; }));
    EXPECT_EQ(Map.PooledConnections(), 0);
    EXPECT_EQ(Map.MovesToPool(), 0);
}

TEST_F(PoolTest, AcceptingPassesBetweenThePoolAndTheListenerAsTheChannelIsWatchedOrNot)
{
    TBackend backend;
    // Without its wake-up the listener would not look at the sockets again for an hour.
    Map.SetAcceptTimeout(3600 * 1000);
    Map.LogConnInfo = true;  // watched from the start: the listener accepts
    StartMapping(backend.Port());
    std::string answer;
    for (int round = 0; round < 3; ++round) {
        const std::int64_t pooled = Map.MovesToPool();
        RunServing([&] { answer = Exchange(ListenPort(), "w"); });
        EXPECT_EQ(answer, Transformed("w"));
        ASSERT_TRUE(WaitForDisconnects(2 * round + 1));
        EXPECT_EQ(Map.MovesToPool(), pooled) << "round " << round;  // a peer thread carried it
        Map.LogConnInfo = false;
        RunServing([&] { answer = Exchange(ListenPort(), "u"); });
        EXPECT_EQ(answer, Transformed("u"));
        ASSERT_TRUE(WaitForDisconnects(2 * round + 2));
        EXPECT_EQ(Map.MovesToPool(), pooled + 1) << "round " << round;
        EXPECT_EQ(Map.MovesFromPool(), 0);
        Map.LogConnInfo = true;
    }
    // Each watched connection wrote its lines on its own thread; no pooled one wrote any.
    const std::vector<std::string> lines = Log.Lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& ALine) {
                                return ALine.find(" Incoming connection from ") != std::string::npos;
                            }),
              3);
}

TEST_F(PoolTest, AnIdlePooledConnectionMovesToAThreadWhenASettingWatchesIt)
{
    TBackend backend;
    StartMapping(backend.Port());
    TFd client = ConnectTo(ListenPort());
    ASSERT_TRUE(AllPooled(1));
    Map.LogConnInfo = true;  // no byte flows: the setting alone moves it
    ASSERT_TRUE(
        WaitUntil([&] { return Map.PooledConnections() == 0 && Map.Threads().Count() == 1; }));
    std::string answer;
    RunServing([&] { answer = ExchangeOn(client, "xyz"); });
    EXPECT_EQ(answer, Transformed("xyz"));
    client.Reset();
    ASSERT_TRUE(WaitForDisconnects(1));
    // Its thread writes the lines a connection on a thread writes from then on.
    const std::vector<std::string> lines = Log.Normalised();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(
        lines[0].rfind("## T Channel 1; (TID= N)  Disconnect (incoming). CurrentThreads: 0", 0),
        0u);
    EXPECT_EQ(Map.MovesFromPool(), 1);
}

TEST_F(PoolTest, FlippingSettingsDuringTransfersLosesDuplicatesAndReordersNothing)
{
    TBackend backend;
    Map.Logging = false;  // the flips are about where the bytes go, not about the lines
    StartMapping(backend.Port());
    std::vector<TFd> connections = OpenPooled(kConnections);
    ASSERT_TRUE(AllPooled(kConnections));
    std::vector<std::string> payloads, answers;
    for (int i = 0; i < kConnections; ++i)
        payloads.push_back(RandomBytes(kFlipVolume + i, 300 + i));
    std::atomic<bool> finished{false};
    std::thread relayed([&] {
        answers = ExchangeAll(connections, payloads);
        finished = true;
    });
    // The main thread stands in for the window: watched and unwatched settings in turn, every
    // 2 ms, serving the connections' synchronized calls in between.
    for (int round = 0; !finished; ++round) {
        const bool watched = round % 2 == 1;
        Map.LogDataMode = watched && round % 8 == 1 ? 1 : (round % 8 == 6 ? -1 : 0);
        Map.LogConnInfo = watched && round % 8 == 3;
        Map.MaxSpeedCS = watched && round % 8 == 5 ? kHighLimit : (round % 8 == 2 ? -1 : 0);
        Map.MaxSpeedSC = watched && round % 8 == 7 ? kHighLimit : 0;
        WaitUntil([&] { return finished.load(); }, 2ms);  // paces the flips, leaves a core free
    }
    relayed.join();
    for (int i = 0; i < kConnections; ++i)
        EXPECT_EQ(Digest(answers[i]), Digest(Transformed(payloads[i])))
            << "connection " << i << ": " << answers[i].size() << " of " << payloads[i].size()
            << " bytes back";
    EXPECT_GT(Map.MovesFromPool(),
              kConnections);  // every connection left the pool, some more often
    EXPECT_GT(Map.MovesToPool(), 2 * kConnections);
    connections.clear();
    ASSERT_TRUE(WaitForDisconnects(kConnections));
    ASSERT_TRUE(WaitUntil([&] { return Map.PooledConnections() == 0; }));
    ExpectCountersAfter(kConnections);
    EXPECT_EQ(Map.MaxThreads.load(), kConnections);
}

TEST_F(PoolTest, DeactivationClosesEveryPooledConnectionAndReactivationPoolsAgain)
{
    TBackend backend;
    StartMapping(backend.Port());
    std::vector<TFd> connections = OpenPooled(20);
    for (TFd& c : connections) {
        ASSERT_TRUE(SendAll(c.Get(), "ping"));
        EXPECT_EQ(RecvAtMost(c.Get(), 4, Clock::now() + kDeadline), Transformed("ping"));
    }
    ASSERT_TRUE(AllPooled(20));
    Map.SetActive(false);
    EXPECT_EQ(Map.PooledConnections(), 0);
    for (TFd& c : connections)
        EXPECT_TRUE(WaitForClose(c.Get(), Clock::now() + kDeadline));
    ExpectCountersAfter(20);
    EXPECT_THROW(ConnectTo(ListenPort()), std::runtime_error);  // the listener is gone
    EXPECT_EQ(Log.Count(), 0u);

    StartMapping(backend.Port());
    EXPECT_EQ(Exchange(ListenPort(), "again"), Transformed("again"));
    ASSERT_TRUE(WaitUntil([&] { return Map.DisconnectsIn.load() == 21; }));
    EXPECT_EQ(Map.MovesToPool(), 21);
}

TEST_F(PoolTest, StoppingWhileClientsArriveEndsEveryConnectionAndFreesThePort)
{
    TBackend backend;
    StartMapping(backend.Port());
    const int port = ListenPort();
    std::atomic<bool> stopped{false};
    std::atomic<int> answered{0};
    // Clients that keep coming while the pool's threads accept, until one is refused.
    std::thread clients([&] {
        for (int i = 0; i < 5000 && !stopped.load(); ++i) {
            TFd client = TryConnect(port);
            if (client.Get() < 0)
                return;
            if (SendAll(client.Get(), "x") &&
                RecvAtMost(client.Get(), 1, Clock::now() + kDeadline) == Transformed("x"))
                answered.fetch_add(1);
        }
    });
    EXPECT_TRUE(WaitUntil([&] { return answered.load() >= 50; }));
    Map.SetActive(false);
    stopped = true;
    clients.join();
    const int accepted = Map.ConnectsIn.load();
    ExpectCountersAfter(accepted);
    EXPECT_EQ(Map.MovesToPool(), accepted);  // the pool accepted every one of them
    // Nothing of the old channel holds the port: it listens there again at once.
    MapOnLoopback(Map, backend.Port(), port);
    Map.SetActive(true);
    EXPECT_EQ(Exchange(port, "again"), Transformed("again"));
}

TEST_F(PoolTest, DestroyingTheServerClosesItsPooledConnections)
{
    TBackend backend;
    std::vector<TFd> connections;
    {
        TqvMappedPortTCP map;
        MapOnLoopback(map, backend.Port());
        map.SetActive(true);
        const int port = map.Bindings().Items(0)->Port();
        for (int i = 0; i < 10; ++i) {
            connections.push_back(ConnectTo(port));
            ASSERT_TRUE(WaitUntil([&] { return map.PooledConnections() == i + 1; }));
        }
    }
    for (TFd& c : connections)
        EXPECT_TRUE(WaitForClose(c.Get(), Clock::now() + kDeadline));
}

TEST_F(PoolTest, TargetClosingEndsAPooledConnectionQuietly)
{
    TBackend backend(TBackend::TMode::SendAndClose, "bye");
    StartMapping(backend.Port());
    TFd client = ConnectTo(ListenPort());
    EXPECT_EQ(RecvAtMost(client.Get(), 100, Clock::now() + kDeadline), "bye");  // then the end
    ASSERT_TRUE(WaitUntil([&] { return Map.DisconnectsIn.load() == 1; }));
    ExpectCountersAfter(1);
    EXPECT_EQ(Log.Count(), 0u);
}

TEST_F(PoolTest, AClientLeavingWithNothingWaitingEndsTheTargetInOrder)
{
    TListener target;
    StartMapping(target.Port());
    TFd client = ConnectTo(ListenPort());
    TFd served = target.Accept();
    ASSERT_TRUE(WaitUntil([&] { return Map.MovesToPool() == 1; }));
    ASSERT_TRUE(SendAll(client.Get(), "ping"));
    EXPECT_EQ(RecvAtMost(served.Get(), 4), "ping");
    ASSERT_TRUE(SendAll(served.Get(), "pong"));
    EXPECT_EQ(RecvAtMost(client.Get(), 4), "pong");
    client.Reset();
    const TEnding ending = ReadToEnd(served.Get());
    EXPECT_EQ(ending.Error, 0);  // a FIN, not a reset, and nothing after the answer
    EXPECT_EQ(ending.Bytes, "");
    ExpectCountersAfter(1);
    EXPECT_EQ(Log.Count(), 0u);
}

TEST_F(PoolTest, ClientLeavingWhileTheTargetStillSendsGivesThePeerThreadsErrorLine)
{
    // Sends until every socket buffer on the way is full, however large the kernel lets them
    // grow (a fixed amount fitted into them all at times, and the relay never stalled): the
    // relay stalls with bytes waiting.
    TBackend backend(TBackend::TMode::Flood, std::string(kMiB, 's'));
    StartMapping(backend.Port());
    TFd client = ConnectTo(ListenPort());
    // Leaves only once the relay holds bytes it cannot pass on: the target's answer is then
    // still waiting when the relay finds the client gone.
    ASSERT_TRUE(WaitUntil([&] { return Map.MovesToPool() == 1 && backend.Stalled(); }))
        << backend.Flooded() << " bytes sent";
    ::shutdown(client.Get(), SHUT_WR);  // the client is done, but reads what comes
    EXPECT_TRUE(WaitForClose(client.Get(), Clock::now() + kDeadline));
    ASSERT_TRUE(WaitUntil([&] { return Log.Count() == 1 && Map.DisconnectsIn.load() == 1; }));
    EXPECT_EQ(Log.Normalised(),
              std::vector<std::string>{"## T Channel 1; Error: Connection Closed Gracefully."});
    EXPECT_FALSE(Log.AllOnMainThread());
    ExpectCountersAfter(1);
}

// A pooled connection has its record like any other: bytes counted per piece, the side that
// ended it noted, and Close or Reset Connection end it on its pool thread.
TEST_F(PoolTest, PooledConnectionsKeepTheirRecordsAndEndOnRequest)
{
    TBackend backend;
    StartMapping(backend.Port());
    std::vector<TFd> connections = OpenPooled(3);
    ASSERT_TRUE(AllPooled(3));
    const std::string payload(70000, 'x');
    EXPECT_EQ(ExchangeOn(connections[0], payload), Transformed(payload));
    auto sorted = [&] {
        auto snap = Map.ConnectionSnapshot();
        std::sort(snap.begin(), snap.end(),
                  [](const auto& a, const auto& b) { return a.Id < b.Id; });
        return snap;
    };
    auto snap = sorted();
    ASSERT_EQ(snap.size(), 3u);
    EXPECT_EQ(snap[0].BytesCS, payload.size());
    EXPECT_EQ(snap[0].BytesSC, payload.size());
    EXPECT_EQ(snap[1].State, TConnectionState::Relaying);

    connections[0].Reset();
    ASSERT_TRUE(WaitUntil([&] { return Map.DisconnectsIn.load() == 1; }));
    EXPECT_TRUE(Map.CloseConnection(snap[1].Id, false));
    EXPECT_TRUE(WaitForClose(connections[1].Get(), Clock::now() + kDeadline));
    EXPECT_TRUE(Map.CloseConnection(snap[2].Id, true));
    ASSERT_TRUE(WaitUntil([&] { return Map.DisconnectsIn.load() == 3; }));
    char byte = 0;
    EXPECT_EQ(::recv(connections[2].Get(), &byte, 1, 0), -1);
    EXPECT_EQ(errno, ECONNRESET);
    EXPECT_FALSE(Map.CloseConnection(snap[1].Id, false));  // not open any more

    snap = sorted();
    ASSERT_EQ(snap.size(), 3u);
    std::vector<std::string> states;
    for (const auto& s : snap) {
        EXPECT_EQ(s.State, TConnectionState::Ended);
        EXPECT_TRUE(s.Ended.has_value());
        states.push_back(ConnectionStateText(s));
    }
    EXPECT_EQ(
        states,
        (std::vector<std::string>{"closed by client", "closed on request", "reset on request"}));
    EXPECT_EQ(snap[0].BytesCS, payload.size());
    EXPECT_EQ(snap[0].BytesSC, payload.size());
    ExpectCountersAfter(3);
}

}  // namespace
}  // namespace enginetest

namespace enginetest {
namespace {

// Upper-cases every byte the client sends, as a decoding stage would change what it reads.
class TUpperCaseFromClient final : public TRelayStage {
public:
    void Pass(TRelayDirection ADirection, TRelayBytes& ABytes, TRelayMicros) override
    {
        if (ADirection != TRelayDirection::ClientToServer || ABytes.Empty())
            return;
        std::string s(ABytes.View());
        for (char& c : s)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        ABytes.Replace(std::move(s));
    }
};

std::string UpperCase(std::string AData)
{
    for (char& c : AData)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return AData;
}

TEST_F(PoolTest, AStageThatChangesBytesWorksOnBothCarriersAndAcrossMovesBetweenThem)
{
    TBackend backend;
    Map.Logging = false;
    Map.SetFirstStage([] { return std::make_unique<TUpperCaseFromClient>(); });
    StartMapping(backend.Port());
    constexpr int kCount = 8;
    std::vector<TFd> connections = OpenPooled(kCount);
    ASSERT_TRUE(AllPooled(kCount));
    std::vector<std::string> payloads, answers;
    for (int i = 0; i < kCount; ++i)
        payloads.push_back(RandomBytes(kFlipVolume / 2 + i, 700 + i));
    std::atomic<bool> finished{false};
    std::thread relayed([&] {
        answers = ExchangeAll(connections, payloads);
        finished = true;
    });
    for (int round = 0; !finished; ++round) {
        Map.LogDataMode = round % 2;  // watched (a peer thread) and unwatched (the pool) in turn
        WaitUntil([&] { return finished.load(); }, 2ms);
    }
    relayed.join();
    for (int i = 0; i < kCount; ++i)
        EXPECT_EQ(Digest(answers[i]), Digest(Transformed(UpperCase(payloads[i]))))
            << "connection " << i;
    EXPECT_GE(Map.MovesFromPool(), kCount);
    EXPECT_GT(Map.MovesToPool(), kCount);
    connections.clear();
    ASSERT_TRUE(WaitForDisconnects(kCount));
}

}  // namespace
}  // namespace enginetest

namespace enginetest {
namespace {

// An unwatched channel's connection goes from the listener straight to the pool, with its
// connect under way there; no peer thread is started for it, and it is counted and ends with
// the lines a peer thread would give it.
TEST_F(PoolTest, AConnectFailingOnThePoolEndsAsOnAPeerThreadAndARefusedClientNeverGetsThere)
{
    StartMapping(FreePort());  // nothing listens there
    TFd client = ConnectTo(ListenPort());
    EXPECT_TRUE(WaitForClose(client.Get(), Clock::now() + kDeadline));
    ASSERT_TRUE(WaitUntil([&] { return Log.Count() == 1; }));
    EXPECT_EQ(Log.Normalised(),
              std::vector<std::string>{
                  "## T Channel 1; Error: Socket Error # 10061 - Connection refused."});
    ExpectCountersAfter(1);
    EXPECT_EQ(Map.MovesToPool(), 1);
    EXPECT_EQ(Map.MaxThreads.load(), 1);
    const std::vector<TConnectionSnapshot> records = Map.ConnectionSnapshot();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(ConnectionStateText(records[0]), "error: Socket Error # 10061 - Connection refused.");

    ASSERT_EQ(Map.SetAllowFrom("127.0.0.2"), "");
    TFd refused = ConnectTo(ListenPort());
    ASSERT_TRUE(WaitUntil([&] { return Map.RefusedIn.load() == 1; }));
    EXPECT_EQ(Map.MovesToPool(), 1);  // the refused client never reached the pool
    EXPECT_EQ(Map.ConnectsIn.load(), 1);
}

// Duplicates every socket the process has open, as a child being spawned holds them for a
// moment: closing one of them then leaves its registration in an epoll set.
std::vector<TFd> HoldEverySocket()
{
    std::vector<int> sockets;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const auto target = std::filesystem::read_symlink(entry.path(), error);
        if (!error && target.string().rfind("socket:", 0) == 0)
            sockets.push_back(std::stoi(entry.path().filename().string()));
    }
    std::vector<TFd> held;
    for (int socket : sockets)
        if (const int copy = ::fcntl(socket, F_DUPFD_CLOEXEC, 0); copy != -1)
            held.emplace_back(copy);
    return held;
}

TEST_F(PoolTest, ConnectionsEndedWhileTheirSocketsAreSharedConfuseNoLaterConnection)
{
    constexpr int kEach = 20;
    TBackend backend;
    StartMapping(backend.Port());
    std::vector<std::string> payloads;
    for (int i = 0; i < kEach; ++i)
        payloads.push_back(RandomBytes(1000 + i * 997, 300 + i));
    // Each exchange ends its connections.
    auto exchangeOnPooled = [&](std::vector<TFd>* AHeld) {
        std::vector<TFd> connections = OpenPooled(kEach);
        ASSERT_TRUE(AllPooled(kEach));
        if (AHeld)
            *AHeld = HoldEverySocket();
        std::vector<std::string> answers;
        RunServing([&] { answers = ExchangeAll(connections, payloads); });
        for (int i = 0; i < kEach; ++i)
            EXPECT_EQ(Digest(answers[i]), Digest(Transformed(payloads[i]))) << "connection " << i;
    };
    // The pool closes both sockets of each, which live on in the copies: their later events
    // come for registrations whose mappings have gone.
    std::vector<TFd> held;
    exchangeOnPooled(&held);
    ASSERT_TRUE(WaitUntil([&] { return Map.DisconnectsIn.load() == kEach; }));
    // The pool's closed numbers come again for these, beside the old registrations.
    exchangeOnPooled(nullptr);
    held.clear();
    ExpectCountersAfter(2 * kEach);
}

}  // namespace
}  // namespace enginetest
