// A channel with IPv6 on either leg: carried by the relay pool and by a peer thread, with the
// connection's record and lines naming both ends as the socket layer writes them.
#include "MappingFixture.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <deque>
#include <fstream>
#include <sstream>

namespace enginetest {
namespace {

// A listener on [::1] at a given port that accepts nothing, its queue of one taken by a
// connection of its own: further SYNs are dropped, as by a host that never answers. Invalid()
// when the port is taken on [::1].
class TSilentListener6 {
public:
    explicit TSilentListener6(int APort) : FSocket(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        const int one = 1;
        ::setsockopt(FSocket.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(static_cast<std::uint16_t>(APort));
        if (::bind(FSocket.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(FSocket.Get(), 0) != 0)
            return;
        FFiller = ConnectTo6(APort);
        FValid = PollUntil([&] { return Queued() >= 1; }, std::chrono::seconds(10));
    }
    bool Valid() const { return FValid; }

private:
    int Queued() const
    {
        tcp_info info{};
        socklen_t len = sizeof info;
        ::getsockopt(FSocket.Get(), IPPROTO_TCP, TCP_INFO, &info, &len);
        return static_cast<int>(info.tcpi_unacked);
    }
    TFd FSocket;
    TFd FFiller;
    bool FValid = false;
};

// A listener on 127.0.0.1 and, at its port, a silent one on [::1] (Valid() false when no port
// was free on both after a few tries).
template <typename TListenerOnFour>
std::pair<std::unique_ptr<TListenerOnFour>, std::unique_ptr<TSilentListener6>> BesideSilentIPv6()
{
    std::unique_ptr<TListenerOnFour> four;
    std::unique_ptr<TSilentListener6> six;
    for (int i = 0; i < 20 && !(six && six->Valid()); ++i) {
        four = std::make_unique<TListenerOnFour>();
        six = std::make_unique<TSilentListener6>(four->Port());
    }
    return {std::move(four), std::move(six)};
}

// A name of this machine's hosts file for an address of 127.0.0.0/8, other than localhost:
// looked up by the resolver, answered from the file, so no query leaves the machine. Empty when
// the file has none.
std::string LoopbackNameFromHostsFile()
{
    std::ifstream hosts("/etc/hosts");
    std::string line;
    while (std::getline(hosts, line)) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string address, name;
        if (!(words >> address) || address.rfind("127.", 0) != 0)
            continue;
        while (words >> name)
            if (strcasecmp(name.c_str(), "localhost") != 0 && name.find('.') == std::string::npos)
                return name;
    }
    return {};
}

class IPv6MappingTest : public MappingTest {
protected:
    void SetUp() override
    {
        if (!HaveIPv6Loopback())
            GTEST_SKIP() << "this machine has no IPv6 loopback address (::1)";
    }

    // Bind IP and Map IP as given, target port ATarget; returns the listening port.
    int Start(const std::string& ABindIP, const std::string& AMapIP, int ATarget)
    {
        Map.ChannelName = "Channel 1;";
        Map.OnLog = [this](const std::string& AText) { Log.Add(AText); };
        Map.SetTerminateWaitTime(500);
        Map.Bindings().Clear();
        Map.SetDefaultPort(0);
        Map.Bindings().Add()->SetIP(ABindIP);
        Map.SetMappedHost(AMapIP);
        Map.SetMappedPort(ATarget);
        Map.SetActive(true);
        return Map.Bindings().Items(0)->Port();
    }

    // The client says "ping", the target answers "pong" on the connection it accepted. The
    // target's end stays open until the test ends: its close would end the connection.
    template <typename TTarget>
    void PingPong(TFd& AClient, TTarget& ATarget)
    {
        ASSERT_TRUE(SendAll(AClient.Get(), "ping"));
        TFd& served = Served.emplace_back(ATarget.Accept());
        ASSERT_GE(served.Get(), 0);
        EXPECT_EQ(RecvAtMost(served.Get(), 4), "ping");
        ASSERT_TRUE(SendAll(served.Get(), "pong"));
        EXPECT_EQ(RecvAtMost(AClient.Get(), 4), "pong");
    }

    // The target's ends of the connections; PingPong runs on one thread at a time.
    std::deque<TFd> Served;

    TConnectionSnapshot OnlyConnection()
    {
        const auto all = Map.ConnectionSnapshot();
        EXPECT_EQ(all.size(), 1u);
        return all.empty() ? TConnectionSnapshot{} : all.front();
    }
};

TEST_F(IPv6MappingTest, ThePoolCarriesAnIPv6LiteralTargetAndTheRecordNamesBothEnds)
{
    TListener6 target;
    const int port = Start("::1", "[::1]", target.Port());
    TFd client = ConnectTo6(port);
    PingPong(client, target);
    EXPECT_TRUE(WaitUntil([&] { return Map.PooledConnections() == 1; }));
    const TConnectionSnapshot c = OnlyConnection();
    EXPECT_EQ(c.Client.IP, "::1");
    EXPECT_EQ(c.Target.Text(), "[::1]:" + std::to_string(target.Port()));
}

TEST_F(IPv6MappingTest, ThePoolAcceptsOnBothSocketsOfABindingWithoutAnAddress)
{
    TListener6 target;
    const int port = Start("", "[::1]", target.Port());  // 0.0.0.0 and [::] on one port
    ASSERT_EQ(Map.EveryFamilyProblem(), "");
    TFd client4 = ConnectTo(port);
    PingPong(client4, target);
    TFd client6 = ConnectTo6(port);
    PingPong(client6, target);
    EXPECT_TRUE(WaitUntil([&] { return Map.PooledConnections() == 2; }));
    EXPECT_EQ(Map.MovesToPool(), 2);
    EXPECT_EQ(Map.Threads().Count(), 0u);
}

TEST_F(IPv6MappingTest, LinesNameIPv6EndsInBracketsAndAnIPv4ClientOfADualStackSocketAsIPv4)
{
    TListener target;  // 127.0.0.1
    Map.Logging = true;
    Map.LogConnInfo = true;
    const int port = Start("::", "127.0.0.1", target.Port());
    TFd six = ConnectTo6(port);
    RunServing([&] { PingPong(six, target); });
    TFd four = ConnectTo(port);
    RunServing([&] { PingPong(four, target); });
    const auto lines = Log.Lines();
    const auto has = [&](const std::string& AText) {
        for (const std::string& line : lines)
            if (line.find(AText) != std::string::npos)
                return true;
        return false;
    };
    EXPECT_TRUE(has("Incoming connection from [::1]:")) << ::testing::PrintToString(lines);
    EXPECT_TRUE(has(" to [::1]:" + std::to_string(port) + ". "));
    EXPECT_TRUE(has("Incoming connection from 127.0.0.1:"));
    EXPECT_TRUE(has(" to 127.0.0.1:" + std::to_string(port) + ". "));
    EXPECT_TRUE(has(" to  127.0.0.1:" + std::to_string(target.Port()) + ". "));
}

TEST_F(IPv6MappingTest, LocalhostIsReachedOnIPv6AndTheLineNamesTheWinner)
{
    TListener6 target;
    Map.Logging = true;
    Map.LogConnInfo = true;
    const int port = Start("127.0.0.1", "localhost", target.Port());
    TFd client = ConnectTo(port);
    RunServing([&] { PingPong(client, target); });
    RunServing([&] {
        EXPECT_TRUE(WaitUntil([&] {
            for (const std::string& line : Log.Lines())
                if (line.find("Mapping connection to  localhost:" + std::to_string(target.Port()) +
                              " reached [::1]:" + std::to_string(target.Port()) + ".") !=
                    std::string::npos)
                    return true;
            return false;
        }));
    });
    EXPECT_EQ(OnlyConnection().Target.IP, "::1");
}

// Unwatched, a target given by name is carried by the pool from the accept on: the name's
// addresses are raced there as on a peer thread (localhost is [::1], then 127.0.0.1), and no
// thread is started for the connection.
TEST_F(IPv6MappingTest, ThePoolRacesTheAddressesOfANameWithoutAThreadOfItsOwn)
{
    TListener fourOnly;  // [::1] refuses at that port: 127.0.0.1 is tried at once
    int port = Start("127.0.0.1", "localhost", fourOnly.Port());
    TFd refusedFirst = ConnectTo(port);
    PingPong(refusedFirst, fourOnly);
    EXPECT_EQ(OnlyConnection().Target.IP, "127.0.0.1");
    Map.SetActive(false);

    // [::1] never answers at the port: 127.0.0.1 begins after the delay, and wins.
    auto [answering, silent] = BesideSilentIPv6<TListener>();
    ASSERT_TRUE(silent->Valid());
    port = Start("127.0.0.1", "localhost", answering->Port());
    TFd passedOver = ConnectTo(port);
    PingPong(passedOver, *answering);
    EXPECT_EQ(Map.ConnectionSnapshot().back().Target.IP, "127.0.0.1");
    EXPECT_EQ(Map.Threads().Count(), 0u);
    EXPECT_EQ(Map.MovesToPool(), 2);
    EXPECT_EQ(Map.PooledConnections(), 1);
    Map.SetActive(false);

    // Neither address answers: a client that leaves meanwhile gives the race up, quietly, as
    // on a peer thread (the connects would otherwise wait for the system's timeout).
    auto [silentFour, silentSix] = BesideSilentIPv6<TSilentListener>();
    ASSERT_TRUE(silentSix->Valid());
    port = Start("127.0.0.1", "localhost", silentFour->Port());
    const auto disconnects = Map.DisconnectsIn.load();
    TFd leaving = ConnectTo(port);
    leaving.Reset();
    EXPECT_TRUE(WaitUntil([&] {
        return Map.DisconnectsIn.load() == disconnects + 1 && Map.PooledConnections() == 0;
    }));
    EXPECT_EQ(ConnectionStateText(Map.ConnectionSnapshot().back()), "closed by client");
    EXPECT_EQ(Log.Count(), 0u);
}

// A name that needs the resolver is looked up beside the pool's threads; a failed lookup ends
// the connection with the error line a peer thread writes for it.
TEST_F(IPv6MappingTest, ThePoolLooksNamesUpAndAFailedLookupEndsAsOnAPeerThread)
{
    const std::string name = LoopbackNameFromHostsFile();
    if (name.empty())
        GTEST_SKIP() << "the hosts file names no loopback address but localhost";
    TListener target;
    int port = Start("127.0.0.1", name, target.Port());
    TFd client = ConnectTo(port);
    PingPong(client, target);
    EXPECT_EQ(Map.Threads().Count(), 0u);
    EXPECT_EQ(Map.MovesToPool(), 1);
    client.Reset();
    ASSERT_TRUE(WaitUntil([&] { return Map.PooledConnections() == 0; }));
    Map.SetActive(false);
    Map.ResetCounters();

    // "a..b" is no name a resolver asks a server about: it fails here, at once.
    std::vector<std::string> lines;
    Map.Logging = true;
    for (const bool watched : {true, false}) {
        Map.LogConnInfo = watched;
        port = Start("127.0.0.1", "a..b", target.Port());
        TFd refused = ConnectTo(port);
        // A watched channel's lines go through the main thread: this one. A peer thread writes
        // its error line after it has left the server's books, so deactivation may return
        // before it has; the next Start must not rename the channel under it.
        RunServing([&] {
            EXPECT_TRUE(WaitForClose(refused.Get(), Clock::now() + kDeadline));
            EXPECT_TRUE(WaitUntil([&] {
                const std::vector<std::string> written = Log.Normalised();
                return Map.DisconnectsIn.load() == 1 &&
                    std::any_of(written.begin(), written.end(), [](const std::string& ALine) {
                        return ALine.find("Error: ") != std::string::npos;
                    });
            }));
        });
        Map.SetActive(false);
        for (const std::string& line : Log.Normalised())
            if (line.find("Error: ") != std::string::npos)
                lines.push_back(line);
        Log.Clear();
        Map.ResetCounters();
    }
    ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0], lines[1]);
    EXPECT_EQ(lines[1].rfind("## T Channel 1; Error: Socket Error # 11001", 0), 0u) << lines[1];
    EXPECT_EQ(Map.MovesToPool(), 2);  // the named target's connection and the unwatched failure
}

}  // namespace
}  // namespace enginetest
