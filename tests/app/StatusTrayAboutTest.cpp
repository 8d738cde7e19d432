// The status labels and lights, the tray, the About box and the anti-freeze of the window.
#include "WindowFixture.h"

#include "net/IdAntiFreeze.h"
#include "app/window/TrayIcon.h"
#include "engine/qv_IdMappedPortTCP.h"

#include <QAction>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QLineEdit>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionFrame>

using namespace apptest;

namespace {

const QString RestartNotice =
    QStringLiteral("Configuration of mapping(s) changed - Restart mappings now.");
// The notice comes with the next 250 ms tick; the bound leaves room for a loaded machine.
constexpr int NoticeWaitMs = 2000;

// Replaces the tray probe for one test.
struct TTrayProbe {
    explicit TTrayProbe(bool available)
    {
        TTrayIcon::SetAvailabilityProbe([available] { return available; });
    }
    ~TTrayProbe()
    {
        TTrayIcon::SetAvailabilityProbe([] { return QSystemTrayIcon::isSystemTrayAvailable(); });
    }
};

}  // namespace

TEST_F(TWindowTest, LabelsShowCountsAndBytesOrDashesByDataMode)
{
    const int port0 = FreePort(), port4 = FreePort();
    Open({{.Channel = 1, .ListenPort = port0, .MapPort = Target.Port(), .DataMode = 0},
          {.Channel = 2, .ListenPort = port4, .MapPort = Target.Port(), .DataMode = 4}});
    EXPECT_EQ(Label(1), QStringLiteral("n/a"));
    Form->StartMappings();
    for (int port : {port0, port4}) {
        TClient client(port);
        ASSERT_TRUE(client.Send("12345"));
        ASSERT_EQ(client.Receive(5), "12345");
    }
    // act, tot, then the byte columns: dashes in mode 0, five characters and a unit in mode 4.
    EXPECT_TRUE(WaitFor([&] { return Label(1) == QStringLiteral("  0     1     -     -"); }))
        << Label(1).toStdString();
    EXPECT_TRUE(WaitFor([&] { return Label(2) == QStringLiteral("  0     1     5B     5B"); }))
        << Label(2).toStdString();
    EXPECT_EQ(Label(3), QString()) << "an inactive channel shows nothing";
}

TEST_F(TWindowTest, ResetDuringOpenConnectionKeepsActAtZeroWhenItEnds)
{
    const int port = FreePort();
    Open({{.ListenPort = port, .MapPort = Target.Port(), .DataMode = 0}});
    Form->StartMappings();
    TClient client(port);
    ASSERT_TRUE(client.Send("x"));
    ASSERT_EQ(client.Receive(1), "X");
    ASSERT_TRUE(WaitFor([&] { return Label(1).startsWith(QStringLiteral("  1     0")); }));

    Form->StatusPage->ResetButton->click();
    EXPECT_EQ(Label(1), QStringLiteral("  0     0     -     -")) << "the reset shows at once";
    client.Close();
    EXPECT_TRUE(WaitFor([&] { return Label(1) == QStringLiteral("  0     1     -     -"); }))
        << Label(1).toStdString();
}

TEST_F(TWindowTest, FailedActivationShowsItsErrorEmptyLabelAndNeutralLight)
{
    // Channel 2 wants the port the target already listens on.
    const int port = FreePort();
    Open({{.Channel = 1, .ListenPort = port, .MapPort = Target.Port()},
          {.Channel = 2,
           .ListenPort = Target.Port(),
           .MapPort = Target.Port(),
           .Remarks = QStringLiteral("taken")}});
    Form->StartMappings();
    EXPECT_TRUE(ScreenHas(QStringLiteral("Channel 2: (taken) Error: ")));
    EXPECT_TRUE(ScreenHas(QStringLiteral("already in use")));
    EXPECT_EQ(Form->StatusPage->Channels->LightColour(1), QColor(0, 128, 0));
    EXPECT_NE(Form->StatusPage->Channels->LightColour(2), QColor(0, 128, 0));
    EXPECT_TRUE(WaitFor([&] { return Label(1).startsWith(QStringLiteral("  0     0")); }));
    EXPECT_EQ(Label(2), QString());

    Form->StopMappings();
    EXPECT_NE(Form->StatusPage->Channels->LightColour(1), QColor(0, 128, 0));
}

TEST_F(TWindowTest, RestartNoticeAppearsWhileNothingRuns)
{
    Open({{.ListenPort = FreePort(), .MapPort = Target.Port()}});
    EXPECT_EQ(Form->StatusText(), QString());
    Row(1).MapPort->setValue(Row(1).MapPort->value() + 1);
    EXPECT_TRUE(WaitFor([&] { return Form->StatusText() == RestartNotice; }, NoticeWaitMs));
    Form->SaveConfigAction->trigger();
    EXPECT_EQ(Form->StatusText(), QString());
    EXPECT_FALSE(Form->PortConfigChanged);
}

TEST_F(TWindowTest, TrayTipMenuDoubleClickAndSingleClick)
{
    TTrayProbe probe(true);
    const QString extra(80, QLatin1Char('x'));
    Open(Ini({}, QStringLiteral("GotoTNA=1\nAppTitle=") + extra + '\n'));
    EXPECT_EQ(Form->windowTitle(), QStringLiteral("Trabix - Ostrelay V1.2 - ") + extra);
    Form->show();
    Form->GoToTray();
    ASSERT_TRUE(Form->Tray->Shown());
    EXPECT_FALSE(Form->isVisible());
    const QString tip = Form->Tray->SystemIcon()->toolTip();
    EXPECT_EQ(tip, (QStringLiteral("Trabix V1.2 - ") + extra).left(63));

    const QList<QAction*> items = Form->Tray->PopupMenu()->actions();
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[0]->text(), QStringLiteral("Restore"));
    EXPECT_TRUE(items[1]->isSeparator());
    EXPECT_EQ(items[2]->text(), QStringLiteral("Exit"));

    Form->GoToTray();
    EXPECT_EQ(Form->Tray->findChildren<QSystemTrayIcon*>().size(), 1) << "at most one icon";

    // A single click restores: StatusNotifierItem trays report nothing else. The icon is
    // deleted later, not inside its own signal, and its late events do nothing.
    QPointer<QSystemTrayIcon> icon = Form->Tray->SystemIcon();
    emit icon->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(Form->isVisible());
    EXPECT_FALSE(Form->Tray->Shown());
    ASSERT_FALSE(icon.isNull());
    Form->hide();
    emit icon->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_FALSE(Form->isVisible());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(icon.isNull());

    Form->show();
    Form->GoToTray();
    emit Form->Tray->SystemIcon()->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(Form->isVisible());
    EXPECT_FALSE(Form->Tray->Shown());
}

TEST_F(TWindowTest, TrayExitRunsTheCloseQuery)
{
    TTrayProbe probe(true);
    Open({{.ListenPort = FreePort(), .MapPort = Target.Port()}}, QStringLiteral("GotoTNA=1\n"));
    Form->show();
    Form->StartMappings();
    Form->GoToTray();
    Prompts.Answers = {false};
    Form->Tray->PopupMenu()->actions()[2]->trigger();
    EXPECT_EQ(Prompts.Questions.size(), 1);
    EXPECT_TRUE(Form->Tray->Shown()) << "a refused close leaves the program in the tray";
    EXPECT_TRUE(Form->MappingsActive);
}

TEST_F(TWindowTest, AutoStartRunsOnceAndGoesToTheTrayOnlyWhereOneExists)
{
    for (bool trayExists : {true, false}) {
        SCOPED_TRACE(trayExists ? "with tray" : "without tray");
        TTrayProbe probe(trayExists);
        const int port = FreePort();
        Open({{.ListenPort = port, .MapPort = Target.Port()}},
             QStringLiteral("AutoStart=1\nGotoTNA=1\n"));
        Form->show();
        ASSERT_TRUE(WaitFor([&] { return !Form->Timer2->isActive(); }));
        EXPECT_TRUE(Form->MappingsActive);
        EXPECT_TRUE(Prompts.Questions.isEmpty());
        EXPECT_EQ(Form->isVisible(), !trayExists);
        EXPECT_EQ(Form->Tray->Shown(), trayExists);
        EXPECT_EQ(ScreenLines().filter(QStringLiteral("listening to connections")).size(), 1);
        Form.reset();
    }
}

TEST_F(TWindowTest, MinimisingWithoutTrayMinimisesAsUsual)
{
    TTrayProbe probe(false);
    Open(Ini({}, QStringLiteral("GotoTNA=1\n")));
    Form->show();
    Form->ApplicationMinimize();
    EXPECT_TRUE(Form->isVisible());
    EXPECT_FALSE(Form->Tray->Shown());
}

TEST_F(TWindowTest, AboutBoxKeepsItsTitlesAndHeightAndReportsEachFailedLaunch)
{
    Open(Ini({}));
    int launches = 0;
    TPMAboutDialog about(Prompts, [&](const std::string& url) {
        EXPECT_EQ(url, MakerWebAddress.toStdString());
        ++launches;
        return false;
    });
    for (int round = 0; round < 2; ++round) {
        about.PrepareShow(QStringLiteral("Trabix V1.2"), QStringLiteral("Trabix - Ostrelay V1.2"));
        about.show();
        EXPECT_EQ(about.height(), 275);
        EXPECT_EQ(about.windowTitle(), QStringLiteral("Trabix V1.2"));
        EXPECT_EQ(about.VersionLabel->text(), QStringLiteral("Trabix - Ostrelay V1.2"));
        QTest::keyClick(&about, round == 0 ? Qt::Key_Escape : Qt::Key_Return);
        EXPECT_FALSE(about.isVisible());
        EXPECT_EQ(about.result(), QDialog::Accepted);
    }
    const QStringList help = about.Memo1->toPlainText().split('\n');
    ASSERT_EQ(help.size(), 5);
    EXPECT_EQ(help[1], MakerWebAddress);
    EXPECT_TRUE(help[3].endsWith(MakerMailAddress));

    about.show();
    QTest::mouseClick(about.URILabel, Qt::LeftButton);
    QTest::mouseClick(about.URILabel, Qt::LeftButton);
    EXPECT_EQ(launches, 2);
    EXPECT_EQ(Prompts.Messages, QStringList(2, QStringLiteral("Error calling Default-Webbrowser")));
    EXPECT_TRUE(about.isVisible()) << "the box stays open";
}

TEST_F(TWindowTest, AntiFreezeOfTheWindowPumpsTheEventLoop)
{
    Open(Ini({}));
    ASSERT_NE(TIdAntiFreezeBase::Instance(), nullptr);
    EXPECT_EQ(TIdAntiFreezeBase::ActiveIdleTimeOut(), 250);
    bool fired = false;
    QTimer::singleShot(0, [&] { fired = true; });
    TIdAntiFreezeBase::DoProcess(true);
    EXPECT_TRUE(fired);
    Form.reset();
    EXPECT_EQ(TIdAntiFreezeBase::Instance(), nullptr);
}

TEST(WindowFit, BoundsAndFrameAreMovedAndCutIntoTheArea)
{
    const QRect area(0, 0, 853, 600);
    const QMargins frame(4, 24, 4, 4);
    const QRect fitted = FitIntoArea(QRect(0, 0, 1100, 560), area, frame);
    EXPECT_TRUE(area.contains(fitted.marginsAdded(frame)))
        << fitted.width() << "x" << fitted.height();
    EXPECT_EQ(fitted.size(), QSize(845, 560));
    const QRect away = FitIntoArea(QRect(3000, -20, 400, 300), area, frame);
    EXPECT_TRUE(area.contains(away.marginsAdded(frame)));
    EXPECT_EQ(away.size(), QSize(400, 300));
    EXPECT_EQ(FitIntoArea(QRect(100, 100, 400, 300), area, frame), QRect(100, 100, 400, 300));
}

TEST_F(TWindowTest, RestoredBoundsFitTheScreenAndNarrowFieldsKeepADottedQuad)
{
    Open(Ini({}) + QStringLiteral("[WindowPos]\nTop=-50\nLeft=2000\nHeight=4000\nWidth=5000\n"));
    const QRect screen = Form->screen()->availableGeometry();
    EXPECT_TRUE(screen.contains(Form->geometry())) << "fitted at start";

    Form->show();
    Form->resize(200, 200);  // far below what the channel table needs
    QCoreApplication::processEvents();
    auto* scroll = qobject_cast<QScrollArea*>(Form->Pages->widget(0));
    ASSERT_NE(scroll, nullptr);
    EXPECT_GT(scroll->horizontalScrollBar()->maximum(), 0) << "the page scrolls";
    for (int n = 1; n <= ChannelCount; ++n)
        for (QLineEdit* field : {Row(n).Remarks, Row(n).BindIp, Row(n).MapIp}) {
            // The text area as QLineEdit lays it out: the style's contents rect, the text
            // margins and 2 pixels on each side.
            QStyleOptionFrame option;
            option.initFrom(field);
            option.lineWidth = field->style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
            const QRect text = field->style()
                                   ->subElementRect(QStyle::SE_LineEditContents, &option, field)
                                   .marginsRemoved(field->textMargins())
                                   .adjusted(2, 0, -2, 0);
            EXPECT_LE(field->fontMetrics().horizontalAdvance(TChannelTable::WidestAddress()),
                      text.width());
        }
}

TEST_F(TWindowTest, AboutBoxShowsItsLinkAndHelpTextWhole)
{
    Open(Ini({}));
    About->PrepareShow(QStringLiteral("Trabix V1.2"), QStringLiteral("Trabix - Ostrelay V1.2"));
    About->show();
    QCoreApplication::processEvents();
    const QRect link = About->URILabel->geometry();
    EXPECT_LE(link.right(), About->width() - 1);
    EXPECT_GE(link.width(), About->URILabel->sizeHint().width());
    EXPECT_GE(link.left(), About->VersionLabel->geometry().right());
    EXPECT_LT(About->Memo1->geometry().bottom(), About->OKBtn->geometry().top());
    EXPECT_EQ(About->Memo1->verticalScrollBar()->maximum(), 0) << "every help line shows";
    About->hide();
}
