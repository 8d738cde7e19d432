// Restarts while connections end by error, in one process: two channels are stopped and
// started again 200 times, their OnLog set anew at every start as the window does, while
// clients keep connecting through one to a target that refuses and through the other to a
// target that resets. Peer threads of an earlier start write their error lines on their own
// threads after they have left the server's books, at the moment the main thread sets the
// next receiver; ThreadSanitizer sees any unguarded access there. Every line must reach a
// receiver that is still alive, and nothing may be left over.
#include "support/Backend.h"
#include "net/IdSync.h"
#include "support/LoopbackMapping.h"
#include "support/ServingWaits.h"
#include "engine/qv_IdMappedPortTCP.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using namespace testkit;

namespace {

constexpr int kRestarts = 200;

// Connects to APort again and again until AStop, sends a byte and waits (bounded) for the end.
void Client(int APort, const std::atomic<bool>& AStop)
{
    const auto deadline = Clock::now() + std::chrono::seconds(240);
    for (int i = 0; i < 100000 && !AStop && Clock::now() < deadline; ++i) {
        TFd fd = TryConnect(APort);
        if (fd.Get() >= 0) {
            SendAll(fd.Get(), "x");
            WaitForClose(fd.Get(), Clock::now() + std::chrono::seconds(5));
        } else {
            ::poll(nullptr, 0, 1);  // between a stop and the next start: nobody listens
        }
    }
}

// One start's receiver of lines; kept alive by the callback, as the window's router is.
struct Receiver {
    explicit Receiver(std::atomic<long>& ATotal) : Total(ATotal) {}
    std::atomic<long>& Total;
};

// Stops and starts AMap on APort (0 the first time: the system picks, read back after).
void Restart(TqvMappedPortTCP& AMap, int& APort, int ATarget, std::atomic<long>& ALines,
             std::vector<std::weak_ptr<Receiver>>& AReceivers)
{
    AMap.SetActive(false);
    MapOnLoopback(AMap, ATarget, APort);
    auto receiver = std::make_shared<Receiver>(ALines);
    AReceivers.push_back(receiver);
    AMap.OnLog = [receiver](const std::string&) { receiver->Total.fetch_add(1); };
    AMap.SetActive(true);
    APort = AMap.Bindings().Items(0)->Port();
}

}  // namespace

TEST(Restart, TwoHundredRestartsWhileConnectionsEndByError)
{
    std::thread([] {}).join();  // the sanitizer's helper thread starts with the first thread
    const int refusing = FreePort();  // held until the process ends: taken before the count
    const int fdsBefore = OpenFds();
    const int threadsBefore = LiveThreads();
    std::vector<std::weak_ptr<Receiver>> receivers;
    std::atomic<long> lines{0};
    long connections = 0;
    {
        TBackend resetting(TBackend::TMode::Reset);
        TqvMappedPortTCP refused, reset;
        int ports[2] = {0, 0};
        for (TqvMappedPortTCP* map : {&refused, &reset}) {
            map->ChannelName = "Channel 1;";
            map->SetTerminateWaitTime(25);  // peers outlive their stop, as at any restart
            map->Logging = true;
            map->LogConnInfo = true;
        }
        Restart(refused, ports[0], refusing, lines, receivers);
        Restart(reset, ports[1], resetting.Port(), lines, receivers);
        std::atomic<bool> stop{false};
        std::thread clients[2] = {std::thread(Client, ports[0], std::cref(stop)),
                                  std::thread(Client, ports[1], std::cref(stop))};
        std::atomic<bool> ticking{true};
        std::thread ticker([&] {
            while (ticking) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                WakeMainThread();
            }
        });
        for (int i = 0; i < kRestarts; ++i) {
            // Let a few connections start under this activation, serving their lines.
            const int seen = refused.ConnectsIn.load() + reset.ConnectsIn.load();
            const auto until = Clock::now() + std::chrono::milliseconds(20);
            ServeWhileWaiting([&] {
                return refused.ConnectsIn.load() + reset.ConnectsIn.load() >= seen + 2 ||
                    Clock::now() > until;
            });
            Restart(refused, ports[0], refusing, lines, receivers);
            Restart(reset, ports[1], resetting.Port(), lines, receivers);
        }
        stop = true;
        std::thread joiner([&] {
            for (auto& c : clients)
                c.join();
            ticking = false;
        });
        ServeWhileWaiting([&] { return !ticking.load(); });
        joiner.join();
        ticker.join();
        refused.Shutdown();
        reset.Shutdown();
        EXPECT_GT(refused.ConnectsIn.load(), kRestarts / 2);
        EXPECT_GT(reset.ConnectsIn.load(), kRestarts / 2);
        for (TqvMappedPortTCP* map : {&refused, &reset}) {
            EXPECT_EQ(map->ConnectsOut.load(), map->ConnectsIn.load());
            EXPECT_EQ(map->DisconnectsIn.load(), map->ConnectsIn.load());
            connections += map->ConnectsIn.load();
        }
    }
    // At least Incoming, Mapping and Disconnect of every connection, whenever it ended.
    EXPECT_GE(lines.load(), 3 * connections);
    for (const auto& r : receivers)
        EXPECT_TRUE(r.expired());
    EXPECT_TRUE(WaitUntil([&] { return OpenFds() <= fdsBefore && LiveThreads() <= threadsBefore; },
                          std::chrono::seconds(5)))
        << OpenFds() << " descriptors (" << fdsBefore << " before), " << LiveThreads()
        << " threads (" << threadsBefore << " before)";
}
