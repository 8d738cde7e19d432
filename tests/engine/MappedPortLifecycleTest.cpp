// Connection lifecycle, counters and log texts of TqvMappedPortTCP on real loopback sockets.
#include "MappingFixture.h"

#include "engine/texts/DumpFormats.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace enginetest {
namespace {

using Lines = std::vector<std::string>;

std::string Stats(int cur, int max, int in, int disc, int out)
{
    return "CurrentThreads: " + std::to_string(cur) + "  MaxThreads: " + std::to_string(max) +
        "  Connects (In): " + std::to_string(in) + "  Disconnects (In): " + std::to_string(disc) +
        "  Connects (Out): " + std::to_string(out);
}

class LifecycleTest : public MappingTest {
protected:
    void SetUp() override { UseFakeClockAndConnectionLines(); }
    // "## T Channel 1; (TID= N) " + text, as NormaliseLine leaves a connection line.
    static std::string Conn(const std::string& text) { return "## T Channel 1; (TID= N) " + text; }
    std::string From(const TFd& fd)
    {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len);
        return "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    }
    std::string Listen() { return "127.0.0.1:" + std::to_string(ListenPort()); }
};

TEST_F(LifecycleTest, ConnectionLinesAndHexRecordsByteForByte)
{
    TBackend backend;
    Map.LogDataMode = 4;
    StartMapping(backend.Port());
    const std::string target = "127.0.0.1:" + std::to_string(backend.Port());
    TFd client = ConnectTo(ListenPort());
    ASSERT_TRUE(WaitUntil([&] { return Log.Count() == 2; }));
    FakeClock.Advance(4000);  // four seconds into the busy period
    std::string answer;
    RunServing([&] {
        SendAll(client.Get(), "Hello");
        answer = RecvAtMost(client.Get(), 5, Clock::now() + kDeadline);
    });
    EXPECT_EQ(answer, Transformed("Hello"));
    ASSERT_TRUE(WaitUntil([&] { return Log.Count() == 4; }));
    const std::string from = From(client);
    client.Reset();
    ASSERT_TRUE(WaitForDisconnects(1));

    const std::string bytes = "  Bytes C->S: 5   S->C: 5";
    EXPECT_EQ(Log.Normalised(),
              (Lines{Conn(" Incoming connection from " + from + " to " + Listen() + ". " +
                          Stats(1, 1, 1, 0, 0) + "  Bytes C->S: 0   S->C: 0"),
                     Conn(" Mapping connection from " + from + " to  " + target + ". " +
                          Stats(1, 1, 1, 0, 1) + "  Bytes C->S: 0   S->C: 0"),
                     Conn(" DATA (Client -> Server): Length= 5 Connection: Bytes C->S: 0 = 0/sec "
                          " S->C: 0\r\n" +
                          HexDump("Hello")),
                     Conn(" DATA (Server -> Client): Length= 5 Connection: Bytes C->S: 5 = 1/sec "
                          " S->C: 0 = 0/sec \r\n" +
                          HexDump(Transformed("Hello"))),
                     Conn(" DATA (Client -> Server): Length= 0 Connection: Bytes C->S: 5 = 1/sec "
                          " S->C: 5 = 1/sec \r\n" +
                          HexDump("")),
                     Conn(" Disconnect (incoming). " + Stats(0, 1, 1, 1, 1) + bytes)}));
    EXPECT_TRUE(Log.AllOnMainThread());
    EXPECT_EQ(backend.Received(), "Hello");
}

TEST_F(LifecycleTest, ClientThatClosesAtOnceStillGetsAllThreeLines)
{
    TBackend backend;
    StartMapping(backend.Port());
    ConnectTo(ListenPort()).Reset();
    ASSERT_TRUE(WaitForDisconnects(1));
    const Lines lines = Log.Normalised();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find(" Incoming connection from 127.0.0.1:"), std::string::npos);
    EXPECT_NE(lines[1].find(" Mapping connection from 127.0.0.1:"), std::string::npos);
    EXPECT_EQ(lines[2], Conn(" Disconnect (incoming). " + Stats(0, 1, 1, 1, 1)));
}

TEST_F(LifecycleTest, TargetClosingEndsTheMappingAfterAZeroLengthRecord)
{
    TBackend backend(TBackend::TMode::SendAndClose, std::string("by\0e", 4));
    Map.LogDataMode = 1;
    StartMapping(backend.Port());
    TFd client = ConnectTo(ListenPort());
    std::string got;
    RunServing([&] { got = RecvAtMost(client.Get(), 100, Clock::now() + kDeadline); });
    EXPECT_EQ(got, std::string("by\0e", 4));  // and then the end: the relay closed the client
    ASSERT_TRUE(WaitForDisconnects(1));
    const Lines lines = Log.Normalised();
    ASSERT_EQ(lines.size(), 5u);
    // The fake clock stands still: no time has passed, so no rates.
    EXPECT_EQ(lines[2],
              Conn(" DATA (Server -> Client): Length= 4 Connection: Bytes C->S: 0 S->C: 0\r\n") +
                  std::string("by\0e", 4));
    EXPECT_EQ(lines[3],
              Conn(" DATA (Server -> Client): Length= 0 Connection: Bytes C->S: 0 S->C: 4\r\n"));
    EXPECT_EQ(lines[4].rfind(Conn(" Disconnect (incoming). "), 0), 0u);
}

TEST_F(LifecycleTest, WithoutConnectionInfoADumpTextGoesAloneAndAnEmptyOneNotAtAll)
{
    TBackend backend(TBackend::TMode::Hold);
    Map.LogConnInfo = false;
    Map.LogDataMode = 2;
    StartMapping(backend.Port());
    TFd client = ConnectTo(ListenPort());
    ASSERT_TRUE(SendAll(client.Get(), std::string("\0A\r\n", 4)));
    // A read is logged before it is written, so once the target has it the log is complete.
    ASSERT_TRUE(WaitUntil([&] { return backend.Received().size() == 4; }));
    ASSERT_TRUE(SendAll(client.Get(), "\x01\xFE"));
    ASSERT_TRUE(WaitUntil([&] { return backend.Received().size() == 6; }));
    EXPECT_EQ(backend.Received(), std::string("\0A\r\n\x01\xFE", 6));
    EXPECT_EQ(Log.Lines(), Lines{"A\r\n"});
}

TEST_F(LifecycleTest, RefusedTargetGivesTheFailureSequenceThenOnlyTheErrorLine)
{
    StartMapping(FreePort());  // nothing listens there
    const std::string error = "## T Channel 1; Error: Socket Error # 10061 - Connection refused.";
    for (int i = 1; i <= 2; ++i) {
        TFd client = ConnectTo(ListenPort());
        const std::string from = From(client);
        ASSERT_TRUE(WaitUntil([&] { return Log.Count() == 4; }));
        EXPECT_TRUE(WaitForClose(client.Get(), Clock::now() + kDeadline));
        EXPECT_EQ(Log.Normalised(),
                  (Lines{Conn(" Incoming connection from " + from + " to " + Listen() + ". " +
                              Stats(1, 1, i, i - 1, i - 1)),
                         Conn(" Mapping connection from " + from + " to  127.0.0.1:" +
                              std::to_string(Map.MappedPort()) + ". " + Stats(1, 1, i, i - 1, i)),
                         Conn(" Disconnect (incoming). " + Stats(0, 1, i, i, i)), error}));
        EXPECT_FALSE(Log.AllOnMainThread());  // the error line comes on the peer thread itself
        Log.Clear();
    }
    Map.LogConnInfo = false;
    ConnectTo(ListenPort()).Reset();
    ASSERT_TRUE(WaitUntil([&] { return Log.Count() == 1; }));
    EXPECT_EQ(Log.Normalised(), Lines{error});

    Map.Logging = false;
    Map.LogConnInfo = true;
    ConnectTo(ListenPort()).Reset();
    ASSERT_TRUE(WaitForDisconnects(4));
    Map.Shutdown();  // every peer thread has ended: a late line would be here by now
    EXPECT_EQ(Log.Count(), 1u);
    EXPECT_EQ(Map.ConnectsIn.load(), 4);
    EXPECT_EQ(Map.ConnectsOut.load(), 4);
    EXPECT_EQ(Map.CurrentThreads.load(), 0);
}

TEST_F(LifecycleTest, ResetCountersDuringAnOpenConnection)
{
    TBackend backend;
    Map.Logging = false;
    StartMapping(backend.Port());
    TFd client = ConnectTo(ListenPort());
    EXPECT_EQ(Exchange(ListenPort(), "x"), Transformed("x"));  // a second, closed connection
    ASSERT_TRUE(
        WaitUntil([&] { return Map.DisconnectsIn.load() == 1 && Map.CurrentThreads.load() == 1; }));
    Map.ResetCounters();
    EXPECT_EQ(Map.GetStatistics(), Stats(0, 0, 0, 0, 0));
    client.Reset();
    ASSERT_TRUE(WaitForDisconnects(1));
    EXPECT_EQ(Map.GetStatistics(), Stats(0, 0, 0, 1, 0));
}

TEST_F(LifecycleTest, OnlyTheFirstOfTwoOverlappingClientsStartsABusyPeriod)
{
    TBackend backend;
    Map.Logging = false;
    Map.LogDataMode = 1;
    StartMapping(backend.Port());
    FakeClock.SetDays(46001.25);
    TFd first = ConnectTo(ListenPort());
    ASSERT_TRUE(SendAll(first.Get(), "abc"));
    EXPECT_EQ(RecvAtMost(first.Get(), 3, Clock::now() + kDeadline), Transformed("abc"));
    EXPECT_EQ(Map.BusyStart.load(), 46001.25);

    FakeClock.SetDays(46001.5);
    EXPECT_EQ(Exchange(ListenPort(), "de"), Transformed("de"));
    ASSERT_TRUE(WaitUntil([&] { return Map.DisconnectsIn.load() == 1; }));
    EXPECT_EQ(Map.BusyStart.load(), 46001.25);
    EXPECT_EQ(Map.BusyBytesCS.load(), 5);
    EXPECT_EQ(Map.BusyBytesSC.load(), 5);

    first.Reset();
    ASSERT_TRUE(WaitForDisconnects(2));
    FakeClock.SetDays(46002.0);
    TFd third = ConnectTo(ListenPort());
    // The new period's start and byte counts are written after ConnectsOut moves: wait on them.
    EXPECT_TRUE(WaitUntil([&] {
        return Map.BusyStart.load() == 46002.0 && Map.BusyBytesCS.load() == 0 &&
            Map.BusyBytesSC.load() == 0;
    })) << "busy period from "
        << Map.BusyStart.load() << ", bytes " << Map.BusyBytesCS.load() << " and "
        << Map.BusyBytesSC.load();
    EXPECT_EQ(Map.ConnectsOut.load(), 3);
}

TEST_F(LifecycleTest, CountersInModeZeroAndAboveWithSixtyFourBitBytes)
{
    TBackend backend;
    Map.Logging = false;
    StartMapping(backend.Port());
    TFd client = ConnectTo(ListenPort());
    ASSERT_TRUE(SendAll(client.Get(), "0123456789"));
    EXPECT_EQ(RecvAtMost(client.Get(), 10, Clock::now() + kDeadline).size(), 10u);
    std::int32_t current = 0, disconnects = 0;
    std::int64_t cs = 0, sc = 0;
    EXPECT_TRUE(Map.GetCounters(current, disconnects, cs, sc));
    EXPECT_EQ(current, 1);
    EXPECT_EQ(disconnects, 0);
    EXPECT_EQ(cs, -1);
    EXPECT_EQ(sc, -1);
    EXPECT_EQ(Map.BytesCS.load(), 0);  // mode 0 without a limit counts nothing
    EXPECT_EQ(Map.BusyBytesCS.load(), 0);
    EXPECT_EQ(Map.GetStatistics(), Stats(1, 1, 1, 0, 1));

    Map.LogDataMode = 2;  // live, on the open connection
    Map.BytesCS = 2147483647 - 4;  // just below 2^31: the next read crosses it
    ASSERT_TRUE(SendAll(client.Get(), "0123456789"));
    EXPECT_EQ(RecvAtMost(client.Get(), 10, Clock::now() + kDeadline).size(), 10u);
    EXPECT_TRUE(Map.GetCounters(current, disconnects, cs, sc));
    EXPECT_EQ(cs, 2147483653);
    EXPECT_EQ(sc, 10);
    EXPECT_EQ(Map.GetStatistics(), Stats(1, 1, 1, 0, 1) + "  Bytes C->S: 2147483653   S->C: 10");
}

}  // namespace
}  // namespace enginetest
