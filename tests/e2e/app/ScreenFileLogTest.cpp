// One run of the real window (offscreen): the screen log, saved through "Save to file", and the
// daily log file must hold the same lines, byte for byte, from "Program started" to "Program
// stopped". The traffic mixes what reaches AddLogLine in different ways: window lines, the
// synchronized lines and mode-4 data records of several connection threads at once, and the
// error lines that refused connections write directly from their own threads.
#include "../engine/EchoTarget.h"

#include "pm_config.h"
#include "pm_main.h"
#include "MainPages.h"
#include "ScreenLog.h"
#include "UserPrompts.h"

#include <QApplication>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "WindowRunKit.h"

namespace {

using window_run::FreePort;
using window_run::PumpUntil;

using Clock = std::chrono::steady_clock;

// Answers every question with Yes, and the save dialog with the given path.
class AnswerPrompts : public TUserPrompts {
public:
    explicit AnswerPrompts(QString path) : SavePath(std::move(path)) {}
    void SetBoxTitle(const QString &) override {}
    bool AskYesNo(QWidget *, const QString &) override { return true; }
    void ShowMessage(QWidget *, const QString &text) override { Messages << text; }
    QString AskSaveFileName(QWidget *, const QString &, const QString &) override
    {
        return SavePath;
    }
    QString SavePath;
    QStringList Messages;
};


// One connection: sends the text and, when an answer is expected, reads it back.
bool RoundTrip(int port, const std::string &text, bool expectEcho)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
              ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
    std::string got;
    char buf[4096];
    while (ok && expectEcho && got.size() < text.size()) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        ok = n > 0;
        if (ok)
            got.append(buf, size_t(n));
    }
    ::close(fd);
    return ok && (!expectEcho || got == text);
}

std::string ReadFile(const QString &path)
{
    std::ifstream in(path.toStdString(), std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}


std::vector<std::string> Lines(const std::string &text)
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
std::map<std::string, std::vector<std::string>> ByThread(const std::vector<std::string> &lines)
{
    std::map<std::string, std::vector<std::string>> threads;
    for (const std::string &line : lines) {
        const size_t tag = line.find("(TID= ");
        if (line.rfind("** ", 0) == 0)
            threads["window"].push_back(line);
        else if (line.rfind("## ", 0) == 0 && tag != std::string::npos)
            threads[line.substr(tag, line.find(')', tag) - tag)].push_back(line);
    }
    return threads;
}

} // namespace

TEST(ScreenAndFileLog, OneRunHoldsTheSameLinesInBoth)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString oldCwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));   // the daily log goes to the working directory
    EchoTarget echo;
    const int echoPort = FreePort(), refusedPort = FreePort(), nobody = FreePort();
    {
        std::ofstream ini((dir.path() + "/Trabix.ini").toStdString(), std::ios::binary);
        ini << "[General]\r\nLogToFile=1\r\nLogConnInfo=1\r\nLimitScreenLog=0\r\n"
            << "[MappedPort_1]\r\nRemarks=echo\r\nListenPort=" << echoPort
            << "\r\nMapIp=127.0.0.1\r\nMapPort=" << echo.Port()
            << "\r\nMap=1\r\nLogging=1\r\nLogDataMode=4\r\n"
            << "[MappedPort_2]\r\nRemarks=refused\r\nListenPort=" << refusedPort
            << "\r\nMapIp=127.0.0.1\r\nMapPort=" << nobody << "\r\nMap=1\r\nLogging=1\r\n";
    }
    trabix::OverrideConfigFileName((dir.path() + "/Trabix.ini").toStdString());
    const QString saved = dir.path() + "/screen.txt";
    AnswerPrompts prompts(saved);
    {
        TMainForm form(prompts);
        form.StartMappings();
        std::atomic<int> failures{0};
        std::atomic<bool> finished{false};
        std::thread traffic([&] {
            std::vector<std::thread> clients;
            for (int c = 0; c < 4; ++c)
                clients.emplace_back([&, c] {
                    for (int i = 0; i < 25; ++i) {
                        std::string text(40 + 13 * i, char('a' + c));
                        text[0] = char(i);   // a byte the hex dump shows as a blank
                        if (!RoundTrip(echoPort, text, true))
                            ++failures;
                        RoundTrip(refusedPort, "x", false);
                    }
                });
            for (auto &t : clients)
                t.join();
            finished = true;
        });
        const bool done = PumpUntil([&] { return finished.load(); }, std::chrono::seconds(120));
        traffic.join();
        ASSERT_TRUE(done);
        EXPECT_EQ(failures.load(), 0);
        // Every connection has ended in the log (the refused ones with their error line).
        ASSERT_TRUE(PumpUntil([&] {
            const std::string file = ReadFile(dir.path() + "/" +
                                              QDate::currentDate().toString("yyyyMMdd") + ".log");
            size_t disconnects = 0, errors = 0;
            for (size_t p = file.find("Disconnect (incoming)."); p != std::string::npos;
                 p = file.find("Disconnect (incoming).", p + 1))
                ++disconnects;
            for (size_t p = file.find("; Error: "); p != std::string::npos;
                 p = file.find("; Error: ", p + 1))
                ++errors;
            return disconnects >= 200 && errors >= 100;
        }, std::chrono::seconds(30)));
        form.ShutDownProgram();
        form.SaveScreenLog();
        EXPECT_TRUE(prompts.Messages.isEmpty()) << prompts.Messages.join("; ").toStdString();
    }
    trabix::OverrideConfigFileName("");
    QDir::setCurrent(oldCwd);
    // Both hold every line; the file's name is the date of the run (midnight may split it).
    std::string fileLog;
    for (const QString &name : QDir(dir.path()).entryList({"*.log"}, QDir::Files, QDir::Name))
        fileLog += ReadFile(dir.path() + "/" + name);
    const std::string screenLog = ReadFile(saved);
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
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString oldCwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    EchoTarget echo;
    const int port = FreePort();
    {
        std::ofstream ini((dir.path() + "/Trabix.ini").toStdString(), std::ios::binary);
        ini << "[General]\r\nLogToFile=1\r\nLogConnInfo=1\r\nLimitScreenLog=0\r\n"
            << "[MappedPort_1]\r\nRemarks=bytes\r\nListenPort=" << port
            << "\r\nMapIp=127.0.0.1\r\nMapPort=" << echo.Port()
            << "\r\nMap=1\r\nLogging=1\r\nLogDataMode=1\r\n";
    }
    trabix::OverrideConfigFileName((dir.path() + "/Trabix.ini").toStdString());
    std::string allBytes;
    for (int b = 0; b < 256; ++b)
        allBytes += char(b);
    const std::vector<std::string> records = {
        allBytes, "caf\xc3\xa9 \xe9t\xe9 \x80\xfe\xff", "\xe2\x82\xac \xf0\x9f\x98\x80 \xce\xb1\xce\xb2",
        "lone\nfeed\rand CR\r", "\xed\xa0\x80 \xc0\xaf \xf4\x90\x80\x80 \xe2\x80\xa9 \xc2\x85 \xe2\x80\xb9" "E9\xe2\x80\xba"};
    const QString saved = dir.path() + "/screen.txt";
    AnswerPrompts prompts(saved);
    QString shown;
    {
        TMainForm form(prompts);
        form.StartMappings();
        for (const std::string &text : records) {
            std::atomic<bool> ok{false}, done{false};
            std::thread client([&] { ok = RoundTrip(port, text, true); done = true; });
            ASSERT_TRUE(PumpUntil([&] { return done.load(); }, std::chrono::seconds(20)));
            client.join();
            ASSERT_TRUE(ok);
        }
        const QString logName = dir.path() + "/" + QDate::currentDate().toString("yyyyMMdd") + ".log";
        ASSERT_TRUE(PumpUntil([&] {
            const std::string file = ReadFile(logName);
            size_t n = 0;
            for (size_t p = file.find("Disconnect (incoming)."); p != std::string::npos;
                 p = file.find("Disconnect (incoming).", p + 1))
                ++n;
            return n >= records.size();
        }, std::chrono::seconds(30)));
        form.ShutDownProgram();
        form.SaveScreenLog();
        shown = form.LoggingPage->View->toPlainText();
    }
    trabix::OverrideConfigFileName("");
    QDir::setCurrent(oldCwd);
    std::string fileLog;
    for (const QString &name : QDir(dir.path()).entryList({"*.log"}, QDir::Files, QDir::Name))
        fileLog += ReadFile(dir.path() + "/" + name);
    EXPECT_NE(fileLog.find(allBytes), std::string::npos);
    EXPECT_EQ(ReadFile(saved), fileLog);
    EXPECT_FALSE(shown.contains(QChar::ReplacementCharacter));
    for (const char *part : {"caf\xc3\xa9 <E9>t<E9> <80><FE><FF>", "\xe2\x82\xac \xf0\x9f\x98\x80",
                             "<00><01>", "<7F><80>", "<ED><A0><80> <C0><AF>", "<E2><80><A9> <C2><85>",
                             "<FE><FF>\n", "<E2><80><B9>E9<E2><80><BA>"}) {
        // Written here with < and > for the guillemets of the signs.
        const QString sign = QString::fromUtf8(part).replace('<', QChar(0x2039)).replace('>', QChar(0x203A));
        EXPECT_TRUE(shown.contains(sign)) << part << "\n" << shown.toStdString();
    }
}
