// "St&op" in the real window (offscreen) while 50 idle and 10 streaming connections are open:
// the ports refuse once the stop has run, every connection and listener thread ends, no
// descriptor is left over, and the program then still closes cleanly.
#include "support/Backend.h"
#include "support/WindowKit.h"
#include "config/pm_config.h"
#include "app/pm_main.h"
#include "engine/qv_IdMappedPortTCP.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stop_token>
#include <thread>
#include <utility>
#include <vector>

using namespace testkit;

namespace {

// A sanitizer build runs several times slower: with TRABIX_E2E_SANITIZED=1 (set by
// scripts/test.sh, as for the python cases) an upper bound on a duration is three times longer.
std::chrono::milliseconds TimeBound(std::chrono::milliseconds bound)
{
    const char* sanitized = std::getenv("TRABIX_E2E_SANITIZED");
    return sanitized && std::strcmp(sanitized, "1") == 0 ? bound * 3 : bound;
}

int WaitMs(std::chrono::milliseconds bound)
{
    return int(TimeBound(bound).count());
}

// Runs a function when the scope ends, also when a failed ASSERT returns early.
template <class F>
class ScopeExit {
public:
    explicit ScopeExit(F f) : FAtExit(std::move(f)) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ~ScopeExit() { FAtExit(); }

private:
    F FAtExit;
};

// Opens count connections to a channel a few at a time (the listen backlog is 5, and a
// dropped connect waits a second); false when the channel did not take them in time. A send or
// receive on them gives up after 10 s, so a connection the stop forgot fails the case instead
// of blocking it.
bool ConnectSome(TMainForm& form, std::vector<TFd>& into, int port, int count, int channel)
{
    for (int i = 0; i < count; ++i) {
        into.push_back(TryConnect(port));
        const timeval limit{10, 0};
        ::setsockopt(into.back().Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(into.back().Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        if ((i % 4 == 3 || i == count - 1) &&
            !WaitFor([&] { return form.Mapping(channel)->ConnectsIn > i; },
                     WaitMs(std::chrono::seconds(10))))
            return false;
    }
    return true;
}

// Sends and reads back on fd as fast as the echo target answers, until asked to stop or the
// connection ends.
void Stream(const std::stop_token& stop, int fd, std::atomic<long>& echoed)
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

}  // namespace

TEST(StopUnderLoad, StopEndsEveryThreadAndListener)
{
    TSandbox sandbox;  // settings file and working directory, restored at its end
    TBackend echo(TBackend::TMode::Echo);
    const int idlePort = FreePort(), streamPort = FreePort();
    QString ini;
    for (int n : {1, 2})
        ini += QStringLiteral(
                   "[MappedPort_%1]\r\nListenPort=%2\r\nMapIp=127.0.0.1\r\nMapPort=%3\r\n"
                   "Map=1\r\nLogging=1\r\n")
                   .arg(n)
                   .arg(n == 1 ? idlePort : streamPort)
                   .arg(echo.Port());
    sandbox.WriteIni(ini + QStringLiteral("[General]\r\nLogToFile=1\r\nLogConnInfo=1\r\n"));
    TScriptedPrompts prompts;
    {
        trabix::TSettings settings;
        TMainForm form(prompts, settings);
        const int fdsBefore = OpenFds();
        const int threadsBefore = LiveThreads();
        form.StartMappings();
        std::vector<TFd> idle, streams;
        ASSERT_TRUE(ConnectSome(form, idle, idlePort, 50, 1));
        ASSERT_TRUE(ConnectSome(form, streams, streamPort, 10, 2));
        std::atomic<long> echoed{0};
        std::vector<std::jthread> pumps;
        // On an early return: ask the pumps to stop and wake any that wait in a send or a
        // receive, so that they are joined before their sockets are closed.
        const ScopeExit stopPumps([&] {
            for (auto& t : pumps)
                t.request_stop();
            for (const TFd& fd : streams)
                ::shutdown(fd.Get(), SHUT_RDWR);
        });
        for (const TFd& fd : streams)
            pumps.emplace_back(Stream, fd.Get(), std::ref(echoed));
        ASSERT_TRUE(WaitFor(
            [&] {
                return form.Mapping(1)->ConnectsIn == 50 && form.Mapping(2)->ConnectsIn == 10 &&
                    echoed > 1000000;
            },
            WaitMs(std::chrono::seconds(30))));

        form.StopMappings();
        EXPECT_FALSE(form.MappingsActive);
        // Nothing listens any more, and every client has been let go.
        for (int port : {idlePort, streamPort})
            EXPECT_LT(TryConnect(port).Get(), 0)
                << "port " << port << " still accepts after the stop";
        for (const TFd& fd : idle)
            EXPECT_TRUE(WaitForClose(fd.Get(), Clock::now() + TimeBound(std::chrono::seconds(2))));
        pumps.clear();  // asks each pump to stop and joins it: the relay has ended their streams
        idle.clear();
        streams.clear();
        // The connection and listener threads end and give back their descriptors (the echo
        // target's side of each connection closes once the relay has closed its own).
        EXPECT_TRUE(
            WaitFor([&] { return LiveThreads() <= threadsBefore && OpenFds() <= fdsBefore; },
                    WaitMs(std::chrono::seconds(2))))
            << LiveThreads() << " threads (" << threadsBefore << " before), " << OpenFds()
            << " descriptors (" << fdsBefore << " before)";
        for (int n : {1, 2})
            EXPECT_EQ(form.Mapping(n)->CurrentThreads.load(), 0);
        form.ShutDownProgram();
    }
    EXPECT_TRUE(prompts.Messages.isEmpty()) << prompts.Messages.join("; ").toStdString();
}
