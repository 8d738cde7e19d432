// Restarts while connections end by error, in one process: two channels are stopped and
// started again 200 times, their OnLog set anew at every start as the window does, while
// clients keep connecting through one to a target that refuses and through the other to a
// target that resets. Peer threads of an earlier start write their error lines on their own
// threads after they have left the server's books, at the moment the main thread sets the
// next receiver; ThreadSanitizer sees any unguarded access there. Every line must reach a
// receiver that is still alive, and nothing may be left over.
#include "IdSync.h"
#include "qv_IdMappedPortTCP.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRestarts = 200;

int CountEntries(const char* ADir)
{
    int n = 0;
    if (DIR* d = opendir(ADir)) {
        while (dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

sockaddr_in Loopback(int APort)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(APort));
    return a;
}

// A loopback socket bound to a system-chosen port; it listens when asked to.
struct BoundSocket {
    explicit BoundSocket(bool AListen)
    {
        sockaddr_in a = Loopback(0);
        socklen_t len = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        if (AListen)
            ::listen(fd, 128);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~BoundSocket() { ::close(fd); }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port = 0;
};

// Accepts every connection and resets it at once.
class ResettingTarget {
public:
    ResettingTarget() : FAcceptor([this] { Run(); }) {}
    ~ResettingTarget()
    {
        FStop = true;
        ::shutdown(FListener.fd, SHUT_RDWR);
        FAcceptor.join();
    }
    int Port() const { return FListener.port; }

private:
    void Run()
    {
        while (!FStop) {
            const int fd = ::accept4(FListener.fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            linger l{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            ::close(fd);
        }
    }

    BoundSocket FListener{true};
    std::atomic<bool> FStop{false};
    std::thread FAcceptor;
};

// Connects to APort again and again until AStop, sends a byte and waits (bounded) for the end.
void Client(int APort, const std::atomic<bool>& AStop)
{
    const auto deadline = Clock::now() + std::chrono::seconds(240);
    for (int i = 0; i < 100000 && !AStop && Clock::now() < deadline; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = Loopback(APort);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
            ::send(fd, "x", 1, MSG_NOSIGNAL);
            pollfd p{fd, POLLIN, 0};
            char buf[64];
            while (::poll(&p, 1, 5000) == 1 && ::recv(fd, buf, sizeof buf, 0) > 0) {
            }
        } else {
            ::poll(nullptr, 0, 1);   // between a stop and the next start: nobody listens
        }
        ::close(fd);
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
    AMap.Bindings().Clear();
    AMap.SetDefaultPort(APort);
    AMap.Bindings().Add()->SetIP("127.0.0.1");
    AMap.SetMappedHost("127.0.0.1");
    AMap.SetMappedPort(ATarget);
    auto receiver = std::make_shared<Receiver>(ALines);
    AReceivers.push_back(receiver);
    AMap.OnLog = [receiver](const std::string&) { receiver->Total.fetch_add(1); };
    AMap.SetActive(true);
    APort = AMap.Bindings().Items(0)->Port();
}

} // namespace

TEST(Restart, TwoHundredRestartsWhileConnectionsEndByError)
{
    std::thread([] {}).join();   // the sanitizer's helper thread starts with the first thread
    const int fdsBefore = CountEntries("/proc/self/fd");
    const int threadsBefore = CountEntries("/proc/self/task");
    std::vector<std::weak_ptr<Receiver>> receivers;
    std::atomic<long> lines{0};
    long connections = 0;
    {
        BoundSocket refusing(false);
        ResettingTarget resetting;
        TqvMappedPortTCP refused, reset;
        int ports[2] = {0, 0};
        for (TqvMappedPortTCP* map : {&refused, &reset}) {
            map->ChannelName = "Channel 1;";
            map->SetTerminateWaitTime(25);   // peers outlive their stop, as at any restart
            map->Logging = true;
            map->LogConnInfo = true;
        }
        Restart(refused, ports[0], refusing.port, lines, receivers);
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
                return refused.ConnectsIn.load() + reset.ConnectsIn.load() >= seen + 2 || Clock::now() > until;
            });
            Restart(refused, ports[0], refusing.port, lines, receivers);
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
    const auto back = Clock::now() + std::chrono::seconds(5);
    while ((CountEntries("/proc/self/fd") > fdsBefore || CountEntries("/proc/self/task") > threadsBefore) &&
           Clock::now() < back)
        ::poll(nullptr, 0, 5);
    EXPECT_LE(CountEntries("/proc/self/fd"), fdsBefore);
    EXPECT_LE(CountEntries("/proc/self/task"), threadsBefore);
}
