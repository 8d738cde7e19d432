// Addresses of both families: the text forms, listening on IPv6 and on both families, and
// connecting to the first of several addresses that answers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>

#include "net/IdException.h"
#include "net/IdIPAddress.h"
#include "net/IdPeerThread.h"
#include "net/IdStack.h"
#include "net/IdTCPClient.h"
#include "net/IdTCPServer.h"
#include "support/Loopback.h"
#include "support/ServingWaits.h"

using namespace testkit;

namespace {

std::string TextOf(const char* AInput)
{
    const auto address = TIdIPAddress::Parse(AInput);
    return address ? address->ToText() : "(none)";
}

void Echo(TIdPeerThread* AThread)
{
    TIdTCPServerConnection& c = *AThread->Connection();
    c.Write(c.ReadAvailable());
}

// A server listening on AIP (empty: no IP given) with a port the system chose.
int Listen(TIdTCPServer& AServer, const std::string& AIP)
{
    AServer.SetTerminateWaitTime(500);
    AServer.OnExecute = Echo;
    AServer.Bindings().Clear();
    TIdSocketHandle* binding = AServer.Bindings().Add();
    if (!AIP.empty())
        binding->SetIP(AIP);
    AServer.SetActive(true);
    return AServer.Bindings().Items(0)->Port();
}

// A listener on 127.0.0.2 at APort, beside whatever uses APort on 127.0.0.1.
TFd ListenOnSecondLoopback(int APort)
{
    TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = Loopback(APort);
    ::inet_pton(AF_INET, "127.0.0.2", &a.sin_addr);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd.Get(), 8) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.2");
    return fd;
}

class IPv6Loopback : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!HaveIPv6Loopback())
            GTEST_SKIP() << "this machine has no IPv6 loopback address (::1)";
    }
};

}  // namespace

TEST(IPAddress, TextFormsAreTheShortOnesAndIPv4StaysAsItWas)
{
    const std::pair<const char*, const char*> cases[] = {
        {"127.0.0.1", "127.0.0.1"},
        {"010.001.000.255", "10.1.0.255"},  // the layer's dotted quads keep reading this way
        {"::1", "::1"},
        {"[::1]", "::1"},
        {"::", "::"},
        {"2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},  // the first of two equal runs
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero group stays
        {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},  // the longer run
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
        {"::ffff:10.1.2.3", "10.1.2.3"},  // IPv4-mapped: the IPv4 address it is
        {"[::ffff:7f00:1]", "127.0.0.1"},
        {"fe80::1%lo", "fe80::1%lo"},
        {"fe80::1%1", "fe80::1%lo"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(TextOf(in), out) << in;
    for (const char* no : {"", "1.2.3", "::1::2", ":::1", "12345::", "[::1", "::1]",
                           "1.2.3.4:80", "[::1]:80", "fe80::1%", "fe80::1%no-such-if0", "example.org"})
        EXPECT_EQ(TextOf(no), "(none)") << no;
    EXPECT_EQ(TIdIPAddress::ScopeProblem("fe80::1%no-such-if0"),
              "No network interface \"no-such-if0\" for fe80::1.");
    EXPECT_EQ(TIdIPAddress::ScopeProblem("fe80::1%lo"), "");

    EXPECT_EQ(TIdIPAddress::WithPort("10.1.2.3", 80), "10.1.2.3:80");
    EXPECT_EQ(TIdIPAddress::WithPort("::1", 80), "[::1]:80");
    EXPECT_EQ(TIdIPAddress::WithPort("example.org", 80), "example.org:80");
}

TEST(IPAddress, NamesAndLiteralsResolveToTheAddressesToTry)
{
    const auto texts = [](const std::vector<TIdIPAddress>& AList) {
        std::vector<std::string> out;
        for (const auto& a : AList)
            out.push_back(a.ToText());
        return out;
    };
    EXPECT_EQ(texts(GStack().ResolveAll("LocalHost")), (std::vector<std::string>{"::1", "127.0.0.1"}));
    EXPECT_EQ(texts(GStack().ResolveAll("[::1]")), std::vector<std::string>{"::1"});
    EXPECT_EQ(texts(GStack().ResolveAll("10.1.2.3")), std::vector<std::string>{"10.1.2.3"});
    // IPv4 keeps its old answers.
    EXPECT_EQ(GStack().ResolveHost("localhost"), "127.0.0.1");
    try {
        GStack().ResolveAll("fe80::1%no-such-if0");
        ADD_FAILURE() << "a bad scope resolved";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), Id_WSAHOST_NOT_FOUND);
        EXPECT_STREQ(e.what(), "Socket Error # 11001\r\nNo network interface \"no-such-if0\" for "
                               "fe80::1.");
    }
}

TEST_F(IPv6Loopback, EachBindIPServesItsFamilies)
{
    {
        TIdTCPServer server;
        const int port = Listen(server, "[::1]");
        EXPECT_EQ(server.Bindings().Items(0)->IP(), "::1");
        TFd client = ConnectTo6(port);
        ASSERT_TRUE(SendAll(client.Get(), "six"));
        EXPECT_EQ(RecvAtMost(client.Get(), 3), "six");
        EXPECT_LT(TryConnect(port).Get(), 0) << "[::1] took an IPv4 client";
    }
    {
        // No IP: 0.0.0.0 as always, and [::] on the same port beside it.
        TIdTCPServer server;
        const int port = Listen(server, "");
        EXPECT_EQ(server.Bindings().Items(0)->IP(), "0.0.0.0");
        EXPECT_EQ(server.EveryFamilyProblem(), "");
        EXPECT_EQ(Exchange(port, "four"), "four");
        TFd six = ConnectTo6(port);
        ASSERT_TRUE(SendAll(six.Get(), "six"));
        EXPECT_EQ(RecvAtMost(six.Get(), 3), "six");
        // Stopped and started again, it still listens on both.
        server.SetActive(false);
        server.SetActive(true);
        const int again = server.Bindings().Items(0)->Port();
        EXPECT_EQ(Exchange(again, "four"), "four");
        EXPECT_GE(ConnectTo6(again).Get(), 0);
    }
    {
        TIdTCPServer server;
        const int port = Listen(server, "0.0.0.0");
        EXPECT_EQ(Exchange(port, "four"), "four");
        EXPECT_LT(TryConnect6(port).Get(), 0) << "0.0.0.0 took an IPv6 client";
    }
}

TEST_F(IPv6Loopback, ADualStackSocketShowsAnIPv4ClientAsIPv4)
{
    TIdTCPServer server;
    std::mutex lock;
    std::string peer, local;
    server.OnConnect = [&](TIdPeerThread* t) {
        std::lock_guard guard(lock);
        peer = t->Connection()->Binding()->PeerIP();
        local = t->Connection()->Binding()->IP();
    };
    const int port = Listen(server, "::");
    EXPECT_EQ(server.Bindings().Items(0)->IP(), "::");
    EXPECT_EQ(Exchange(port, "four"), "four");
    std::lock_guard guard(lock);
    EXPECT_EQ(peer, "127.0.0.1");
    EXPECT_EQ(local, "127.0.0.1");
}

TEST(IPv6Binding, AScopeThatNamesNoInterfaceSaysSo)
{
    TIdTCPServer server;
    try {
        Listen(server, "fe80::1%no-such-if0");
        ADD_FAILURE() << "bound to an interface that does not exist";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), Id_WSAEADDRNOTAVAIL);
        EXPECT_STREQ(e.what(), "Socket Error # 10049\r\nCannot assign requested address. "
                               "No network interface \"no-such-if0\" for fe80::1.");
    }
    EXPECT_FALSE(server.Active());
}

TEST_F(IPv6Loopback, LocalhostReachesAServerOnEitherFamilyAlone)
{
    TListener6 six;
    TListener four;
    for (const int port : {six.Port(), four.Port()}) {
        TIdTCPClient client;
        client.SetHost("localhost");
        client.SetPort(port);
        client.Connect();
        EXPECT_EQ(client.Binding()->PeerIP(), port == six.Port() ? "::1" : "127.0.0.1");
        client.Disconnect();
    }
}

TEST(HappyEyeballs, ASilentAddressIsPassedAfterTheDelayAndTheFirstAnswerWins)
{
    TSilentListener silent;  // 127.0.0.1: drops every SYN
    TFd answering = ListenOnSecondLoopback(silent.Port());
    const std::vector<TIdIPAddress> targets{*TIdIPAddress::Parse("127.0.0.1"),
                                            *TIdIPAddress::Parse("127.0.0.2")};
    TIdSocketHandle handle;
    handle.AllocateSocket();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(handle.ConnectFirst(targets, silent.Port()), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    EXPECT_EQ(handle.PeerIP(), "127.0.0.2");
    // The handle holds the winner: what it sends arrives at 127.0.0.2.
    ASSERT_EQ(handle.Send("hello", 5), 5);
    TFd served(::accept4(answering.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    EXPECT_EQ(RecvAtMost(served.Get(), 5), "hello");
}

TEST(HappyEyeballs, ARefusedAddressMovesOnAndAllRefusedFails)
{
    TListener answering;
    const int closedPort = FreePort();
    TIdSocketHandle handle;
    handle.AllocateSocket();
    // Nothing on 127.0.0.2 at the listener's port: refused, and 127.0.0.1 is tried at once
    // (the test would wait for the next attempt's delay otherwise, which proves nothing; the
    // winner's index does).
    const std::vector<TIdIPAddress> targets{*TIdIPAddress::Parse("127.0.0.2"),
                                            *TIdIPAddress::Parse("127.0.0.1")};
    EXPECT_EQ(handle.ConnectFirst(targets, answering.Port()), 1);
    EXPECT_EQ(handle.PeerPort(), answering.Port());

    TIdSocketHandle refused;
    refused.AllocateSocket();
    EXPECT_EQ(refused.ConnectFirst(targets, closedPort), -1);
    EXPECT_EQ(TIdStack::LastErrorCode(), Id_WSAECONNREFUSED);
}

TEST(HappyEyeballs, AStopEndsARaceThatNobodyAnswers)
{
    TSilentListener silent;
    const std::vector<TIdIPAddress> targets{*TIdIPAddress::Parse("127.0.0.1"),
                                            *TIdIPAddress::Parse("127.0.0.1")};
    TIdSocketHandle handle;
    handle.AllocateSocket();
    std::atomic<int> asked{0};
    // Wanted for the first few questions only: the race asks again while it waits.
    const auto wanted = [&] { return ++asked < 4; };
    EXPECT_EQ(handle.ConnectFirst(targets, silent.Port(), wanted), -1);
    EXPECT_EQ(TIdStack::LastErrorCode(), Id_WSAECONNABORTED);
}
