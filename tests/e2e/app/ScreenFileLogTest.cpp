// One run of the real window (offscreen): the screen log, saved through "Save to file", and the
// daily log file must hold the same lines, byte for byte, from "Program started" to "Program
// stopped". The traffic mixes what reaches AddLogLine in different ways: window lines, the
// synchronized lines and mode-4 data records of several connection threads at once, and the
// error lines that refused connections write directly from their own threads.
#include "support/Backend.h"
#include "app/window/MainPages.h"
#include "app/window/ScreenLog.h"
#include "support/WindowKit.h"
#include "config/pm_config.h"
#include "app/pm_main.h"

#include <QDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace testkit;

namespace {

// One connection: sends the text and, when an answer is expected, reads it back.
bool RoundTrip(int port, const std::string& text, bool expectEcho)
{
    const TFd fd = TryConnect(port);
    return SendAll(fd.Get(), text) &&
        (!expectEcho ||
         RecvAtMost(fd.Get(), text.size(), Clock::now() + std::chrono::seconds(10)) == text);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", from)) {
        lines.push_back(text.substr(from, at - from));
        from = at + 2;
    }
    lines.push_back(text.substr(from));
    return lines;
}

std::vector<std::string> Sorted(std::vector<std::string> lines)
{
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The window's lines ("** ") and each connection's lines (its thread tag), in their order.
std::map<std::string, std::vector<std::string>> ByThread(const std::vector<std::string>& lines)
{
    std::map<std::string, std::vector<std::string>> threads;
    for (const std::string& line : lines) {
        const size_t tag = line.find("(TID= ");
        if (line.rfind("** ", 0) == 0)
            threads["window"].push_back(line);
        else if (line.rfind("## ", 0) == 0 && tag != std::string::npos)
            threads[line.substr(tag, line.find(')', tag) - tag)].push_back(line);
    }
    return threads;
}

}  // namespace

TEST(ScreenAndFileLog, OneRunHoldsTheSameLinesInBoth)
{
    TSandbox sandbox;  // the daily log goes to its working directory
    const QString dir = sandbox.Path();
    TBackend echo(TBackend::TMode::Echo);
    const int echoPort = FreePort(), refusedPort = FreePort(), nobody = FreePort();
    sandbox.WriteIni(
        QStringLiteral("[General]\r\nLogToFile=1\r\nLogConnInfo=1\r\nLimitScreenLog=0\r\n"
                       "[MappedPort_1]\r\nRemarks=echo\r\nListenPort=%1\r\n"
                       "MapIp=127.0.0.1\r\nMapPort=%2\r\nMap=1\r\nLogging=1\r\n"
                       "LogDataMode=4\r\n"
                       "[MappedPort_2]\r\nRemarks=refused\r\nListenPort=%3\r\n"
                       "MapIp=127.0.0.1\r\nMapPort=%4\r\nMap=1\r\nLogging=1\r\n")
            .arg(echoPort)
            .arg(echo.Port())
            .arg(refusedPort)
            .arg(nobody));
    const QString saved = dir + "/screen.txt";
    TScriptedPrompts prompts;
    prompts.SaveName = saved;
    {
        trabix::TSettings settings;
        TMainForm form(prompts, settings);
        form.StartMappings();
        std::atomic<int> failures{0};
        std::atomic<bool> finished{false};
        std::thread traffic([&] {
            std::vector<std::thread> clients;
            for (int c = 0; c < 4; ++c)
                clients.emplace_back([&, c] {
                    for (int i = 0; i < 25; ++i) {
                        std::string text(40 + 13 * i, char('a' + c));
                        text[0] = char(i);  // a byte the hex dump shows as a blank
                        if (!RoundTrip(echoPort, text, true))
                            ++failures;
                        RoundTrip(refusedPort, "x", false);
                    }
                });
            for (auto& t : clients)
                t.join();
            finished = true;
        });
        const bool done = WaitFor([&] { return finished.load(); }, 120000);
        traffic.join();
        ASSERT_TRUE(done);
        EXPECT_EQ(failures.load(), 0);
        // Every connection has ended in the log (the refused ones with their error line).
        ASSERT_TRUE(WaitFor(
            [&] {
                const std::string file = sandbox.TodaysLog().toStdString();
                size_t disconnects = 0, errors = 0;
                for (size_t p = file.find("Disconnect (incoming)."); p != std::string::npos;
                     p = file.find("Disconnect (incoming).", p + 1))
                    ++disconnects;
                for (size_t p = file.find("; Error: "); p != std::string::npos;
                     p = file.find("; Error: ", p + 1))
                    ++errors;
                return disconnects >= 200 && errors >= 100;
            },
            30000));
        form.ShutDownProgram();
        form.SaveScreenLog();
        EXPECT_TRUE(prompts.Messages.isEmpty()) << prompts.Messages.join("; ").toStdString();
    }
    // Both hold every line; the file's name is the date of the run (midnight may split it).
    std::string fileLog;
    for (const QString& name : QDir(dir).entryList({"*.log"}, QDir::Files, QDir::Name))
        fileLog += ReadFile((dir + "/" + name).toStdString());
    const std::string screenLog = ReadFile(saved.toStdString());
    ASSERT_FALSE(fileLog.empty());
    EXPECT_NE(fileLog.find(" - Program started\r\n"), std::string::npos);
    EXPECT_NE(fileLog.find("DATA (Client -> Server): Length= "), std::string::npos);
    EXPECT_TRUE(fileLog.ends_with(" - Program stopped\r\n"));
    // Lines of different threads may interleave differently in the two (each takes its own
    // turn at the view and at the file); the lines themselves, the order of each connection's
    // lines and the order of the window's own lines must agree.
    EXPECT_EQ(screenLog.size(), fileLog.size());
    const std::vector<std::string> screenLines = Lines(screenLog), fileLines = Lines(fileLog);
    EXPECT_EQ(Sorted(screenLines), Sorted(fileLines));
    EXPECT_EQ(ByThread(screenLines), ByThread(fileLines));
}

// Bytes that are not UTF-8 reach the daily file unchanged; the view shows them as signs and
// "Save to file" gives back the same bytes, line ends included (a record's own LF or CR too).
TEST(ScreenAndFileLog, EveryByteValueAndUtf8TextSaveAsTheFileHoldsThem)
{
    TSandbox sandbox;  // the daily log goes to its working directory
    const QString dir = sandbox.Path();
    TBackend echo(TBackend::TMode::Echo);
    const int port = FreePort();
    sandbox.WriteIni(
        QStringLiteral("[General]\r\nLogToFile=1\r\nLogConnInfo=1\r\nLimitScreenLog=0\r\n"
                       "[MappedPort_1]\r\nRemarks=bytes\r\nListenPort=%1\r\n"
                       "MapIp=127.0.0.1\r\nMapPort=%2\r\nMap=1\r\nLogging=1\r\n"
                       "LogDataMode=1\r\n")
            .arg(port)
            .arg(echo.Port()));
    std::string allBytes;
    for (int b = 0; b < 256; ++b)
        allBytes += char(b);
    const std::vector<std::string> records = {
        allBytes, "caf\xc3\xa9 \xe9t\xe9 \x80\xfe\xff",
        "\xe2\x82\xac \xf0\x9f\x98\x80 \xce\xb1\xce\xb2", "lone\nfeed\rand CR\r",
        "\xed\xa0\x80 \xc0\xaf \xf4\x90\x80\x80 \xe2\x80\xa9 \xc2\x85 \xe2\x80\xb9"
        "E9\xe2\x80\xba"};
    const QString saved = dir + "/screen.txt";
    TScriptedPrompts prompts;
    prompts.SaveName = saved;
    QString shown;
    {
        trabix::TSettings settings;
        TMainForm form(prompts, settings);
        form.StartMappings();
        for (const std::string& text : records) {
            std::atomic<bool> ok{false}, done{false};
            std::thread client([&] {
                ok = RoundTrip(port, text, true);
                done = true;
            });
            ASSERT_TRUE(WaitFor([&] { return done.load(); }, 20000));
            client.join();
            ASSERT_TRUE(ok);
        }
        ASSERT_TRUE(WaitFor(
            [&] {
                const std::string file = sandbox.TodaysLog().toStdString();
                size_t n = 0;
                for (size_t p = file.find("Disconnect (incoming)."); p != std::string::npos;
                     p = file.find("Disconnect (incoming).", p + 1))
                    ++n;
                return n >= records.size();
            },
            30000));
        form.ShutDownProgram();
        form.SaveScreenLog();
        shown = form.LoggingPage->View->toPlainText();
    }
    std::string fileLog;
    for (const QString& name : QDir(dir).entryList({"*.log"}, QDir::Files, QDir::Name))
        fileLog += ReadFile((dir + "/" + name).toStdString());
    EXPECT_NE(fileLog.find(allBytes), std::string::npos);
    EXPECT_EQ(ReadFile(saved.toStdString()), fileLog);
    EXPECT_FALSE(shown.contains(QChar::ReplacementCharacter));
    for (const char* part : {"caf\xc3\xa9 <E9>t<E9> <80><FE><FF>", "\xe2\x82\xac \xf0\x9f\x98\x80",
                             "<00><01>", "<7F><80>", "<ED><A0><80> <C0><AF>",
                             "<E2><80><A9> <C2><85>", "<FE><FF>\n", "<E2><80><B9>E9<E2><80><BA>"}) {
        // Written here with < and > for the guillemets of the signs.
        const QString sign =
            QString::fromUtf8(part).replace('<', QChar(0x2039)).replace('>', QChar(0x203A));
        EXPECT_TRUE(shown.contains(sign)) << part << "\n" << shown.toStdString();
    }
}
