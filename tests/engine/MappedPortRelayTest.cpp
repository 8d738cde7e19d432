// Relay correctness, traffic shaping and live settings of the mapping servers on loopback.
#include "MappingFixture.h"

#include "net/IdSync.h"
#include "net/IdPeerThread.h"
#include "net/IdTCPServerConnection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <random>
#include <thread>
#include <tuple>

namespace enginetest {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;
constexpr std::int32_t kHighLimit = 32 * 1024 * 1024;  // about 1 ms of pause per full read
// The largest payload of one connection. The sanitizers make every byte about ten times
// dearer and the dump modes write each byte as text: at 16 MiB a sanitized run on two loaded
// cores went past the two minutes a test may take, and more volume finds them no more races.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kLargest = 4 * kMiB;
#else
constexpr std::size_t kLargest = 16 * kMiB;
#endif

// Dump mode and speed limit of one run.
class RelayTest : public MappingTest, public ::testing::WithParamInterface<std::tuple<int, int>> {
protected:
    void SetUp() override
    {
        Map.LogDataMode = std::get<0>(GetParam());
        Map.MaxSpeedCS = std::get<1>(GetParam());
        Map.MaxSpeedSC = std::get<1>(GetParam());
        Map.Logging = true;
        Map.LogConnInfo = true;
        StartMapping(Backend.Port());
    }
    bool Counting() const { return std::get<0>(GetParam()) > 0 || std::get<1>(GetParam()) > 0; }

    TBackend Backend;
};

TEST_P(RelayTest, PayloadsFromNothingToSixteenMegabytesPassUnchanged)
{
    const std::vector<std::size_t> sizes = {0, 1, 32768, 32769, 1 * kMiB + 7, kLargest};
    std::int64_t total = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const std::string payload = RandomBytes(sizes[i], i + 1);
        std::string back;
        RunServing([&] { back = Exchange(ListenPort(), payload); });
        ASSERT_EQ(back.size(), payload.size()) << "size " << sizes[i];
        EXPECT_EQ(Digest(back), Digest(Transformed(payload))) << "size " << sizes[i];
        total += static_cast<std::int64_t>(payload.size());
    }
    ASSERT_TRUE(WaitForDisconnects(static_cast<int>(sizes.size())));
    EXPECT_EQ(Digest(Backend.Received()), Digest([&] {
                  std::string all;
                  for (std::size_t i = 0; i < sizes.size(); ++i)
                      all += RandomBytes(sizes[i], i + 1);
                  return all;
              }()));
    // Every read was counted and, with connection logging, recorded with its length.
    EXPECT_EQ(Map.BytesCS.load(), Counting() ? total : 0);
    EXPECT_EQ(Map.BytesSC.load(), Counting() ? total : 0);
    EXPECT_EQ(Log.LengthSum(" DATA (Client -> Server):"), Counting() ? total : 0);
    EXPECT_EQ(Log.LengthSum(" DATA (Server -> Client):"), Counting() ? total : 0);
    EXPECT_EQ(Map.CurrentTransmittingThreads.load(), 0);
}

TEST_P(RelayTest, FiftyConnectionsAtOnceKeepTheirOwnBytes)
{
    constexpr int kConnections = 50;
    std::vector<std::string> payloads;
    std::mt19937 rng(42);
    for (int i = 0; i < kConnections; ++i)
        payloads.push_back(RandomBytes(rng() % (256 * 1024), 100 + i));
    // The listener's backlog is 5: connect one by one until each is accepted, then relay on
    // all of them at the same time.
    std::vector<TFd> connections;
    for (int i = 0; i < kConnections; ++i) {
        connections.push_back(ConnectTo(ListenPort()));
        ASSERT_TRUE(WaitUntil([&] { return Map.ConnectsOut.load() == i + 1; }));
    }
    EXPECT_EQ(Map.CurrentThreads.load(), kConnections);
    std::vector<std::string> answers;
    RunServing([&] { answers = ExchangeAll(connections, payloads); });
    for (int i = 0; i < kConnections; ++i)
        EXPECT_EQ(Digest(answers[i]), Digest(Transformed(payloads[i]))) << "connection " << i;
    connections.clear();
    ASSERT_TRUE(WaitForDisconnects(kConnections));
    EXPECT_EQ(Map.ConnectsIn.load(), kConnections);
    EXPECT_EQ(Map.MaxThreads.load(), kConnections);
    EXPECT_EQ(Map.CurrentThreads.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(ModesAndLimits, RelayTest,
                         ::testing::Combine(::testing::Values(0, 4, 6),
                                            ::testing::Values(0, kHighLimit)),
                         [](const auto& info) {
                             return "Mode" + std::to_string(std::get<0>(info.param)) +
                                 (std::get<1>(info.param) ? "Limited" : "Unlimited");
                         });

TEST_F(MappingTest, PlainMappedPortRelaysBothWays)
{
    TBackend backend;
    TIdMappedPortTCP plain;
    plain.SetDefaultPort(0);
    plain.Bindings().Add()->SetIP("127.0.0.1");
    plain.SetMappedHost("LOCALHOST");
    plain.SetMappedPort(backend.Port());
    // The client's socket comes from accept with Nagle's algorithm off already.
    std::atomic<int> noDelay{-1};
    plain.OnConnect = [&noDelay](TIdPeerThread* AThread) {
        int value = 0;
        socklen_t size = sizeof value;
        ::getsockopt(AThread->Connection()->Binding()->Handle(), IPPROTO_TCP, TCP_NODELAY, &value,
                     &size);
        noDelay = value;
    };
    plain.SetActive(true);
    const std::string payload = RandomBytes(3 * kMiB, 7);
    EXPECT_EQ(Digest(Exchange(plain.Bindings().Items(0)->Port(), payload)),
              Digest(Transformed(payload)));
    EXPECT_EQ(noDelay.load(), 1);
}

class ShapingTest : public MappingTest {
protected:
    void SetUp() override
    {
        UseFakeClockAndConnectionLines();
        Map.LogDelayInfo = true;
    }
};

TEST_F(ShapingTest, ALimitCutsAReadIntoChunksEachFollowedByItsPause)
{
    TBackend backend(TBackend::TMode::Hold);
    Map.MaxSpeedCS = 1000;
    StartMapping(backend.Port());
    TFd client = ConnectTo(ListenPort());
    ASSERT_TRUE(WaitUntil([&] { return Log.Count() == 2; }));
    ASSERT_TRUE(SendAll(client.Get(), std::string(2500, 'q')));
    ASSERT_TRUE(WaitUntil([&] { return Log.Count() == 9; }));
    // The last chunk's line can come before the backend has read that chunk.
    ASSERT_TRUE(WaitUntil([&] { return backend.Received().size() >= 2500; }));
    EXPECT_EQ(backend.Received(), std::string(2500, 'q'));
    EXPECT_EQ(FakeClock.Sleeps(), (std::vector<std::int32_t>{1000, 1000, 500}));
    const std::string tag = "## T Channel 1; (TID= N) ";
    auto start = [&](int bytes, int pause) {
        return tag + " Delay START: MaxSpeed: 1000, Bytes: " + std::to_string(bytes) +
            ", TimeElapsedMS: 0, MsToDelay: " + std::to_string(pause) +
            ", CurrentTransmittingThreads: 1";
    };
    const std::vector<std::string> lines = Log.Normalised();
    // Mode 0 with a limit: the record is its header line alone.
    EXPECT_EQ(
        std::vector<std::string>(lines.begin() + 2, lines.end()),
        (std::vector<std::string>{tag + " DATA (Client -> Server): Length= 2500\r\n",
                                  start(1000, 1000), tag + " Delay END ", start(1000, 1000),
                                  tag + " Delay END ", start(500, 500), tag + " Delay END "}));
    EXPECT_EQ(Map.BusyBytesCS.load(), 2500);
    EXPECT_EQ(Map.BytesCS.load(), 2500);
}

TEST_F(ShapingTest, NegativeLimitWritesOneChunkWithoutPauseAndAnUnlimitedSideWritesNoDelayLines)
{
    TBackend backend;
    Map.LogDataMode = 3;
    Map.MaxSpeedCS = -1;
    StartMapping(backend.Port());
    TFd client = ConnectTo(ListenPort());
    ASSERT_TRUE(SendAll(client.Get(), std::string("a\x01", 2)));
    std::string answer;
    RunServing([&] { answer = RecvAtMost(client.Get(), 2, Clock::now() + kDeadline); });
    EXPECT_EQ(answer, Transformed(std::string("a\x01", 2)));
    ASSERT_TRUE(WaitUntil([&] { return Log.Count() == 5; }));
    const std::vector<std::string> lines = Log.Normalised();
    EXPECT_EQ(lines[2].substr(lines[2].find("\r\n")), "\r\na.");
    EXPECT_EQ(lines[3],
              "## T Channel 1; (TID= N)  Delay N/N: MaxSpeed: -1, Bytes: 2, "
              "TimeElapsedMS: 0, MsToDelay: 0, CurrentTransmittingThreads: 1");
    EXPECT_EQ(lines[4].rfind("## T Channel 1; (TID= N)  DATA (Server -> Client): Length= 2", 0),
              0u);
    EXPECT_TRUE(FakeClock.Sleeps().empty());
}

TEST_F(MappingTest, StoppingTheServerEndsAPauseAtOnce)
{
    TBackend backend(TBackend::TMode::Hold);
    Map.MaxSpeedCS = 1;  // 1000 bytes at one byte a second: a quarter of an hour of pauses
    StartMapping(backend.Port());
    TFd client = ConnectTo(ListenPort());
    ASSERT_TRUE(SendAll(client.Get(), std::string(1000, 'p')));
    ASSERT_TRUE(WaitUntil([&] { return backend.Received().size() == 1; }));
    Map.SetActive(false);
    // Without the early end the thread would pause for minutes more; the rest of the read it
    // holds may still reach the target meanwhile.
    EXPECT_TRUE(WaitForDisconnects(1));
}

TEST_F(MappingTest, LiveSettingsChangeWhileConnectionsRelay)
{
    TBackend backend;
    StartMapping(backend.Port());
    std::vector<std::string> payloads, answers(8);
    for (int i = 0; i < 8; ++i)
        payloads.push_back(RandomBytes(kMiB + i, 500 + i));
    std::atomic<bool> finished{false};
    std::thread relayed([&] {
        std::vector<std::thread> clients;
        for (int i = 0; i < 8; ++i)
            clients.emplace_back([&, i] { answers[i] = Exchange(ListenPort(), payloads[i]); });
        for (auto& c : clients)
            c.join();
        finished = true;
    });
    // The main thread stands in for the window: it flips every live setting while the relay
    // runs and serves the connections' synchronized calls in between.
    for (int round = 0; !finished; ++round) {
        Map.LogDataMode = round % 10;
        Map.Logging = round % 3 != 0;
        Map.LogConnInfo = round % 2 == 0;
        Map.LogDelayInfo = round % 5 == 0;
        Map.DelayPerThread = round % 7 < 3;
        Map.MaxSpeedCS = round % 4 == 0 ? 0 : (round % 4 == 1 ? -1 : kHighLimit);
        Map.MaxSpeedSC = round % 6 == 0 ? 0 : kHighLimit;
        ServePending();
        std::this_thread::yield();
    }
    relayed.join();
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(Digest(answers[i]), Digest(Transformed(payloads[i])));
    EXPECT_TRUE(WaitForDisconnects(8));
}

}  // namespace
}  // namespace enginetest
