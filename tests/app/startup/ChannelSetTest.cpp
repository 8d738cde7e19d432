// What both faces start with: the channel set's lines and their order, the restart of changed
// channels, the rule behind the "Reachable from other machines" mark, the process signals of
// each face and the one file sink of the log.
#include "app/startup/ChannelSet.h"
#include "app/startup/LogFileSink.h"
#include "app/startup/ProgramSignals.h"
#include "app/startup/ProgramStartup.h"

#include "config/pm_config.h"
#include "config/qvx_logger.h"
#include "engine/qv_IdMappedPortTCP.h"
#include "support/Files.h"
#include "support/Loopback.h"
#include "support/WindowKit.h"

#include <gtest/gtest.h>

#include <csignal>
#include <mutex>
#include <pthread.h>
#include <regex>

namespace {

using namespace testkit;

// Collects what the set logs, from any thread.
class TLines {
public:
    TChannelSet::TLineSink Sink()
    {
        return [this](const std::string& text) {
            std::lock_guard lock(Lock);
            Lines.push_back(text);
        };
    }
    std::vector<std::string> Taken()
    {
        std::lock_guard lock(Lock);
        return std::exchange(Lines, {});
    }

private:
    std::mutex Lock;
    std::vector<std::string> Lines;
};

// "** hh:mm:ss:zzz " + text.
bool IsProgramLine(const std::string& line, const std::string& text)
{
    static const std::regex stamp(R"(^\*\* \d\d:\d\d:\d\d:\d\d\d )");
    return std::regex_search(line, stamp) && line.substr(16) == text;
}

trabix::TPM_port LoopbackChannel(int listenPort, int mapPort, const std::string& remarks)
{
    trabix::TPM_port port;
    port.BindIp = "127.0.0.1";
    port.ListenPort = listenPort;
    port.MapIp = "127.0.0.1";
    port.MapPort = mapPort;
    port.Map = true;
    port.Remarks = remarks;
    return port;
}

}  // namespace

TEST(ChannelSet, StartsStopsAndShutsDownWithTheProgramLinesInOrder)
{
    const int port = FreePort();
    trabix::TSettings settings;
    settings.Port(1) = LoopbackChannel(port, FreePort(), "one");
    settings.Port(3) = LoopbackChannel(port, FreePort(), "taken");  // the same port: fails
    TLines lines;
    TChannelSet channels(settings, lines.Sink());

    channels.StartAll();
    std::vector<std::string> got = lines.Taken();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(IsProgramLine(
        got[0], "Channel 1: (one) listening to connections on 127.0.0.1:" + std::to_string(port)))
        << got[0];
    EXPECT_EQ(got[1].find("Channel 3: (taken) Error: "), 16u) << got[1];
    EXPECT_EQ(channels.Errors(), std::vector<std::string>{got[1].substr(16)});
    EXPECT_TRUE(channels.Listening(1));
    EXPECT_FALSE(channels.Listening(2)) << "Map not checked";
    EXPECT_EQ(channels.ListeningCount(), 1);

    channels.StopAll();
    got = lines.Taken();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(IsProgramLine(got[0], StoppedAllText));
    EXPECT_EQ(channels.ListeningCount(), 0);
    ASSERT_NE(channels.Server(1), nullptr) << "a stop keeps the servers for the next start";
    EXPECT_EQ(channels.Server(1)->Bindings().Count(), 0);

    EXPECT_TRUE(channels.Start(1));
    lines.Taken();
    channels.ShutDown();
    got = lines.Taken();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(IsProgramLine(got[0], StoppedAllText));
    EXPECT_TRUE(channels.IsShutDown());
    for (int n = 1; n <= trabix::ChannelCount; ++n)
        EXPECT_EQ(channels.Server(n), nullptr);
    EXPECT_TRUE(WaitFor([&] { return TryConnect(port).Get() < 0; }));
    channels.ShutDown();
    EXPECT_TRUE(lines.Taken().empty()) << "the program stops once";
}

TEST(ChannelSet, ChangedSettingsRestartOnlyTheChannelsWhoseListenerOrTargetChanged)
{
    trabix::TSettings settings;
    settings.Port(1) = LoopbackChannel(FreePort(), FreePort(), "kept");
    settings.Port(2) = LoopbackChannel(FreePort(), FreePort(), "moved");
    TLines lines;
    TChannelSet channels(settings, lines.Sink());
    channels.StartAll();
    ASSERT_EQ(channels.ListeningCount(), 2);
    lines.Taken();

    const trabix::TSettings previous = settings;
    const int moved = FreePort();
    settings.Port(1).MaxSpeed = 4096;  // live
    settings.Port(2).ListenPort = moved;  // needs the listener anew
    EXPECT_EQ(channels.ApplyChanges(previous), std::vector<int>{2});
    EXPECT_EQ(channels.Server(1)->MaxSpeedCS, 4096);
    EXPECT_EQ(channels.Server(2)->Bindings().Items(0)->Port(), moved);
    const std::vector<std::string> got = lines.Taken();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(got[0].find("Channel 2: (moved) listening to connections on 127.0.0.1:" +
                          std::to_string(moved)),
              std::string::npos);
}

TEST(ChannelSet, ReachableMeansMappedOnEveryAddressForEveryClient)
{
    trabix::TPM_port port;
    port.Map = true;
    for (const char* everyAddress : {"", " ", "0.0.0.0", " 0.0.0.0\t", "::", "[::]", "0:0::0"}) {
        port.BindIp = everyAddress;
        EXPECT_TRUE(TChannelSet::ReachableFromOtherMachines(port)) << "[" << everyAddress << "]";
    }
    port.Map = false;
    EXPECT_FALSE(TChannelSet::ReachableFromOtherMachines(port)) << "neither listens nor will";
    port.Map = true;
    port.AllowFrom = "192.168.1.0/24";
    EXPECT_FALSE(TChannelSet::ReachableFromOtherMachines(port));
    port.AllowFrom = "  ";
    port.BindIp = "127.0.0.1";
    EXPECT_FALSE(TChannelSet::ReachableFromOtherMachines(port));
    for (const char* oneAddress : {"::1", "[::1]", "fe80::1%lo", "000.0.0.0"}) {
        port.BindIp = oneAddress;
        EXPECT_FALSE(TChannelSet::ReachableFromOtherMachines(port)) << oneAddress;
    }

    trabix::TSettings settings;
    settings.Port(4).Map = true;
    TChannelSet channels(settings, [](const std::string&) {});
    EXPECT_TRUE(channels.ReachableFromOtherMachines(4)) << "read from the channel's record";
    EXPECT_FALSE(channels.ReachableFromOtherMachines(5));
    EXPECT_EQ(ReachableWarningText(4, "web"), "Channel 4: (web) Reachable from other machines");
}

TEST(ProgramSignals, EachFaceTurnsItsSignalsIntoItsRequestsAndPutsTheOldStateBack)
{
    struct sigaction before {};
    ::sigaction(SIGINT, nullptr, &before);
    {
        TProgramSignals::HoldSignals(TProgramSignals::TFace::Headless);
        ::raise(SIGHUP);  // held until the handler is there
        TProgramSignals headless(TProgramSignals::TFace::Headless);
        int reloads = 0;
        std::vector<int> stops;
        QObject::connect(&headless, &TProgramSignals::ReloadRequested, [&] { ++reloads; });
        QObject::connect(&headless, &TProgramSignals::ShutdownRequested,
                         [&](int number) { stops.push_back(number); });
        EXPECT_TRUE(WaitFor([&] { return reloads == 1; })) << "the held SIGHUP";
        ::raise(SIGINT);
        ::raise(SIGTERM);
        EXPECT_TRUE(WaitFor([&] { return stops.size() == 2; }));
        EXPECT_EQ(stops, (std::vector<int>{SIGINT, SIGTERM}));
        EXPECT_EQ(reloads, 1);
    }
    sigset_t mask;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    EXPECT_TRUE(sigismember(&mask, SIGTERM)) << "held again, as HoldSignals left them";
    sigset_t held;
    sigemptyset(&held);
    for (int number : {SIGTERM, SIGHUP, SIGINT})
        sigaddset(&held, number);
    ::pthread_sigmask(SIG_UNBLOCK, &held, nullptr);
    struct sigaction after {};
    ::sigaction(SIGINT, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);

    TProgramSignals window(TProgramSignals::TFace::Window);
    std::vector<int> stops;
    QObject::connect(&window, &TProgramSignals::ShutdownRequested,
                     [&](int number) { stops.push_back(number); });
    ::raise(SIGHUP);
    EXPECT_TRUE(WaitFor([&] { return stops.size() == 1; }));
    EXPECT_EQ(stops, std::vector<int>{SIGHUP}) << "a log-off for the window";
}

TEST(LogFileSink, WritesTheDailyFileUntilClosedAndNothingAfter)
{
    TTempDir dir;
    TLogFileSink sink;
    sink.Write("before any logger");  // dropped
    auto logger = std::make_unique<trabix::TQVX_Logger>(dir.Path(), "");
    logger->LineBreak = true;
    logger->ShortTimeStamp = false;
    trabix::TQVX_Logger* file = logger.get();
    sink.Open(std::move(logger));
    sink.Write("one");
    sink.Write("two");
    file->BuildFileName();
    const std::string path = file->FileName;
    sink.Close();
    sink.Write("after the close");
    EXPECT_EQ(ReadFile(path), "one\r\ntwo\r\n");
}
