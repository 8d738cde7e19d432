// Churn in one process: eight client threads run tagged echo cycles (a new connection each)
// through one mapping server while the main thread activates and deactivates a second server
// every 50 ms and reads both servers' counters at 100 Hz. A descriptor or buffer that one
// connection hands to another shows up as a byte with a foreign tag; a lost wake-up or a
// missing close shows up as a cycle that does not end, as counters that do not add up, or as
// descriptors and threads left over. Run also under ThreadSanitizer and AddressSanitizer.
#include "support/Backend.h"
#include "net/IdSync.h"
#include "support/LoopbackMapping.h"
#include "support/ServingWaits.h"
#include "engine/qv_IdMappedPortTCP.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace testkit;

namespace {

// The sanitizers make each cycle ten times dearer and more: 300 cycles a client took four
// minutes under ThreadSanitizer on two loaded cores.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kCycles = 150;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr int kCycles = 150;
#else
constexpr int kCycles = 2000;
#endif
#else
constexpr int kCycles = 2000;
#endif
constexpr int kClients = 8;
constexpr int kMessage = 96;

std::string Tagged(int AClient, int ACycle)
{
    char tag[32];  // room for any two ints, so the format never truncates
    std::snprintf(tag, sizeof tag, "<%02d:%06d>", AClient, ACycle);
    std::string text;
    while (text.size() < kMessage)
        text += tag;
    text.resize(kMessage);
    return text;
}

// Everything a client saw go wrong; the test prints the first few.
struct Faults {
    std::mutex lock;
    std::vector<std::string> list;
    void Add(std::string AText)
    {
        std::lock_guard g(lock);
        if (list.size() < 20)
            list.push_back(std::move(AText));
    }
};

void RunClient(int AClient, int APort, Faults& AFaults, std::atomic<int>& ADone)
{
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        const TFd s = TryConnect(APort);
        if (s.Get() < 0) {
            AFaults.Add("connect failed: " + std::string(std::strerror(errno)));
            return;
        }
        const std::string message = Tagged(AClient, cycle);
        if (!SendAll(s.Get(), message)) {
            AFaults.Add("send failed: " + std::string(std::strerror(errno)));
            return;
        }
        // A cycle that hangs fails instead of blocking the test.
        const TEnding echoed =
            ReadToEnd(s.Get(), Clock::now() + std::chrono::seconds(10), message.size());
        if (echoed.Bytes.size() < message.size()) {
            AFaults.Add("cycle " + std::to_string(cycle) + " of client " + std::to_string(AClient) +
                        " ended early: " +
                        (echoed.Error == 0 ? std::string("closed") : std::strerror(echoed.Error)));
            return;
        }
        if (echoed.Bytes != message) {
            AFaults.Add("client " + std::to_string(AClient) +
                        " got foreign bytes: " + echoed.Bytes);
            return;
        }
        ADone.fetch_add(1);
    }
}

void Configure(TqvMappedPortTCP& AMap, int ATargetPort, std::atomic<long>& ALines)
{
    AMap.SetTerminateWaitTime(500);
    MapOnLoopback(AMap, ATargetPort);
    AMap.ChannelName = "Channel 1;";
    AMap.OnLog = [&ALines](const std::string&) { ALines.fetch_add(1); };
    AMap.Logging = true;
    AMap.LogConnInfo = true;
    AMap.LogDataMode = 1;
}

void ReadCounters(TqvMappedPortTCP& AMap)
{
    std::int32_t current = 0, disconnects = 0;
    std::int64_t cs = 0, sc = 0;
    AMap.GetCounters(current, disconnects, cs, sc);
    (void)AMap.GetStatistics();
}

}  // namespace

TEST(Churn, TaggedEchoCyclesWhileASecondServerComesAndGoes)
{
    // The sanitizer runtimes start a helper thread with the first thread of the process: let
    // that happen before the count is taken.
    std::thread([] {}).join();
    const int fdsBefore = OpenFds();
    const int threadsBefore = LiveThreads();
    std::atomic<long> lines{0};
    Faults faults;
    std::atomic<int> done{0};
    {
        TBackend target(TBackend::TMode::Echo);
        TqvMappedPortTCP steady, flapping;
        Configure(steady, target.Port(), lines);
        Configure(flapping, target.Port(), lines);
        steady.SetActive(true);
        const int port = steady.Bindings().Items(0)->Port();

        std::vector<std::thread> clients;
        for (int c = 0; c < kClients; ++c)
            clients.emplace_back(RunClient, c, port, std::ref(faults), std::ref(done));
        std::atomic<int> clientsLeft{kClients};
        std::thread joiner([&] {
            for (auto& t : clients)
                t.join();
            clientsLeft = 0;
            WakeMainThread();
        });

        // The main thread: serves the peers' log hand-overs, flaps the second server every
        // 50 ms (a short client of its own each time it is up) and reads counters at 100 Hz.
        // A ticker wakes it for the timed steps; the hand-overs wake it by themselves.
        std::atomic<bool> ticking{true};
        std::thread ticker([&] {
            while (ticking) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                WakeMainThread();
            }
        });
        // No fixed end, which a slow run would reach with its clients still going: the run
        // is stuck when no cycle has ended for a minute (each cycle gives up after 10 s).
        constexpr auto kStall = std::chrono::seconds(60);
        auto deadline = Clock::now() + kStall;
        int doneSeen = 0;
        auto nextFlap = Clock::now(), nextRead = Clock::now();
        int flaps = 0;
        while (clientsLeft > 0 && Clock::now() < deadline) {
            ServeWhileWaiting([&] {
                const auto now = Clock::now();
                return clientsLeft == 0 || now >= nextRead || now >= nextFlap || now >= deadline;
            });
            const auto now = Clock::now();
            if (done.load() != doneSeen) {
                doneSeen = done.load();
                deadline = now + kStall;
            }
            if (now >= nextRead) {
                ReadCounters(steady);
                ReadCounters(flapping);
                nextRead = now + std::chrono::milliseconds(10);
            }
            if (now >= nextFlap) {
                const bool up = !flapping.Active();
                if (!up)
                    flapping.SetActive(false);
                else {
                    flapping.Bindings().Clear();
                    flapping.Bindings().Add()->SetIP("127.0.0.1");
                    flapping.SetActive(true);
                    // A connection that the next deactivation cuts while it may still relay.
                    const TFd probe = TryConnect(flapping.Bindings().Items(0)->Port());
                    SendAll(probe.Get(), "flap");
                }
                ++flaps;
                nextFlap = now + std::chrono::milliseconds(50);
            }
        }
        ticking = false;
        ticker.join();
        // Clients still under way need the main thread for their log lines until they end.
        ServeWhileWaiting([&] { return clientsLeft == 0; });
        joiner.join();
        flapping.SetActive(false);
        EXPECT_GT(flaps, 4);

        // Every connection of the steady server ends in its counters.
        const int total = kClients * kCycles;
        WaitUntil([&] { return steady.DisconnectsIn.load() >= done.load(); },
                  std::chrono::seconds(30));
        EXPECT_EQ(done.load(), total);
        EXPECT_EQ(steady.ConnectsIn.load(), done.load());
        EXPECT_EQ(steady.ConnectsOut.load(), steady.ConnectsIn.load());
        EXPECT_EQ(steady.DisconnectsIn.load() + steady.CurrentThreads.load(),
                  steady.ConnectsIn.load());
        EXPECT_EQ(steady.BytesCS.load(), std::int64_t(done.load()) * kMessage);
        EXPECT_EQ(steady.BytesSC.load(), std::int64_t(done.load()) * kMessage);
        steady.SetActive(false);
        target.Stop();
    }
    {
        std::lock_guard g(faults.lock);
        for (const auto& f : faults.list)
            ADD_FAILURE() << f;
    }
    EXPECT_GT(lines.load(), 0);
    // Descriptors and threads back to where they were (the servers' threads end on their own
    // after their destruction, so give them a bounded moment).
    EXPECT_TRUE(WaitUntil([&] { return OpenFds() <= fdsBefore && LiveThreads() <= threadsBefore; },
                          std::chrono::seconds(5)))
        << OpenFds() << " descriptors (" << fdsBefore << " before), " << LiveThreads()
        << " threads (" << threadsBefore << " before)";
}
