// The connection registry and the in-memory capture: records of real relayed connections in
// every data mode, Close/Reset Connection through the stop path, and the capture bounds.
#include "MappingFixture.h"

#include "engine/connections/CaptureRing.h"
#include "engine/connections/ConnectionRegistry.h"

#include <map>

#include <netinet/in.h>
#include <sys/socket.h>

namespace enginetest {
namespace {

using Dir = TRelayDirection;
const TCaptureTime T0{};

std::string Joined(const TCaptureCopy& ACopy, Dir ADirection)
{
    return JoinedBytes(ACopy.Pieces, ADirection);
}

TEST(CaptureRingTest, KeepsOrderAcrossDirectionsAndDropsTheOldestBytesOfAFullDirection)
{
    TCaptureRing ring(10);
    EXPECT_EQ(ring.Add(Dir::ClientToServer, T0, "abcdef"), 6);
    EXPECT_EQ(ring.Add(Dir::ServerToClient, T0, "XYZ"), 3);
    EXPECT_EQ(ring.Add(Dir::ClientToServer, T0, "ghijkl"), 6 - 2);  // 12 > 10: "ab" go
    const TCaptureCopy all = ring.CopyFrom(0);
    ASSERT_EQ(all.Pieces.size(), 3u);
    EXPECT_EQ(all.Pieces[0].Bytes, "cdef");
    EXPECT_EQ(all.Pieces[1].Bytes, "XYZ");
    EXPECT_EQ(all.Pieces[2].Bytes, "ghijkl");
    EXPECT_EQ(all.DroppedCS, 2u);
    EXPECT_EQ(all.DroppedSC, 0u);
    EXPECT_EQ(ring.CopyFrom(all.NextIndex).Pieces.size(), 0u);
    EXPECT_EQ(ring.CopyFrom(2).Pieces.size(), 1u);
    // A piece bigger than the limit keeps its tail.
    ring.Add(Dir::ServerToClient, T0, "0123456789ABCDEF");
    EXPECT_EQ(Joined(ring.CopyFrom(0), Dir::ServerToClient), "6789ABCDEF");
    EXPECT_EQ(ring.CopyFrom(0).DroppedSC, 3u + 6u);
    EXPECT_EQ(ring.DropOldest(5), 5u);  // over both directions, oldest first: "cdef", "g"
    EXPECT_EQ(Joined(ring.CopyFrom(0), Dir::ClientToServer), "hijkl");
}

TEST(ConnectionRegistryTest, KeepsABoundedListOfEndedRecordsAndTrimsTheirCapturesFirst)
{
    TConnectionLimits limits;
    limits.EndedKept = 3;
    limits.CapturePerDirection = 100;
    limits.CapturePerChannel = 250;
    TConnectionRegistry registry(limits);
    registry.SetChannel(4);
    std::vector<std::shared_ptr<TConnectionRecord>> records;
    for (int i = 0; i < 5; ++i)
        records.push_back(registry.Open({"127.0.0.1", 1000 + i}, nullptr));
    EXPECT_EQ(records[0]->Channel, 4);
    EXPECT_NE(records[0]->Id, records[1]->Id);
    for (int i = 0; i < 2; ++i) {
        registry.AccountCapture(records[static_cast<std::size_t>(i)]->Capture().Add(
            Dir::ClientToServer, T0, std::string(100, 'a')));
    }
    registry.Close(records[0], false);
    // The open record 2 pushes the channel over 250: record 0 (ended) loses its bytes first.
    registry.AccountCapture(
        records[2]->Capture().Add(Dir::ServerToClient, T0, std::string(100, 'b')));
    EXPECT_LE(registry.CapturedBytes(), 250 - 250 / 8);
    EXPECT_EQ(records[0]->Capture().Held(), 100u - (300u - (250u - 250u / 8)));
    EXPECT_EQ(records[1]->Capture().Held(), 100u);
    for (int i = 1; i < 5; ++i)
        registry.Close(records[static_cast<std::size_t>(i)], i == 4);
    const auto snap = registry.Snapshot();
    ASSERT_EQ(snap.size(), 3u);  // records 2, 3, 4, oldest first; 0 and 1 dropped
    EXPECT_EQ(snap[0].Id, records[2]->Id);
    EXPECT_EQ(snap[2].End, TConnectionEnd::Stopped);
    EXPECT_EQ(registry.Find(records[0]->Id), nullptr);
    EXPECT_EQ(registry.CapturedBytes(), 100);  // what record 2 still holds
}

class ConnectionsTest : public MappingTest {
protected:
    std::vector<TConnectionSnapshot> Snap() { return Map.ConnectionSnapshot(); }
    bool WaitForOpen(std::size_t ACount)
    {
        return WaitUntil([&] {
            std::size_t relaying = 0;
            for (const auto& s : Snap())
                relaying += s.State == TConnectionState::Relaying;
            return relaying == ACount;
        });
    }
    static int LocalPort(const TFd& fd)
    {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len);
        return ntohs(a.sin_port);
    }
};

TEST_F(ConnectionsTest, RecordsCountBytesInModeZeroAndTellHowEachEnded)
{
    TBackend backend;
    Map.SetCapturePlace("", 2);
    StartMapping(backend.Port());
    TFd byClient = ConnectTo(ListenPort());
    EXPECT_EQ(ExchangeOn(byClient, std::string(70000, 'x')), Transformed(std::string(70000, 'x')));
    const int clientPort = LocalPort(byClient);
    byClient.Reset();
    ASSERT_TRUE(WaitForDisconnects(1));
    TBackend closing(TBackend::TMode::SendAndClose, "bye");
    Map.SetActive(false);
    StartMapping(closing.Port());
    TFd byTarget = ConnectTo(ListenPort());
    EXPECT_TRUE(WaitForClose(byTarget.Get(), Clock::now() + kDeadline));
    // The counter goes on across the restart: the second connection is the second disconnect.
    ASSERT_TRUE(WaitForDisconnects(2));

    const auto snap = Snap();
    ASSERT_EQ(snap.size(), 2u);
    EXPECT_EQ(snap[0].Channel, 2);
    EXPECT_EQ(snap[0].Client.Port, clientPort);
    EXPECT_EQ(snap[0].Target.Port, backend.Port());
    EXPECT_EQ(snap[0].BytesCS, 70000u);  // mode 0: the channel counts nothing, the record does
    EXPECT_EQ(snap[0].BytesSC, 70000u);
    EXPECT_EQ(ConnectionStateText(snap[0]), "closed by client");
    EXPECT_EQ(ConnectionStateText(snap[1]), "closed by target");
    EXPECT_EQ(snap[1].BytesSC, 3u);
    EXPECT_TRUE(snap[1].Ended.has_value());
    EXPECT_EQ(Map.BytesCS.load(), 0);
}

TEST_F(ConnectionsTest, CloseAndResetByIdEndOnlyThatConnectionWithTheDisconnectLine)
{
    TBackend backend;
    Map.Logging = true;
    Map.LogConnInfo = true;
    StartMapping(backend.Port());
    TFd a = ConnectTo(ListenPort());
    TFd b = ConnectTo(ListenPort());
    TFd c = ConnectTo(ListenPort());
    ASSERT_TRUE(WaitForOpen(3));
    auto idOf = [&](const TFd& fd) {
        for (const auto& s : Snap())
            if (s.Client.Port == LocalPort(fd))
                return s.Id;
        return std::uint64_t{0};
    };
    const std::uint64_t idA = idOf(a), idB = idOf(b);
    EXPECT_TRUE(Map.CloseConnection(idA, false));
    EXPECT_TRUE(WaitForClose(a.Get(), Clock::now() + kDeadline));
    EXPECT_TRUE(Map.CloseConnection(idB, true));
    // The reset reaches the client as a reset, not as an orderly end.
    char byte = 0;
    ssize_t got = 0;
    int error = 0;
    RunServing([&] {
        got = ::recv(b.Get(), &byte, 1, 0);
        error = errno;
    });
    EXPECT_EQ(got, -1);
    EXPECT_EQ(error, ECONNRESET);
    // The counter moves before the line is handed to the main thread: wait for the lines.
    auto disconnectLines = [&] {
        int lines = 0;
        for (const std::string& l : Log.Lines())
            lines += l.find(" Disconnect (incoming). ") != std::string::npos;
        return lines;
    };
    ASSERT_TRUE(WaitUntil([&] { return disconnectLines() == 2; }));
    EXPECT_EQ(Map.DisconnectsIn.load(), 2);
    EXPECT_EQ(ExchangeOn(c, "still here"), Transformed("still here"));  // the third goes on
    EXPECT_FALSE(Map.CloseConnection(idA, false));  // not open any more

    // The two threads end in either order, and the third ends once its exchange is over;
    // each record tells its own end.
    std::map<std::uint64_t, std::string> states;
    for (const auto& s : Snap())
        if (s.Id == idA || s.Id == idB)
            states[s.Id] = ConnectionStateText(s);
    EXPECT_EQ(states,
              (std::map<std::uint64_t, std::string>{{idA, "closed on request"},
                                                    {idB, "reset on request"}}));
}

TEST_F(ConnectionsTest, CaptureKeepsTheBytesOfEachDirectionInReadOrderWhileSwitchedOn)
{
    TBackend backend;
    Map.Capture = true;
    StartMapping(backend.Port());
    TFd fd = ConnectTo(ListenPort());
    auto talk = [&](const std::string& AText) {
        SendAll(fd.Get(), AText);
        return RecvAtMost(fd.Get(), AText.size(), Clock::now() + kDeadline);
    };
    EXPECT_EQ(talk("first"), Transformed("first"));
    Map.Capture = false;  // live: the next bytes are not kept
    EXPECT_EQ(talk("second"), Transformed("second"));
    fd.Reset();
    ASSERT_TRUE(WaitForDisconnects(1));
    const auto record = Map.FindConnection(Snap().at(0).Id);
    ASSERT_NE(record, nullptr);
    const TCaptureCopy copy = record->Capture().CopyFrom(0);
    EXPECT_EQ(Joined(copy, Dir::ClientToServer), "first");
    EXPECT_EQ(Joined(copy, Dir::ServerToClient), Transformed("first"));
    EXPECT_EQ(copy.Pieces.front().Direction, Dir::ClientToServer);
    EXPECT_EQ(Map.Registry().CapturedBytes(), 10);
}

}  // namespace
}  // namespace enginetest
