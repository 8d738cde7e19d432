// Descriptor limits: sockets numbered above 1023, and a listener that runs out of descriptors.
#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <vector>

#include "net/IdException.h"
#include "net/IdPeerThread.h"
#include "net/IdTCPClient.h"
#include "net/IdTCPServer.h"
#include "support/Loopback.h"
#include "support/ServingWaits.h"

using namespace testkit;

namespace {

void Echo(TIdPeerThread* AThread)
{
    TIdTCPServerConnection& c = *AThread->Connection();
    c.Write(c.ReadAvailable());
}

// Placeholder descriptors that push every new socket above a mark; closed on destruction.
class FdFiller {
public:
    explicit FdFiller(int AAbove)
    {
        int fd;
        while ((fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0) {
            FFds.push_back(fd);
            if (fd >= AAbove)
                break;
        }
    }
    ~FdFiller()
    {
        for (int fd : FFds)
            ::close(fd);
    }
    int Highest() const { return FFds.empty() ? -1 : FFds.back(); }

private:
    std::vector<int> FFds;
};

}  // namespace

TEST(Limits, SocketsAboveDescriptor1023)
{
    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_max < 1200)
        GTEST_SKIP() << "hard descriptor limit below 1200";
    if (lim.rlim_cur < 1200) {
        lim.rlim_cur = lim.rlim_max < 4096 ? lim.rlim_max : 4096;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
    }
    FdFiller filler(1030);
    ASSERT_GE(filler.Highest(), 1030);

    std::atomic<int> serverSideFd{-1};
    TIdTCPServer server;
    server.OnConnect = [&](TIdPeerThread* t) {
        serverSideFd = t->Connection()->Binding()->Handle();
    };
    server.OnExecute = Echo;
    server.Bindings().Add()->SetIP("127.0.0.1");
    server.SetActive(true);
    EXPECT_GT(server.Bindings().Items(0)->Handle(), 1023);

    TIdTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(server.Bindings().Items(0)->Port());
    client.Connect();
    EXPECT_GT(client.Binding()->Handle(), 1023);
    const std::string message(50000, 'q');
    client.Write(message);
    std::string echoed;
    while (echoed.size() < message.size() && client.Connected())
        echoed += client.ReadAvailable();
    EXPECT_EQ(echoed, message);
    EXPECT_GT(serverSideFd.load(), 1023);
}

namespace {

// Runs in a child process with a low descriptor limit. Exit codes tell the parent what failed.
[[noreturn]] void ExhaustDescriptorsThenServe()
{
    std::atomic<bool> outOfFds{false};
    TIdTCPServer server;
    server.OnExecute = Echo;
    server.OnAcceptError = [&](int code) { outOfFds = outOfFds || code == 10024; };
    server.Bindings().Add()->SetIP("127.0.0.1");
    server.SetActive(true);
    const int port = server.Bindings().Items(0)->Port();

    // UBSan checks an object's type by probing memory through a pipe, which fails without a
    // free descriptor; meeting the accept failure's exception type once beforehand fills its
    // type cache, so the check is not needed while descriptors are exhausted.
    try {
        throw EIdSocketError(10024);
    } catch (const EIdSocketError&) {}
    const rlimit low{static_cast<rlim_t>(OpenFds() + 40), static_cast<rlim_t>(OpenFds() + 40)};
    if (setrlimit(RLIMIT_NOFILE, &low) != 0)
        _exit(10);
    int spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    // Every client costs one descriptor here and one for the accepted end, until none is left.
    // One at a time, so the accept queue never overflows into SYN retransmissions.
    std::vector<TFd> clients;
    for (int i = 0; i < 100; ++i) {
        TFd c = TryConnect(port);
        if (c.Get() < 0)
            break;
        clients.push_back(std::move(c));
        const std::size_t n = clients.size();
        if (!WaitUntil([&] { return server.Threads().Count() == n || outOfFds; }))
            _exit(15);
    }
    // One more client takes the last descriptor, so the listener cannot accept it.
    ::close(spare);
    TFd last = TryConnect(port);
    if (last.Get() < 0)
        _exit(11);
    if (!WaitUntil([&] { return outOfFds.load(); }))
        _exit(12);

    clients.clear();
    last.Reset();
    TFd fresh = TryConnect(port);
    if (fresh.Get() < 0 || !SendAll(fresh.Get(), "still serving"))
        _exit(13);
    if (RecvAtMost(fresh.Get(), 13) != "still serving")
        _exit(14);
    _exit(0);
}

}  // namespace

TEST(Limits, ListenerSurvivesRunningOutOfDescriptors)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ExhaustDescriptorsThenServe(), testing::ExitedWithCode(0), "");
}
