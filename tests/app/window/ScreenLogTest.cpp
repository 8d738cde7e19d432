// The screen log on its own: the trim near the line limit, the routing of lines from other
// threads, and saving the text.
#include "app/window/LogRouter.h"
#include "app/window/ScreenLog.h"
#include "support/WindowKit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextBlock>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <thread>

using namespace testkit;

namespace {

void AddNumberedLines(TScreenLog& view, int from, int count)
{
    for (int i = from; i < from + count; ++i)
        view.AppendText(QStringLiteral("line %1 of some typical length for a log").arg(i));
}

}  // namespace

TEST(ScreenLogTrim, CutsOnlyAboveTenPercentOverTheLimitAndEndsAtTheLimit)
{
    TScreenLog view;
    AddNumberedLines(view, 1, 1100);
    EXPECT_FALSE(view.Trim(1000)) << "1100 lines are within 110 % of 1000";
    AddNumberedLines(view, 1101, 1);
    ASSERT_EQ(view.LineCount(), 1101);
    EXPECT_TRUE(view.Trim(1000));
    view.AppendText(QStringLiteral("the new line"));
    EXPECT_LE(view.LineCount(), 1000);
    EXPECT_GT(view.LineCount(), 800) << "the trim cuts the surplus, not the whole log";
    EXPECT_EQ(view.document()->lastBlock().text(), QStringLiteral("the new line"));
    // Every remaining line is a whole line: the partial first line went too.
    EXPECT_TRUE(view.document()->firstBlock().text().startsWith(QStringLiteral("line ")));
    EXPECT_TRUE(view.document()->firstBlock().text().endsWith(QStringLiteral(" log")));
}

TEST(ScreenLogTrim, UnevenLinesAndTinyLimitsStillEndAtTheLimit)
{
    TScreenLog view;
    for (int i = 0; i < 3000; ++i)
        view.AppendText(i % 10 == 0 ? QString(2000, QLatin1Char('x')) : QStringLiteral("y"));
    view.Trim(1000);
    EXPECT_LE(view.LineCount(), 1000);

    TScreenLog tiny;
    AddNumberedLines(tiny, 1, 5);
    tiny.Trim(0);  // counts as 1
    EXPECT_LE(tiny.LineCount(), 1);
}

TEST(LogRouter, RoutesByTheSwitchesAndTrimsOnlyWhenLimited)
{
    TScreenLog view;
    auto router = std::make_shared<TLogRouter>();
    router->AttachView(&view);
    std::vector<std::string> file;
    router->SetFileWriter([&](const std::string& text) {
        file.push_back(text);
        return true;
    });
    router->Routing.LogToFile = true;
    router->Routing.ScreenLogLines = 1000;

    // A record of several lines counts as several lines for the limit.
    router->Routing.LimitScreenLog = false;
    router->AddLogLine("one line");
    std::string record;
    for (int i = 0; i < 1200; ++i)
        record += "dump line\r\n";
    router->AddLogLine(record + "last");
    router->FlushToView();
    EXPECT_EQ(view.LineCount(), 1202) << "without the limit the view grows";

    router->Routing.LimitScreenLog = true;
    router->AddLogLine("after the limit was switched on");
    router->FlushToView();
    EXPECT_LE(view.LineCount(), 1000);

    // Both switches off: dropped without a word.
    router->Routing.LogToScreen = false;
    router->Routing.LogToFile = false;
    router->AddLogLine("nowhere");
    router->FlushToView();
    EXPECT_NE(view.document()->lastBlock().text(), QStringLiteral("nowhere"));
    EXPECT_EQ(file.size(), 3u);
    EXPECT_EQ(file.back(), "after the limit was switched on");
    router->DetachView();
}

TEST(LogRouter, AFloodHandedOverBeforeOneFlushIsCutToItsTail)
{
    TScreenLog view;
    auto router = std::make_shared<TLogRouter>();
    router->AttachView(&view);
    router->Routing.ScreenLogLines = 1000;
    view.AppendText(QStringLiteral("old"));
    // 2503 lines in one flush: more than twice the limit, so only the last 1000 go in.
    router->AddLogLine("first record");
    std::string record;
    for (int i = 1; i <= 2500; ++i)
        record += "line " + std::to_string(i) + "\r\n";
    router->AddLogLine(record + "end");
    router->AddLogLine("last record");
    router->FlushToView();
    ASSERT_EQ(view.LineCount(), 1000);
    EXPECT_EQ(view.document()->firstBlock().text(), QStringLiteral("line 1503"));
    EXPECT_EQ(view.document()->lastBlock().text(), QStringLiteral("last record"));
    router->DetachView();
}

TEST(LogRouter, LinesFromOtherThreadsKeepTheirOrderAndReachTheViewOnlyOnTheMainThread)
{
    TScreenLog view;
    auto router = std::make_shared<TLogRouter>();
    router->Routing.LimitScreenLog = false;
    router->AttachView(&view);
    constexpr int perThread = 500;
    auto writer = [&](char tag) {
        for (int i = 0; i < perThread; ++i)
            router->AddLogLine(std::string(1, tag) + std::to_string(i));
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    EXPECT_EQ(view.LineCount(), 0) << "nothing may touch the view off the main thread";
    ASSERT_TRUE(WaitFor([&] { return view.LineCount() == 2 * perThread; }));
    int nextA = 0, nextB = 0;
    for (QTextBlock block = view.document()->firstBlock(); block.isValid(); block = block.next()) {
        const QString text = block.text();
        int& next = text.startsWith('a') ? nextA : nextB;
        EXPECT_EQ(text.mid(1).toInt(), next) << text.toStdString();
        ++next;
    }
    router->DetachView();
}

TEST(LogRouter, NothingArrivesAfterClose)
{
    TScreenLog view;
    auto router = std::make_shared<TLogRouter>();
    router->AttachView(&view);
    int writes = 0;
    router->SetFileWriter([&](const std::string&) { return ++writes > 0; });
    router->Routing.LogToFile = true;
    router->AddLogLine("last line");
    router->Close();
    std::thread late([&] { router->AddLogLine("from a thread that outlived its server"); });
    late.join();
    router->FlushToView();
    EXPECT_EQ(view.document()->lastBlock().text(), QStringLiteral("last line"));
    EXPECT_EQ(writes, 1);
    router->DetachView();
}

TEST(ScreenLogSave, WritesCrLfLinesAndFailsInAFolderWithoutWritePermission)
{
    TSandbox sandbox;
    TScreenLog view;
    view.AppendText(QStringLiteral("first\r\nsecond"));
    const QString path = sandbox.Path() + QStringLiteral("/saved.txt");
    ASSERT_TRUE(view.SaveToFile(path));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("first\r\nsecond\r\n"));

    QDir(sandbox.Path()).mkdir(QStringLiteral("locked"));
    const QString locked = sandbox.Path() + QStringLiteral("/locked");
    QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    // The super-user writes anywhere; a path below a plain file fails for everyone.
    const QString target = QFileInfo(locked).isWritable() ? path + QStringLiteral("/x.txt")
                                                          : locked + QStringLiteral("/x.txt");
    EXPECT_FALSE(view.SaveToFile(target));
    QFile::setPermissions(locked,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// What is left after a trim still gives back its bytes: each line keeps the end it came with.
TEST(ScreenLogSave, LineEndsAndSignsSurviveATrim)
{
    TScreenLog view;
    std::string expected;
    for (int i = 0; i < 1500; ++i) {
        const std::string record = "r" + std::to_string(i) + (i % 3 ? "\n\xe9\r" : "\r\n\x01 ok");
        view.AppendBytes(record);
        expected += record + "\r\n";
    }
    ASSERT_TRUE(view.Trim(1000));
    const QByteArray left = view.Bytes();
    ASSERT_GT(left.size(), 0);
    EXPECT_TRUE(expected.ends_with(left.toStdString()));
    ASSERT_LT(size_t(left.size()), expected.size());
    EXPECT_EQ(expected[expected.size() - size_t(left.size()) - 1], '\n') << "a whole line";
    EXPECT_FALSE(view.toPlainText().contains(QChar::ReplacementCharacter));
}
