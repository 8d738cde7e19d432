// The "Channel Settings" dialog and the warning mark of a channel open to other machines.
#include "WindowFixture.h"

#include "app/channel/AccessPage.h"
#include "app/channel/ChannelSettingsDialog.h"
#include "config/pm_config.h"
#include "engine/qv_IdMappedPortTCP.h"

#include <QAbstractButton>
#include <QDialogButtonBox>
#include <QLabel>
#include <QTabWidget>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>

using namespace apptest;

TEST(ChannelSettingsDialogTest, ChecksTheAllowListAsTypedAndRefusesToCloseOnABadOne)
{
    trabix::TPM_port port;
    port.Remarks = "web";
    port.AllowFrom = "10.0.0.0/8";
    port.MaxConnections = 5;
    TChannelSettingsDialog dialog(2, port);
    dialog.show();
    QPushButton* ok = dialog.Buttons->button(QDialogButtonBox::Ok);
    QLineEdit* allow = dialog.Access->AllowFrom;
    EXPECT_TRUE(ok->isEnabled());

    QTest::keyClicks(allow, ", 10.1");
    EXPECT_FALSE(ok->isEnabled());
    EXPECT_TRUE(dialog.Access->AllowFromCheck->text().contains(QStringLiteral("\"10.1\"")));
    QTest::keyClick(allow, Qt::Key_Return);  // Enter reaches accept(), which must refuse too
    dialog.accept();
    EXPECT_TRUE(dialog.isVisible());

    QTest::keyClicks(allow, ".2.3");
    EXPECT_TRUE(ok->isEnabled());
    dialog.Access->MaxConnectionsPerSource->setValue(3);
    ok->click();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    trabix::TPM_port stored;
    stored.Remarks = "kept";
    dialog.Store(stored);
    EXPECT_EQ(stored.AllowFrom, "10.0.0.0/8, 10.1.2.3");
    EXPECT_EQ(stored.MaxConnections, 5);
    EXPECT_EQ(stored.MaxConnectionsPerSource, 3);
    EXPECT_EQ(stored.Remarks, "kept");  // a page stores its own fields only
}

// Alt with a letter must reach one control: the tab titles are always visible, so no page may
// use a letter of a tab title or one its own controls already use.
TEST(ChannelSettingsDialogTest, EveryPageHasItsOwnAltLetters)
{
    trabix::TPM_port port;
    TChannelSettingsDialog dialog(1, port);
    const auto letterOf = [](const QString& text) -> QChar {
        const qsizetype at = text.indexOf(QLatin1Char('&'));
        return at >= 0 && at + 1 < text.size() ? text.at(at + 1).toLower() : QChar();
    };
    QStringList tabLetters;
    for (int i = 0; i < dialog.Pages->count(); ++i)
        tabLetters << QString(letterOf(dialog.Pages->tabText(i)));
    for (int i = 0; i < dialog.Pages->count(); ++i) {
        QStringList used = tabLetters;
        QWidget* page = dialog.Pages->widget(i);
        QStringList texts;
        for (const QLabel* label : page->findChildren<QLabel*>())
            texts << label->text();
        for (const QAbstractButton* button : page->findChildren<QAbstractButton*>())
            texts << button->text();
        for (const QString& text : texts) {
            const QChar letter = letterOf(text);
            if (letter.isNull())
                continue;
            EXPECT_FALSE(used.contains(QString(letter)))
                << dialog.Pages->tabText(i).toStdString() << ": " << text.toStdString();
            used << QString(letter);
        }
        EXPECT_EQ(tabLetters.removeDuplicates(), 0);
    }
}

TEST_F(TWindowTest, RowSettingsApplyToTheRunningChannelAndClearTheWarningMark)
{
    const int port = FreePort();
    // Channel 2 listens on every address but is never started: no test listens beyond loopback.
    Open({{.ListenPort = port, .MapPort = Target.Port()},
          {.Channel = 2,
           .ListenPort = FreePort(),
           .MapPort = Target.Port(),
           .BindIp = "",
           .Map = false}});
    const auto marked = [&](int n) { return Row(n).Exposed->isVisibleTo(Form.get()); };
    EXPECT_FALSE(marked(1));
    EXPECT_FALSE(marked(2)) << "not mapped: it neither listens nor will at the next start";
    EXPECT_EQ(Row(2).Exposed->toolTip(), QStringLiteral("Reachable from other machines"));
    Form->StartMappings();
    Row(1).BindIp->setText(QStringLiteral("0.0.0.0"));  // takes effect at a restart only
    EXPECT_TRUE(marked(1));

    Row(1).Settings->click();
    auto* dialog = Form->findChild<TChannelSettingsDialog*>();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());
    dialog->Access->AllowFrom->setText(QStringLiteral("127.0.0.2"));
    dialog->Buttons->button(QDialogButtonBox::Ok)->click();
    EXPECT_FALSE(marked(1));
    EXPECT_EQ(Settings.Port(1).AllowFrom, "127.0.0.2");
    EXPECT_TRUE(Form->ConfigChanged);

    TClient refused(port);  // from 127.0.0.1
    ASSERT_TRUE(WaitScreenHas(QStringLiteral("Channel 1; Refused connection from 127.0.0.1:")));
    EXPECT_TRUE(WaitFor([&] {
        Form->UpdateStatusLabels();
        return Row(1).Status->toolTip() == QStringLiteral("Refused connections: 1");
    }));
}

TEST_F(TWindowTest, StartLineSaysWhenTheAllowListDoesNotParse)
{
    const int port = FreePort();
    Open(Ini({{.ListenPort = port, .MapPort = Target.Port()}}) +
         QStringLiteral("AllowFrom=127.0.0.1, 127.0.0.0/40\n"));
    Form->StartMappings();
    EXPECT_TRUE(ScreenHas(
        QStringLiteral(
            "Channel 1: (echo) listening to connections on 127.0.0.1:%1; AllowFrom not valid "
            "(\"127.0.0.0/40\" is not an IPv4 address or range): refusing every client")
            .arg(port)));
    TClient client(port);
    EXPECT_TRUE(WaitScreenHas(QStringLiteral("Refused connection from 127.0.0.1:")));
}
