// The time between an accepted client and its target's answer: a client that leaves while the
// target stays silent, and a stop while the connection's first line waits for the main thread.
#include "MappingFixture.h"

#include <poll.h>

namespace enginetest {
namespace {

using Lines = std::vector<std::string>;

// A target that never answers, as a firewalled host; AcceptAndRead lets one connection in.
class TSilentTarget : public TSilentListener {
public:
    // Frees the queue and accepts until a connection brings ABytes (or the deadline passes).
    std::string AcceptAndRead(std::size_t ABytes)
    {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        std::string got;
        while (got.size() < ABytes && Clock::now() < deadline) {
            pollfd p{Fd(), POLLIN, 0};
            if (::poll(&p, 1, 100) != 1)
                continue;
            TFd conn = Accept();
            got = RecvAtMost(conn.Get(), ABytes, Clock::now() + std::chrono::milliseconds(200));
        }
        return got;
    }
};

class ConnectPhaseTest : public MappingTest {
protected:
    void SetUp() override
    {
        Map.Logging = true;
        Map.LogConnInfo = true;
    }
    static bool Has(const Lines& ALines, const std::string& AText)
    {
        for (const std::string& l : ALines)
            if (l.find(AText) != std::string::npos)
                return true;
        return false;
    }
};

TEST_F(ConnectPhaseTest, AClientLeavingASilentTargetEndsItsConnectionAtOnce)
{
    TSilentTarget target;
    StartMapping(target.Port());
    for (int n = 1; n <= 2; ++n) {
        TFd client = ConnectTo(ListenPort());
        ASSERT_TRUE(WaitUntil([&] { return Log.Count() == 2; }));  // the connect is under way
        if (n == 1)
            client = TFd();
        else
            client.Reset();
        // Far within the two minutes the system gives a connect to a silent host.
        ASSERT_TRUE(
            WaitUntil([&] { return Map.DisconnectsIn.load() == n && Map.Threads().Count() == 0; },
                      std::chrono::seconds(5)));
        const Lines lines = Log.Normalised();
        ASSERT_EQ(lines.size(), 3u) << lines.back();
        EXPECT_TRUE(Has({lines[0]}, " Incoming connection from "));
        EXPECT_TRUE(Has({lines[1]}, " Mapping connection from "));
        EXPECT_TRUE(
            Has({lines[2]},
                " Disconnect (incoming). CurrentThreads: 0  MaxThreads: 1  Connects (In): " +
                    std::to_string(n) + "  Disconnects (In): " + std::to_string(n) +
                    "  Connects (Out): " + std::to_string(n)));
        Log.Clear();
    }
}

TEST_F(ConnectPhaseTest, BytesSentBeforeLeavingStillReachTheTargetOnceItAnswers)
{
    TSilentTarget target;
    StartMapping(target.Port());
    TFd client = ConnectTo(ListenPort());
    ASSERT_TRUE(WaitUntil([&] { return Log.Count() == 2; }));
    ASSERT_TRUE(SendAll(client.Get(), "last words"));
    client = TFd();
    std::string got;
    RunServing([&] { got = target.AcceptAndRead(10); });
    EXPECT_EQ(got, "last words");
    ASSERT_TRUE(WaitForDisconnects(1));
    EXPECT_FALSE(Has(Log.Lines(), " Error: "));
}

// A stop closes the client's socket while its peer thread waits for the main thread to take
// the "Incoming connection" line; the thread then goes on with a closed socket.
TEST_F(ConnectPhaseTest, AStopWhileTheFirstLineWaitsKeepsLinesAndCountsWhole)
{
    TBackend backend;
    StartMapping(backend.Port());
    TFd client = ConnectTo(ListenPort());
    const auto deadline = Clock::now() + kDeadline;
    while (Map.ConnectsIn.load() == 0 && Clock::now() < deadline)  // not serving the line
        ::poll(nullptr, 0, 1);
    Map.SetActive(false);
    ASSERT_TRUE(WaitForDisconnects(1));
    // The error line is the thread's last act, after the count of the disconnect; the stop's
    // wait for the peer threads is bounded, so on a loaded machine the thread may still be on
    // its way to it.
    ASSERT_TRUE(WaitUntil([&] { return Log.Count() >= 4; })) << Log.Count();
    const Lines lines = Log.Normalised();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(Has({lines[0]}, " Incoming connection from "));
    EXPECT_TRUE(Has({lines[1]}, " Mapping connection from "));
    EXPECT_TRUE(Has({lines[2]}, " Disconnect (incoming). "));
    // Stopped before its connect, the connection ends as one stopped during it.
    EXPECT_EQ(lines[3],
              "## T Channel 1; Error: Socket Error # 10053 - Software caused connection abort.");
    EXPECT_EQ(Map.ConnectsOut.load(), Map.ConnectsIn.load());
}

}  // namespace
}  // namespace enginetest
