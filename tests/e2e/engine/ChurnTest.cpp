// Churn in one process: eight client threads run tagged echo cycles (a new connection each)
// through one mapping server while the main thread activates and deactivates a second server
// every 50 ms and reads both servers' counters at 100 Hz. A descriptor or buffer that one
// connection hands to another shows up as a byte with a foreign tag; a lost wake-up or a
// missing close shows up as a cycle that does not end, as counters that do not add up, or as
// descriptors and threads left over. Run also under ThreadSanitizer and AddressSanitizer.
#include "EchoTarget.h"
#include "IdSync.h"
#include "qv_IdMappedPortTCP.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kCycles = 300;      // the sanitizers make each cycle ten times dearer
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr int kCycles = 300;
#else
constexpr int kCycles = 2000;
#endif
#else
constexpr int kCycles = 2000;
#endif
constexpr int kClients = 8;
constexpr int kMessage = 96;

int CountEntries(const char* ADir)
{
    int n = 0;
    if (DIR* d = opendir(ADir)) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        closedir(d);
    }
    return n;
}

// A file descriptor closed on scope exit.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() { if (fd >= 0) ::close(fd); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

int ConnectTo(int APort)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(APort));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    timeval tv{10, 0};   // a cycle that hangs fails instead of blocking the test
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return fd;
}

std::string Tagged(int AClient, int ACycle)
{
    char tag[32];   // room for any two ints, so the format never truncates
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
        Fd s(ConnectTo(APort));
        if (s.fd < 0) {
            AFaults.Add("connect failed: " + std::string(std::strerror(errno)));
            return;
        }
        const std::string message = Tagged(AClient, cycle);
        if (::send(s.fd, message.data(), message.size(), MSG_NOSIGNAL) != ssize_t(message.size())) {
            AFaults.Add("send failed: " + std::string(std::strerror(errno)));
            return;
        }
        std::string echoed;
        char buf[512];
        while (echoed.size() < message.size()) {
            const ssize_t n = ::recv(s.fd, buf, sizeof buf, 0);
            if (n <= 0) {
                AFaults.Add("cycle " + std::to_string(cycle) + " of client " +
                            std::to_string(AClient) + " ended early: " +
                            (n == 0 ? std::string("closed") : std::strerror(errno)));
                return;
            }
            echoed.append(buf, size_t(n));
        }
        if (echoed != message) {
            AFaults.Add("client " + std::to_string(AClient) + " got foreign bytes: " + echoed);
            return;
        }
        ADone.fetch_add(1);
    }
}

void Configure(TqvMappedPortTCP& AMap, int ATargetPort, std::atomic<long>& ALines)
{
    AMap.SetTerminateWaitTime(500);
    AMap.Bindings().Clear();
    AMap.SetDefaultPort(0);
    AMap.Bindings().Add()->SetIP("127.0.0.1");
    AMap.SetMappedHost("127.0.0.1");
    AMap.SetMappedPort(ATargetPort);
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

} // namespace

TEST(Churn, TaggedEchoCyclesWhileASecondServerComesAndGoes)
{
    // The sanitizer runtimes start a helper thread with the first thread of the process: let
    // that happen before the count is taken.
    std::thread([] {}).join();
    const int fdsBefore = CountEntries("/proc/self/fd");
    const int threadsBefore = CountEntries("/proc/self/task");
    std::atomic<long> lines{0};
    Faults faults;
    std::atomic<int> done{0};
    {
        EchoTarget target;
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
        const auto deadline = Clock::now() + std::chrono::seconds(240);
        auto nextFlap = Clock::now(), nextRead = Clock::now();
        int flaps = 0;
        while (clientsLeft > 0 && Clock::now() < deadline) {
            ServeWhileWaiting([&] {
                const auto now = Clock::now();
                return clientsLeft == 0 || now >= nextRead || now >= nextFlap || now >= deadline;
            });
            const auto now = Clock::now();
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
                    Fd probe(ConnectTo(flapping.Bindings().Items(0)->Port()));
                    if (probe.fd >= 0)
                        ::send(probe.fd, "flap", 4, MSG_NOSIGNAL);
                }
                ++flaps;
                nextFlap = now + std::chrono::milliseconds(50);
            }
        }
        ticking = false;
        ticker.join();
        joiner.join();
        flapping.SetActive(false);
        EXPECT_GT(flaps, 4);

        // Every connection of the steady server ends in its counters.
        const int total = kClients * kCycles;
        const auto settle = Clock::now() + std::chrono::seconds(30);
        while (steady.DisconnectsIn.load() < done.load() && Clock::now() < settle) {
            ServePending();
            pollfd none{};
            ::poll(&none, 0, 1);   // bounded by the settle deadline; peers hand over lines
        }
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
    const auto back = Clock::now() + std::chrono::seconds(5);
    while ((CountEntries("/proc/self/fd") > fdsBefore ||
            CountEntries("/proc/self/task") > threadsBefore) && Clock::now() < back) {
        ServePending();
        pollfd none{};
        ::poll(&none, 0, 5);
    }
    EXPECT_LE(CountEntries("/proc/self/fd"), fdsBefore);
    EXPECT_LE(CountEntries("/proc/self/task"), threadsBefore);
}
