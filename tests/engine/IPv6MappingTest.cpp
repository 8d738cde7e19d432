// A channel with IPv6 on either leg: carried by the relay pool and by a peer thread, with the
// connection's record and lines naming both ends as the socket layer writes them.
#include "MappingFixture.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <deque>

namespace enginetest {
namespace {

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

}  // namespace
}  // namespace enginetest
