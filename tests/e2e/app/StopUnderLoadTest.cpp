// "St&op" in the real window (offscreen) while 50 idle and 10 streaming connections are open:
// the ports refuse once the stop has run, every connection and listener thread ends, no
// descriptor is left over, and the program then still closes cleanly.
#include "../engine/EchoTarget.h"

#include "pm_config.h"
#include "pm_main.h"
#include "UserPrompts.h"
#include "qv_IdMappedPortTCP.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <dirent.h>
#include <poll.h>

#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <stop_token>
#include <thread>
#include <utility>
#include <vector>

#include "WindowRunKit.h"

namespace {

using window_run::FreePort;
using window_run::PumpUntil;

using Clock = std::chrono::steady_clock;

// A sanitizer build runs several times slower: with TRABIX_E2E_SANITIZED=1 (set by
// scripts/test.sh, as for the python cases) an upper bound on a duration is three times longer.
std::chrono::milliseconds TimeBound(std::chrono::milliseconds bound)
{
    const char *sanitized = std::getenv("TRABIX_E2E_SANITIZED");
    return sanitized && std::strcmp(sanitized, "1") == 0 ? bound * 3 : bound;
}

class YesPrompts : public TUserPrompts {
public:
    void SetBoxTitle(const QString &) override {}
    bool AskYesNo(QWidget *, const QString &) override { return true; }
    void ShowMessage(QWidget *, const QString &) override { ++Messages; }
    QString AskSaveFileName(QWidget *, const QString &, const QString &) override { return {}; }
    int Messages = 0;
};

int CountEntries(const char *dir)
{
    int n = 0;
    if (DIR *d = opendir(dir)) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        closedir(d);
    }
    return n;
}



// A connected client socket, or -1 (refused).
int Connect(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return fd;
}

// True when the peer has closed the connection (end of stream or reset) within 2 s.
bool ClosedByPeer(int fd)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, int(TimeBound(std::chrono::seconds(2)).count())) <= 0)
        return false;
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}


// Runs a function when the scope ends, also when a failed ASSERT returns early.
template <class F>
class ScopeExit {
public:
    explicit ScopeExit(F f) : FAtExit(std::move(f)) {}
    ScopeExit(const ScopeExit &) = delete;
    ScopeExit &operator=(const ScopeExit &) = delete;
    ~ScopeExit() { FAtExit(); }

private:
    F FAtExit;
};

// Opens count connections to a channel a few at a time (the listen backlog is 5, and a
// dropped connect waits a second); false when the channel did not take them in time.
bool ConnectSome(TMainForm &form, std::vector<int> &into, int port, int count, int channel)
{
    for (int i = 0; i < count; ++i) {
        into.push_back(Connect(port));
        if ((i % 4 == 3 || i == count - 1) &&
            !PumpUntil([&] { return form.Mapping(channel)->ConnectsIn > i; },
                       TimeBound(std::chrono::seconds(10))))
            return false;
    }
    return true;
}

// Sends and reads back on fd as fast as the echo target answers, until asked to stop or the
// connection ends.
void Stream(const std::stop_token &stop, int fd, std::atomic<long> &echoed)
{
    std::vector<char> block(16384, 's'), back(65536);
    while (!stop.stop_requested()) {
        if (::send(fd, block.data(), block.size(), MSG_NOSIGNAL) <= 0)
            return;
        const ssize_t n = ::recv(fd, back.data(), back.size(), 0);
        if (n <= 0)
            return;
        echoed += n;
    }
}

} // namespace

TEST(StopUnderLoad, StopEndsEveryThreadAndListener)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString oldCwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    const ScopeExit restoreCwd([&] { QDir::setCurrent(oldCwd); });
    EchoTarget echo;
    const int idlePort = FreePort(), streamPort = FreePort();
    {
        std::ofstream ini((dir.path() + "/Trabix.ini").toStdString(), std::ios::binary);
        for (int n : {1, 2})
            ini << "[MappedPort_" << n << "]\r\nListenPort=" << (n == 1 ? idlePort : streamPort)
                << "\r\nMapIp=127.0.0.1\r\nMapPort=" << echo.Port()
                << "\r\nMap=1\r\nLogging=1\r\n";
        ini << "[General]\r\nLogToFile=1\r\nLogConnInfo=1\r\n";
    }
    trabix::OverrideConfigFileName((dir.path() + "/Trabix.ini").toStdString());
    const ScopeExit restoreConfig([] { trabix::OverrideConfigFileName(""); });
    YesPrompts prompts;
    {
        TMainForm form(prompts);
        const int fdsBefore = CountEntries("/proc/self/fd");
        const int threadsBefore = CountEntries("/proc/self/task");
        form.StartMappings();
        std::vector<int> idle, streams;
        const ScopeExit closeClients([&] {
            for (int fd : idle)
                ::close(fd);
            for (int fd : streams)
                ::close(fd);
        });
        ASSERT_TRUE(ConnectSome(form, idle, idlePort, 50, 1));
        ASSERT_TRUE(ConnectSome(form, streams, streamPort, 10, 2));
        std::atomic<long> echoed{0};
        std::vector<std::jthread> pumps;
        // On an early return: ask the pumps to stop and wake any that wait in a send or a
        // receive, so that they are joined before their sockets are closed.
        const ScopeExit stopPumps([&] {
            for (auto &t : pumps)
                t.request_stop();
            for (int fd : streams)
                ::shutdown(fd, SHUT_RDWR);
        });
        for (int fd : streams)
            pumps.emplace_back(Stream, fd, std::ref(echoed));
        ASSERT_TRUE(PumpUntil([&] { return form.Mapping(1)->ConnectsIn == 50 &&
                                           form.Mapping(2)->ConnectsIn == 10 && echoed > 1000000; },
                              TimeBound(std::chrono::seconds(30))));

        form.StopMappings();
        EXPECT_FALSE(form.MappingsActive);
        // Nothing listens any more, and every client has been let go.
        for (int port : {idlePort, streamPort}) {
            const int probe = Connect(port);
            EXPECT_EQ(probe, -1) << "port " << port << " still accepts after the stop";
            if (probe >= 0)
                ::close(probe);
        }
        for (int fd : idle)
            EXPECT_TRUE(ClosedByPeer(fd));
        pumps.clear();  // asks each pump to stop and joins it: the relay has ended their streams
        for (std::vector<int> *clients : {&idle, &streams}) {
            for (int fd : *clients)
                ::close(fd);
            clients->clear();
        }
        // The connection and listener threads end and give back their descriptors (the echo
        // target's side of each connection closes once the relay has closed its own).
        EXPECT_TRUE(PumpUntil([&] {
            return CountEntries("/proc/self/task") <= threadsBefore &&
                   CountEntries("/proc/self/fd") <= fdsBefore;
        }, TimeBound(std::chrono::seconds(2))))
            << CountEntries("/proc/self/task") << " threads (" << threadsBefore << " before), "
            << CountEntries("/proc/self/fd") << " descriptors (" << fdsBefore << " before)";
        for (int n : {1, 2})
            EXPECT_EQ(form.Mapping(n)->CurrentThreads.load(), 0);
        form.ShutDownProgram();
    }
    EXPECT_EQ(prompts.Messages, 0);
}
