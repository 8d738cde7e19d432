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
#include <thread>
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
    if (::poll(&p, 1, 2000) <= 0)
        return false;
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}


} // namespace

TEST(StopUnderLoad, StopEndsEveryThreadAndListener)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString oldCwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
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
    YesPrompts prompts;
    {
        TMainForm form(prompts);
        const int fdsBefore = CountEntries("/proc/self/fd");
        const int threadsBefore = CountEntries("/proc/self/task");
        form.StartMappings();
        // A few at a time: the listen backlog is 5, and a dropped connect waits a second.
        std::vector<int> idle, streams;
        auto connectSome = [&](std::vector<int> &into, int port, int count, int channel) {
            for (int i = 0; i < count; ++i) {
                into.push_back(Connect(port));
                if (i % 4 == 3 || i == count - 1) {
                    ASSERT_TRUE(PumpUntil([&] { return form.Mapping(channel)->ConnectsIn > i; },
                                          std::chrono::seconds(10)));
                }
            }
        };
        connectSome(idle, idlePort, 50, 1);
        connectSome(streams, streamPort, 10, 2);
        // Streaming clients send and read back as fast as the echo target answers.
        std::atomic<bool> streaming{true};
        std::atomic<long> echoed{0};
        std::vector<std::thread> pumps;
        for (int fd : streams)
            pumps.emplace_back([fd, &streaming, &echoed] {
                std::vector<char> block(16384, 's'), back(65536);
                while (streaming) {
                    if (::send(fd, block.data(), block.size(), MSG_NOSIGNAL) <= 0)
                        return;
                    const ssize_t n = ::recv(fd, back.data(), back.size(), 0);
                    if (n <= 0)
                        return;
                    echoed += n;
                }
            });
        ASSERT_TRUE(PumpUntil([&] { return form.Mapping(1)->ConnectsIn == 50 &&
                                           form.Mapping(2)->ConnectsIn == 10 && echoed > 1000000; },
                              std::chrono::seconds(30)));

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
        streaming = false;
        for (auto &t : pumps)
            t.join();
        for (int fd : idle)
            ::close(fd);
        for (int fd : streams)
            ::close(fd);
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
    trabix::OverrideConfigFileName("");
    QDir::setCurrent(oldCwd);
}
