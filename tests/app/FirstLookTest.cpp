// What a first start shows: every access key underlined (never a literal '&'), a window wide
// enough for the channel table and the Connections tab's columns, and the warning mark only
// beside channels that listen or will listen.
#include "WindowFixture.h"

#include "app/channel/ChannelSettingsDialog.h"
#include "app/connections/ConnectionsPage.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QTableView>
#include <QToolButton>

namespace apptest {
namespace {

// A plain-text label shows an access key ("&x") only when it has a buddy to hand the focus
// to; without one the '&' stands in the shown text. "&&" is a literal '&' either way.
bool ShowsLiteralAmpersand(const QLabel& label)
{
    const QString text = label.text();
    if (label.textFormat() == Qt::RichText ||
        (label.textFormat() == Qt::AutoText && Qt::mightBeRichText(text)))
        return false;
    bool accessKey = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != QLatin1Char('&'))
            continue;
        if (i + 1 < text.size() && text[i + 1] == QLatin1Char('&'))
            ++i;
        else
            accessKey = true;
    }
    return accessKey && !label.buddy();
}

QStringList LabelsWithLiteralAmpersand(const QWidget& root)
{
    QStringList found;
    for (const QLabel* label : root.findChildren<QLabel*>())
        if (ShowsLiteralAmpersand(*label))
            found << label->text();
    return found;
}

}  // namespace

TEST_F(TWindowTest, EveryLabelOfTheWindowAndOfEachChannelSettingsPageShowsItsAccessKey)
{
    Open({{.ListenPort = FreePort(), .MapPort = Target.Port()}});
    EXPECT_EQ(LabelsWithLiteralAmpersand(*Form), QStringList());

    TChannelSettingsDialog dialog(1, Settings.Port(1), Form.get());
    ASSERT_GE(dialog.Pages->count(), 3);
    for (int page = 0; page < dialog.Pages->count(); ++page) {
        const QWidget* shown = dialog.Pages->widget(page);
        EXPECT_EQ(LabelsWithLiteralAmpersand(*shown), QStringList())
            << dialog.Pages->tabText(page).toStdString();
        // The check itself: a label with an access key and no buddy is caught.
        auto* bare = new QLabel(QStringLiteral("&Bare"), dialog.Pages->widget(page));
        EXPECT_EQ(LabelsWithLiteralAmpersand(*shown), QStringList{QStringLiteral("&Bare")});
        delete bare;
    }
    EXPECT_EQ(LabelsWithLiteralAmpersand(dialog), QStringList());
}

TEST_F(TWindowTest, WithoutStoredBoundsTheWindowOpensWideEnoughForTheTableAndTheConnections)
{
    Open({{.ListenPort = FreePort(), .MapPort = Target.Port(), .BindIp = ""}});
    ASSERT_FALSE(Sandbox.ReadIni().contains(QStringLiteral("[WindowPos]")));
    const QRect screen = Form->screen()->availableGeometry();
    ASSERT_GE(screen.width(), 1280) << "the tests' offscreen screen (offscreen-screen.json)";
    Form->show();
    QCoreApplication::processEvents();
    EXPECT_TRUE(screen.contains(Form->geometry()));

    auto* scroll = qobject_cast<QScrollArea*>(Form->Pages->widget(0));
    ASSERT_NE(scroll, nullptr);
    EXPECT_EQ(scroll->horizontalScrollBar()->maximum(), 0) << "width " << Form->width();
    // The row's last cells lie inside the page: the mark and the "..." button.
    const QRect page = scroll->viewport()->rect();
    for (QWidget* cell : {static_cast<QWidget*>(Row(1).Exposed),
                          static_cast<QWidget*>(Row(1).Settings)}) {
        const QRect at(cell->mapTo(scroll->viewport(), QPoint(0, 0)), cell->size());
        EXPECT_TRUE(page.contains(at)) << cell->metaObject()->className();
    }
    EXPECT_TRUE(Row(1).Exposed->isVisible());

    Form->Pages->setCurrentWidget(Form->ConnectionsPage);
    QCoreApplication::processEvents();
    QTableView* view = Form->ConnectionsPage->View;
    EXPECT_LE(view->horizontalHeader()->length(), view->viewport()->width())
        << "every column of the Connections tab is in view";
}

TEST_F(TWindowTest, StoredBoundsAreRestoredAsStored)
{
    Open(Ini({}) + QStringLiteral("[WindowPos]\nTop=40\nLeft=30\nHeight=450\nWidth=700\n"));
    EXPECT_EQ(Form->geometry().size(), QSize(700, 450));
}

TEST_F(TWindowTest, OnlyAChannelThatListensOrWillListenCarriesTheReachableMark)
{
    Open({{.ListenPort = FreePort(), .MapPort = Target.Port(), .BindIp = ""},
          {.Channel = 2, .ListenPort = FreePort(), .MapPort = Target.Port(), .BindIp = "",
           .Map = false}});
    const auto marked = [&](int n) { return Row(n).Exposed->isVisibleTo(Form.get()); };
    EXPECT_TRUE(marked(1));
    for (int n = 2; n <= ChannelCount; ++n)
        EXPECT_FALSE(marked(n)) << "channel " << n << " is not mapped";

    Row(2).Map->setChecked(true);  // listens at the next start
    EXPECT_TRUE(marked(2));
    Row(1).Map->setChecked(false);
    EXPECT_FALSE(marked(1));
    Row(2).BindIp->setText(QStringLiteral("127.0.0.1"));
    EXPECT_FALSE(marked(2));
}

}  // namespace apptest
