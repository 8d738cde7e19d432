// The socket stack and socket handles: Select's limits and list rewriting, address texts,
// error texts, binding, closing.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include "net/IdException.h"
#include "net/IdGlobal.h"
#include "net/IdSocketHandle.h"
#include "net/IdStack.h"
#include "net/IdTCPClient.h"
#include "support/Loopback.h"

using namespace testkit;

namespace {

// Pairs of connected local sockets, closed at the end.
struct SocketPairs {
    explicit SocketPairs(int ACount)
    {
        for (int i = 0; i < ACount; ++i) {
            int sv[2];
            EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
            Near.emplace_back(sv[0]);
            Far.emplace_back(sv[1]);
        }
    }
    TIdSocketList NearList() const
    {
        TIdSocketList list;
        for (const auto& s : Near)
            list.push_back(s.Get());
        return list;
    }
    std::vector<TFd> Near, Far;
};

}  // namespace

TEST(Select, RewritesTheListToTheReadySocketsOnly)
{
    SocketPairs pairs(2);
    ASSERT_TRUE(SendAll(pairs.Far[1].Get(), "x"));
    TIdSocketList list = pairs.NearList();
    EXPECT_EQ(GStack().Select(list, 5000), 1);
    EXPECT_EQ(list, TIdSocketList{pairs.Near[1].Get()});

    TIdSocketList silent{pairs.Near[0].Get()};
    EXPECT_EQ(GStack().Select(silent, 20), 0);
    EXPECT_TRUE(silent.empty());
}

TEST(Select, AcceptsSixtyFourSocketsAndRefusesSixtyFiveBeforeWaiting)
{
    SocketPairs pairs(65);
    ASSERT_TRUE(SendAll(pairs.Far[63].Get(), "x"));
    TIdSocketList list = pairs.NearList();
    EXPECT_THROW(GStack().Select(list, InfiniteTimeout), EIdStackSetSizeExceeded);

    list.pop_back();
    EXPECT_EQ(GStack().Select(list, InfiniteTimeout), 1);
    EXPECT_EQ(list, TIdSocketList{pairs.Near[63].Get()});
    try {
        TIdSocketList tooLong = pairs.NearList();
        GStack().Select(tooLong, 0);
    } catch (const EIdStackSetSizeExceeded& e) {
        EXPECT_STREQ(e.what(), "Set Size Exceeded.");
    }
}

// A relay step builds its list from handles that another thread may have closed (-1): the
// wait must fail at once instead of waiting on the remaining socket forever.
TEST(Select, FailsAtOnceOnAClosedHandle)
{
    SocketPairs pairs(1);
    TIdSocketList list{-1, pairs.Near[0].Get()};
    EXPECT_EQ(GStack().Select(list, InfiniteTimeout), -1);
    EXPECT_EQ(TIdStack::LastErrorCode(), 10038);
    EXPECT_TRUE(list.empty());
}

TEST(Addresses, DottedQuadsAndHostResolution)
{
    for (const char* no :
         {"1.2.3", "1.2.3.4.5", "256.0.0.1", "a.b.c.d", "", "1..2.3", "1.2.3.", "1.2.3.x"})
        EXPECT_FALSE(TIdStack::IsDottedQuad(no)) << no;
    for (const char* yes : {"0.0.0.0", "255.255.255.255", "10.1.2.3"})
        EXPECT_TRUE(TIdStack::IsDottedQuad(yes)) << yes;

    EXPECT_EQ(GStack().ResolveHost("localhost"), "127.0.0.1");
    EXPECT_EQ(GStack().ResolveHost("LocalHost"), "127.0.0.1");
    EXPECT_EQ(GStack().ResolveHost("10.1.2.3"), "10.1.2.3");

    EXPECT_EQ(TIdStack::AddressToText(TIdStack::TextToAddress("192.168.0.255")), "192.168.0.255");
    try {
        TIdStack::TextToAddress("1.x.3.4");
        ADD_FAILURE() << "no conversion error";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'x' is not a valid integer value");
    }
}

// Each part of a dotted quad is an integer 0..255, so leading zeros and a sign are allowed,
// where the platform's own parser refuses them.
TEST(Addresses, DottedQuadsWithLeadingZerosOrASignBindAndConnect)
{
    TIdSocketHandle listener;
    listener.AllocateSocket();
    listener.SetIP("127.0.0.001");
    listener.Bind();
    EXPECT_EQ(listener.IP(), "127.0.0.1");
    listener.Listen();
    for (const char* host : {"127.000.000.001", "+127.0.0.1"}) {
        TIdTCPClient client;
        client.SetHost(host);
        client.SetPort(listener.Port());
        client.Connect();
        EXPECT_EQ(client.Binding()->PeerIP(), "127.0.0.1") << host;
    }
    TIdSocketHandle wrong;
    wrong.AllocateSocket();
    wrong.SetIP("127.0.0.1.1");
    EXPECT_THROW(wrong.Bind(), EIdSocketError);
}

TEST(Addresses, FetchTokenWithAndWithoutRemoval)
{
    std::string text = "GET /index.html HTTP/1.0";
    EXPECT_EQ(FetchToken(text, " ", false), "GET");
    EXPECT_EQ(text, "GET /index.html HTTP/1.0");
    EXPECT_EQ(FetchToken(text, " ", true), "GET");
    EXPECT_EQ(text, "/index.html HTTP/1.0");
    std::string noDelimiter = "abc";
    EXPECT_EQ(FetchToken(noDelimiter, ".", true), "abc");
    EXPECT_EQ(noDelimiter, "");
}

TEST(Errors, TextsAndTranslation)
{
    EXPECT_EQ(TIdStack::ErrorText(10061), "Socket Error # 10061\r\nConnection refused.");
    EXPECT_EQ(TIdStack::ErrorText(10035), "Socket Error # 10035\r\nOperation would block. ");
    EXPECT_EQ(TIdStack::ErrorText(11001), "Socket Error # 11001\r\n");
    EXPECT_EQ(EIdSocketError(10054).Message(), "Socket Error # 10054\r\nConnection reset by peer.");
    EXPECT_EQ(EIdSocketError(10054).LastError(), 10054);

    EXPECT_EQ(TIdStack::TranslateErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(TIdStack::TranslateErrno(EPIPE), 10058);
    EXPECT_EQ(TIdStack::TranslateErrno(EWOULDBLOCK), 10035);
    EXPECT_EQ(TIdStack::TranslateErrno(ENOMEM), ENOMEM);  // no counterpart: kept

    EXPECT_FALSE(TIdStack::CheckResult(0));
    EXPECT_THROW(
        {
            GStack().Shutdown(-1, Id_SD_Send);
            TIdStack::CheckResult(-1, {10048});
        },
        EIdSocketError);
}

TEST(Ticks, DifferencesSurviveTheWrap)
{
    EXPECT_EQ(GetTickDiff(0xFFFFFFF0u, 0x10u), 0x20);
    EXPECT_EQ(GetTickDiff(0x10u, 0xFFFFFFF0u), -0x20);
}

TEST(SocketHandle, BindShowsTheBoundAddressAndRefusesAnAddressInUse)
{
    TIdSocketHandle any;
    any.AllocateSocket();
    any.Bind();
    EXPECT_EQ(any.IP(), "0.0.0.0");
    EXPECT_GT(any.Port(), 0);

    TListener taken;
    TIdSocketHandle second;
    second.AllocateSocket();
    const int one = 1;
    second.SetSockOpt(SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    second.SetIP("127.0.0.1");
    second.SetPort(taken.Port());
    try {
        second.Bind();
        ADD_FAILURE() << "bound over a live listener";
    } catch (const EIdCouldNotBindSocket& e) {
        EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
    } catch (const EIdSocketError&) {
        ADD_FAILURE() << "in use must not be a plain socket error";
    }
    EXPECT_TRUE(second.HandleAllocated());  // a failed bind leaves the socket open
}

TEST(SocketHandle, CloseSocketKeepsOrClearsTheLocalAddress)
{
    TListener listener;
    TIdSocketHandle h;
    h.AllocateSocket();
    h.SetPeer("127.0.0.1", listener.Port());
    ASSERT_EQ(h.Connect(), 0);
    const int localPort = h.Port();
    EXPECT_EQ(h.PeerPort(), listener.Port());

    EXPECT_TRUE(h.CloseSocket(false));
    EXPECT_EQ(h.Handle(), -1);
    EXPECT_EQ(h.Port(), localPort);
    EXPECT_EQ(h.IP(), "127.0.0.1");
    EXPECT_EQ(h.PeerIP(), "");
    EXPECT_EQ(h.PeerPort(), 0);
    EXPECT_FALSE(h.CloseSocket(true));  // closed: nothing, the local address stays
    EXPECT_EQ(h.Port(), localPort);
    EXPECT_THROW(h.WaitForData(InfiniteTimeout), EIdConnClosedGracefully);

    h.AllocateSocket();
    h.SetPeer("127.0.0.1", listener.Port());
    ASSERT_EQ(h.Connect(), 0);
    EXPECT_TRUE(h.CloseSocket(true));
    EXPECT_EQ(h.IP(), "");
    EXPECT_EQ(h.Port(), 0);
}

TEST(SocketHandle, AcceptOnADrainedListenerSaysSoWithoutRaising)
{
    TIdSocketHandle listening;
    listening.AllocateSocket();
    listening.SetIP("127.0.0.1");
    listening.Bind();
    listening.Listen();

    TIdSocketHandle accepted;
    EXPECT_FALSE(accepted.Accept(listening.Handle()));
    EXPECT_FALSE(accepted.HandleAllocated());

    TFd client = ConnectTo(listening.Port());
    pollfd queued{listening.Handle(), POLLIN, 0};
    ASSERT_EQ(::poll(&queued, 1, 10000), 1);
    ASSERT_TRUE(accepted.Accept(listening.Handle()));
    EXPECT_TRUE(accepted.HandleAllocated());
    EXPECT_EQ(accepted.PeerIP(), "127.0.0.1");
    EXPECT_FALSE(TIdSocketHandle().Accept(listening.Handle()));  // one client, one accept
}
