// Who may connect, on real loopback sockets: clients come from 127.0.0.1, 127.0.0.2, ...
// (every address of 127.0.0.0/8 is local), the channel listens on 127.0.0.1.
#include "MappingFixture.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>

namespace enginetest {
namespace {

class AccessTest : public MappingTest {
protected:
    void SetUp() override { Map.Logging = true; }
    TFd From(const std::string& source) { return ConnectFrom(source, ListenPort()); }
    // One round trip through the relay, leaving the connection open.
    static bool Served(TFd& fd)
    {
        return SendAll(fd.Get(), "ping") &&
            RecvAtMost(fd.Get(), 4, Clock::now() + kDeadline) == Transformed("ping");
    }
    static bool Reset(TFd& fd) { return WasReset(fd.Get(), Clock::now() + kDeadline); }
    std::string Refused(const TFd& fd, const std::string& reason)
    {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len);
        char ip[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
        return "## T Channel 1; Refused connection from " + std::string(ip) + ":" +
            std::to_string(ntohs(a.sin_port)) + " (" + reason + ").";
    }
};

TEST_F(AccessTest, AllowListServesListedSourcesOnlyAndChangesForNewClients)
{
    TBackend backend;
    ASSERT_EQ(Map.SetAllowFrom("127.0.0.2"), "");
    StartMapping(backend.Port());
    TFd stranger = From("127.0.0.1");
    EXPECT_TRUE(Reset(stranger));
    TFd listed = From("127.0.0.2");
    EXPECT_TRUE(Served(listed));
    ASSERT_EQ(Log.Normalised(), std::vector<std::string>{Refused(stranger, "not allowed")});

    // A range and a single address; the connection open from before stays served.
    ASSERT_EQ(Map.SetAllowFrom("127.0.0.0/8"), "");
    for (const char* source : {"127.0.0.1", "127.0.0.9", "127.255.255.254"}) {
        TFd fd = From(source);
        EXPECT_TRUE(Served(fd)) << source;
    }
    ASSERT_EQ(Map.SetAllowFrom("127.0.0.3/32"), "");
    TFd exact = From("127.0.0.3");
    EXPECT_TRUE(Served(exact));
    TFd neighbour = From("127.0.0.4");
    EXPECT_TRUE(Reset(neighbour));
    EXPECT_TRUE(Served(listed));

    EXPECT_EQ(Map.RefusedIn.load(), 2);
    EXPECT_EQ(Map.ConnectsIn.load(), 5);
    EXPECT_EQ(backend.Accepts(), 5);
}

TEST_F(AccessTest, ListThatDoesNotParseRefusesEveryoneAndSaysWhy)
{
    TBackend backend;
    EXPECT_EQ(Map.SetAllowFrom("127.0.0.1, 127.0.0.300"),
              "\"127.0.0.300\" is not an IPv4 address or range");
    StartMapping(backend.Port());
    for (const char* source : {"127.0.0.1", "127.0.0.2"}) {
        TFd fd = From(source);
        EXPECT_TRUE(Reset(fd)) << source;
    }
    EXPECT_EQ(Map.RefusedIn.load(), 2);
    EXPECT_EQ(Map.ConnectsIn.load(), 0);
    EXPECT_EQ(backend.Accepts(), 0);
}

TEST_F(AccessTest, ChannelLimitResetsTheEleventhUntilOneCloses)
{
    TBackend backend;
    Map.MaxConnections = 10;
    StartMapping(backend.Port());
    std::vector<TFd> held;
    for (int i = 0; i < 10; ++i) {
        held.push_back(From("127.0.0.1"));
        ASSERT_TRUE(Served(held.back())) << i;
    }
    TFd eleventh = From("127.0.0.1");
    EXPECT_TRUE(Reset(eleventh));
    EXPECT_EQ(Log.Normalised(), std::vector<std::string>{Refused(eleventh, "channel limit 10")});
    held.erase(held.begin());
    ASSERT_TRUE(WaitUntil([&] { return Map.AdmittedConnections() == 9; }));
    TFd next = From("127.0.0.1");
    EXPECT_TRUE(Served(next));
    for (TFd& fd : held)
        EXPECT_TRUE(Served(fd));
    EXPECT_EQ(backend.Accepts(), 11);
    EXPECT_EQ(Map.RefusedIn.load(), 1);
}

TEST_F(AccessTest, SourceLimitHoldsEachAddressToItsOwnShare)
{
    TBackend backend;
    Map.MaxConnectionsPerSource = 3;
    StartMapping(backend.Port());
    std::vector<TFd> held;
    for (const char* source : {"127.0.0.2", "127.0.0.3"}) {
        for (int i = 0; i < 3; ++i) {
            held.push_back(From(source));
            ASSERT_TRUE(Served(held.back())) << source << " " << i;
        }
    }
    TFd fourth = From("127.0.0.2");
    EXPECT_TRUE(Reset(fourth));
    EXPECT_EQ(Log.Normalised(), std::vector<std::string>{Refused(fourth, "source limit 3")});
    TFd other = From("127.0.0.4");
    EXPECT_TRUE(Served(other));
    EXPECT_EQ(backend.Accepts(), 7);
}

TEST_F(AccessTest, RefusalLinesAreThrottledToOneASecondWithTheCountHeldBack)
{
    TBackend backend;
    Map.SetEngineClock(&FakeClock);
    ASSERT_EQ(Map.SetAllowFrom("10.0.0.0/8"), "");
    StartMapping(backend.Port());
    std::vector<TFd> refused;
    for (int i = 0; i < 3; ++i) {
        refused.push_back(From("127.0.0.1"));
        ASSERT_TRUE(Reset(refused.back()));
    }
    FakeClock.Advance(999);
    refused.push_back(From("127.0.0.1"));
    ASSERT_TRUE(Reset(refused.back()));
    FakeClock.Advance(1);
    refused.push_back(From("127.0.0.1"));
    ASSERT_TRUE(Reset(refused.back()));
    EXPECT_EQ(Log.Normalised(),
              (std::vector<std::string>{Refused(refused[0], "not allowed"),
                                        Refused(refused[4], "not allowed") + " (3 more)"}));
    EXPECT_EQ(Map.RefusedIn.load(), 5);
}

TEST_F(AccessTest, FloodOfRefusedClientsCostsNoThreadDescriptorOrTargetConnection)
{
    TBackend backend;
    ASSERT_EQ(Map.SetAllowFrom("127.0.0.2"), "");
    StartMapping(backend.Port());
    const int threads = LiveThreads();
    const int descriptors = OpenFds();
    const auto start = Clock::now();
    int resets = 0;
    for (int i = 0; i < 5000 && Clock::now() < start + kDeadline; ++i) {
        int error = 0;
        TFd fd = TryConnectFrom("127.0.0.1", ListenPort(), error);
        resets += (fd.Get() < 0 ? error == ECONNRESET : Reset(fd)) ? 1 : 0;
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start);
    EXPECT_EQ(resets, 5000);
    EXPECT_EQ(Map.RefusedIn.load(), 5000);
    EXPECT_EQ(Map.ConnectsIn.load(), 0);
    EXPECT_EQ(backend.Accepts(), 0);
    EXPECT_EQ(LiveThreads(), threads);
    EXPECT_EQ(OpenFds(), descriptors);
    // One line a second at most, the first at once.
    EXPECT_GE(Log.Count(), 1u);
    EXPECT_LE(Log.Count(), static_cast<std::size_t>(seconds.count()) + 2);
    TFd listed = From("127.0.0.2");
    EXPECT_TRUE(Served(listed));
}

}  // namespace
}  // namespace enginetest
