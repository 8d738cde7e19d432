// TCP connections and the outbound client against a plain socket at the far end.
#include <csignal>
#include <functional>
#include <gtest/gtest.h>

#include "net/IdException.h"
#include "net/IdTCPClient.h"
#include "support/Loopback.h"

using namespace testkit;

namespace {

// Bytes that show reordering, loss and truncation at zero bytes.
std::string Pattern(std::size_t ASize)
{
    std::string s(ASize, '\0');
    for (std::size_t i = 0; i < ASize; ++i)
        s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return s;
}

struct ConnectedPair {
    ConnectedPair()
    {
        Client.SetHost("127.0.0.1");
        Client.SetPort(Listener.Port());
        Client.OnDisconnected = [this](TIdTCPConnection*) { ++Disconnects; };
        Client.Connect();
        Far = Listener.Accept();
    }
    TListener Listener;
    TIdTCPClient Client;
    TFd Far;
    int Disconnects = 0;
};

// The error code of the socket error AStep raises; 0 when it raises none.
int SocketErrorOf(const std::function<void()>& AStep)
{
    try {
        AStep();
    } catch (const EIdSocketError& e) {
        return e.LastError();
    }
    return 0;
}

}  // namespace

TEST(Connection, ReadAvailableReturnsWhatArrivedInPiecesOfAtMost32768)
{
    ConnectedPair p;
    const std::string small = Pattern(100);
    ASSERT_TRUE(SendAll(p.Far.Get(), small));
    EXPECT_EQ(p.Client.ReadAvailable(), small);
    EXPECT_TRUE(p.Client.InputBuffer().empty());
    EXPECT_FALSE(p.Client.Binding()->WaitForData(0));  // nothing more: a further read would wait

    const std::string big = Pattern(100000);
    ASSERT_TRUE(SendAll(p.Far.Get(), big));
    std::string got;
    while (got.size() < big.size()) {
        const std::string piece = p.Client.ReadAvailable();
        ASSERT_FALSE(piece.empty());
        EXPECT_LE(piece.size(), 32768u);
        got += piece;
    }
    EXPECT_EQ(got, big);
}

TEST(Connection, PeerCloseEndsTheConnectionOnceAndLaterWritesRaise)
{
    ConnectedPair p;
    ASSERT_TRUE(SendAll(p.Far.Get(), "last words"));
    p.Far.Reset();
    std::string got, piece;
    while (!(piece = p.Client.ReadAvailable()).empty())
        got += piece;
    EXPECT_EQ(got, "last words");
    EXPECT_EQ(p.Disconnects, 1);
    EXPECT_FALSE(p.Client.Connected());
    EXPECT_EQ(p.Client.ReadAvailable(), "");

    EXPECT_NO_THROW(p.Client.Write(""));
    try {
        p.Client.Write("x");
        ADD_FAILURE() << "write on a closed connection";
    } catch (const EIdConnClosedGracefully& e) {
        EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
    }
    p.Client.Disconnect();
    EXPECT_EQ(p.Disconnects, 1);
    EXPECT_EQ(p.Client.Binding()->PeerIP(), "");
    EXPECT_EQ(p.Client.Binding()->PeerPort(), 0);
}

// The relay's read: the same bytes, ends and errors as ReadAvailable, without the copy.
TEST(Connection, ReadInPlaceBehavesAsReadAvailable)
{
    ConnectedPair p;
    const std::string big = Pattern(100000);
    ASSERT_TRUE(SendAll(p.Far.Get(), big.substr(0, 10)));
    ASSERT_EQ(p.Client.ReceiveOnce(false, InfiniteTimeout), 10);  // left in the input buffer
    ASSERT_TRUE(SendAll(p.Far.Get(), big.substr(10)));
    std::string got;
    while (got.size() < big.size()) {
        const std::string_view piece = p.Client.ReadAvailableInPlace();
        ASSERT_FALSE(piece.empty());
        EXPECT_LE(piece.size(), 32768u + 10u);
        got += piece;
    }
    EXPECT_EQ(got, big);
    EXPECT_TRUE(p.Client.InputBuffer().empty());

    // A larger receive size set after the first read takes effect without overrunning.
    p.Client.SetRecvBufferSize(200000);
    ASSERT_TRUE(SendAll(p.Far.Get(), big));
    got.clear();
    while (got.size() < big.size())
        got += p.Client.ReadAvailableInPlace();
    EXPECT_EQ(got, big);

    p.Far.Reset();
    EXPECT_EQ(p.Client.ReadAvailableInPlace(), "");
    EXPECT_EQ(p.Disconnects, 1);
    EXPECT_FALSE(p.Client.Connected());
    EXPECT_EQ(p.Client.ReadAvailableInPlace(), "");
    EXPECT_EQ(p.Disconnects, 1);

    ConnectedPair reset;
    CloseWithReset(reset.Far);
    EXPECT_EQ(SocketErrorOf([&] { reset.Client.ReadAvailableInPlace(); }), 10054);
    EXPECT_TRUE(reset.Client.Binding()->HandleAllocated());
}

TEST(Connection, DisconnectTwiceFiresOnce)
{
    ConnectedPair p;
    p.Client.Disconnect();
    p.Client.Disconnect();
    EXPECT_EQ(p.Disconnects, 1);
    EXPECT_TRUE(WaitForClose(p.Far.Get()));
}

TEST(Connection, ResetRaisesTenThousandFiftyFourAndLeavesTheSocketOpen)
{
    ConnectedPair p;
    CloseWithReset(p.Far);
    EXPECT_EQ(SocketErrorOf([&] { p.Client.ReadAvailable(); }), 10054);
    EXPECT_TRUE(p.Client.Binding()->HandleAllocated());
    EXPECT_EQ(p.Disconnects, 0);
}

// Without MSG_NOSIGNAL the default SIGPIPE action would end this test program.
TEST(Connection, WritingToAVanishedPeerRaisesInsteadOfKillingTheProcess)
{
    ConnectedPair p;
    auto* previous = std::signal(SIGPIPE, SIG_DFL);
    CloseWithReset(p.Far);
    const std::string chunk(65536, 'w');
    int code = 0;
    for (int i = 0; i < 1000 && code != 10058; ++i) {
        code = SocketErrorOf([&] { p.Client.Write(chunk); });
        EXPECT_TRUE(code == 0 || code == 10054 || code == 10058) << code;
    }
    std::signal(SIGPIPE, previous);
    EXPECT_EQ(code, 10058);
    EXPECT_FALSE(p.Client.Connected());  // 10058 disconnects
}

TEST(Client, RefusedConnectLeavesItClosedAndReady)
{
    TIdTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(FreePort());  // bound, not listening: refuses
    try {
        client.Connect();
        ADD_FAILURE() << "connected to a refusing port";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), 10061);
        EXPECT_EQ(e.Message(), "Socket Error # 10061\r\nConnection refused.");
    }
    EXPECT_FALSE(client.Connected());
    EXPECT_FALSE(client.Binding()->HandleAllocated());

    TListener listener;
    client.SetHost("LOCALHOST");
    client.SetPort(listener.Port());
    int connectedEvents = 0;
    client.OnConnected = [&](TIdTCPClient*) { ++connectedEvents; };
    client.Connect();
    EXPECT_EQ(connectedEvents, 1);
    EXPECT_EQ(client.Binding()->PeerIP(), "127.0.0.1");
    EXPECT_EQ(client.Binding()->PeerPort(), listener.Port());
    EXPECT_GT(client.Binding()->Port(), 0);
}

TEST(Client, ConnectWhileConnectedRaisesAndKeepsTheConnection)
{
    ConnectedPair p;
    EXPECT_THROW(p.Client.Connect(), EIdAlreadyConnected);
    p.Client.Write("still here");
    EXPECT_EQ(RecvAtMost(p.Far.Get(), 10), "still here");
    p.Client.SetUseNagle(false);  // takes effect on the next connect only
    EXPECT_EQ(p.Disconnects, 0);
}
