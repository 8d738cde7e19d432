// Network conditions through a real mapping server on loopback: lower bounds on time, exact
// byte counts, order and reproducibility (never an upper bound that load could break, beyond
// generous ones).
#include "MappingFixture.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace enginetest {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;
using std::chrono::milliseconds;

class ConditionsTest : public MappingTest {
protected:
    void SetConditions(const std::function<void(TConditionValues&)>& AChange)
    {
        TConditionValues v = Map.Conditions().Get();
        AChange(v);
        Map.Conditions().Set(v);
    }
    bool LogHas(const std::string& ALine)
    {
        const auto lines = Log.Normalised();
        return std::find(lines.begin(), lines.end(), ALine) != lines.end();
    }
    milliseconds RoundTrip(TFd& AFd, char AByte)
    {
        const auto start = Clock::now();
        EXPECT_TRUE(SendAll(AFd.Get(), std::string(1, AByte)));
        EXPECT_EQ(RecvAtMost(AFd.Get(), 1, start + kDeadline), Transformed(std::string(1, AByte)));
        return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    }

    TBackend Echo;
};

TEST_F(ConditionsTest, LatencyOfEachDirectionAddsToEveryRoundTripAndFollowsChanges)
{
    StartMapping(Echo.Port());
    TFd fd = ConnectTo(ListenPort());
    RoundTrip(fd, '0');
    // Unwatched, the connection rides the relay pool; conditions bring it back to a thread.
    ASSERT_TRUE(WaitUntil([&] { return Map.PooledConnections() == 1; }));
    SetConditions([](TConditionValues& v) { v.Latency = {40, 10}; });
    EXPECT_TRUE(Map.RelayWatched());
    for (char c = 'a'; c < 'k'; ++c)
        EXPECT_GE(RoundTrip(fd, c), milliseconds(50));
    EXPECT_EQ(Map.PooledConnections(), 0);
    // A change applies to the running connection's next pieces, in both ways.
    SetConditions([](TConditionValues& v) { v.Latency = {40, 200}; });
    EXPECT_GE(RoundTrip(fd, 'x'), milliseconds(240));
    SetConditions([](TConditionValues& v) { v = TConditionValues{}; });
    EXPECT_FALSE(Map.Conditions().Active());
    RoundTrip(fd, 'y');
}

TEST_F(ConditionsTest, JitterKeepsTheOrderOfSixteenMebibytesWithDumpAndSpeedLimit)
{
    SetConditions([](TConditionValues& v) {
        v.Latency = {5, 5};
        v.Jitter = {20, 20};
    });
    Map.LogDataMode = 1;
    Map.Logging = true;
    Map.LogConnInfo = true;
    Map.MaxSpeedCS = 32 * 1024 * 1024;
    Map.MaxSpeedSC = 32 * 1024 * 1024;
    StartMapping(Echo.Port());
    const std::string payload = RandomBytes(16 * kMiB, 99);
    std::string back;
    RunServing([&] { back = Exchange(ListenPort(), payload); });
    ASSERT_EQ(back.size(), payload.size());
    EXPECT_EQ(Digest(back), Digest(Transformed(payload)));
    ASSERT_TRUE(WaitForDisconnects(1));
    // The dump saw every byte as it was read.
    EXPECT_EQ(Map.BytesCS.load(), static_cast<std::int64_t>(payload.size()));
    EXPECT_EQ(Log.LengthSum(" DATA (Server -> Client):"),
              static_cast<std::int64_t>(payload.size()));
}

TEST_F(ConditionsTest, ResetAfterGivesTheClientExactlyTheBudgetThenAReset)
{
    const std::string download = RandomBytes(kMiB, 5);
    TBackend source(TBackend::TMode::SendAndClose, download);
    SetConditions([](TConditionValues& v) { v.ResetAfter = {0, 100000}; });
    Map.Logging = true;
    Map.LogConnInfo = true;
    StartMapping(source.Port());
    TFd fd = ConnectTo(ListenPort());
    TEnding end;
    RunServing([&] { end = ReadToEnd(fd.Get(), Clock::now() + kDeadline); });
    EXPECT_EQ(end.Bytes, download.substr(0, 100000));
    EXPECT_EQ(end.Error, ECONNRESET);
    ASSERT_TRUE(WaitForDisconnects(1));
    EXPECT_TRUE(
        LogHas("## T Channel 1; (TID= N)  Condition: reset after 100000 bytes "
               "(Server -> Client)."));
}

TEST_F(ConditionsTest, ResetAfterOnTheUploadGivesTheServerExactlyTheBudget)
{
    TBackend sink(TBackend::TMode::Hold);
    SetConditions([](TConditionValues& v) { v.ResetAfter = {100000, 0}; });
    StartMapping(sink.Port());
    TFd fd = ConnectTo(ListenPort());
    const std::string upload = RandomBytes(kMiB, 6);
    SendAll(fd.Get(), upload);  // fails once the reset arrives
    ASSERT_TRUE(WaitForDisconnects(1));
    ASSERT_TRUE(WaitUntil([&] { return sink.Received().size() >= 100000; }));
    EXPECT_EQ(sink.Received(), upload.substr(0, 100000));
}

TEST_F(ConditionsTest, StallAfterStopsOneDirectionAtTheBudgetWhileTheOtherRelays)
{
    SetConditions([](TConditionValues& v) { v.StallAfter = {0, 100000}; });
    Map.Logging = true;
    Map.LogConnInfo = true;
    StartMapping(Echo.Port());
    TFd fd = ConnectTo(ListenPort());
    const std::string first = RandomBytes(150000, 7), second = RandomBytes(50000, 8);
    RunServing([&] {
        SendAll(fd.Get(), first);
        EXPECT_EQ(RecvAtMost(fd.Get(), 100000, Clock::now() + kDeadline),
                  Transformed(first.substr(0, 100000)));
        EXPECT_EQ(RecvAtMost(fd.Get(), 1, Clock::now() + milliseconds(300)), "");
        SendAll(fd.Get(), second);
    });
    ASSERT_TRUE(WaitUntil([&] { return Echo.Received().size() >= 200000; }));
    EXPECT_EQ(Echo.Received(), first + second);
    EXPECT_EQ(RecvAtMost(fd.Get(), 1, Clock::now() + milliseconds(300)), "");
    EXPECT_TRUE(
        LogHas("## T Channel 1; (TID= N)  Condition: stall after 100000 bytes "
               "(Server -> Client)."));
}

// Which of ACount connections, opened one after the other, were hit by ResetAfterSC=1.
std::vector<bool> HitConnections(int APort, int ACount)
{
    std::vector<bool> hits;
    for (int i = 0; i < ACount; ++i) {
        TFd fd = ConnectTo(APort);
        SendAll(fd.Get(), "ab");
        const TEnding end = ReadToEnd(fd.Get(), Clock::now() + kDeadline, 2);
        hits.push_back(end.Error == ECONNRESET && end.Bytes.size() == 1);
        EXPECT_TRUE(hits.back() || end.Bytes == Transformed("ab")) << "connection " << i;
        if (::testing::Test::HasFailure())
            break;
    }
    return hits;
}

TEST_F(ConditionsTest, ChanceWithASeedHitsTheSameConnectionsAtEveryStart)
{
    SetConditions([](TConditionValues& v) {
        v.ResetAfter = {0, 1};
        v.Chance = 30;
        v.Seed = 20240611;
    });
    StartMapping(Echo.Port());
    constexpr int kConnections = 500;
    const std::vector<bool> first = HitConnections(ListenPort(), kConnections);
    ASSERT_TRUE(WaitForDisconnects(kConnections));
    Map.SetActive(false);
    Map.SetActive(true);
    const std::vector<bool> second = HitConnections(Map.Bindings().Items(0)->Port(), kConnections);
    EXPECT_EQ(first, second);
    const auto hit = std::count(first.begin(), first.end(), true);
    EXPECT_GE(hit, kConnections * 20 / 100);
    EXPECT_LE(hit, kConnections * 40 / 100);
}

TEST_F(ConditionsTest, StopEndsHeldPiecesAndStalledConnectionsAtOnce)
{
    SetConditions([](TConditionValues& v) {
        v.Latency = {0, 60000};
        v.StallAfter = {2, 0};
    });
    StartMapping(Echo.Port());
    TFd held = ConnectTo(ListenPort()), stalled = ConnectTo(ListenPort());
    SendAll(held.Get(), "a");
    ASSERT_TRUE(WaitUntil([&] { return Echo.Received().size() == 1; }));
    SendAll(stalled.Get(), "xyz");
    ASSERT_TRUE(WaitUntil([&] { return Echo.Received().size() == 3; }));
    const auto start = Clock::now();
    Map.SetActive(false);
    // Nothing waits for the minute of hold: both connections end without their bytes.
    EXPECT_TRUE(WaitUntil([&] { return Map.Threads().Count() == 0; }, std::chrono::seconds(10)));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    for (TFd* fd : {&held, &stalled}) {
        const TEnding end = ReadToEnd(fd->Get(), Clock::now() + std::chrono::seconds(5));
        EXPECT_EQ(end.Bytes, "");
        EXPECT_EQ(end.Error, 0);
    }
}

}  // namespace
}  // namespace enginetest
