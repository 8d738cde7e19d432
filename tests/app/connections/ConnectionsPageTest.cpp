// The "Connections" tab and the stream view on the real window: rows from the registries,
// the channel filter, Close Connection from the Delete key, and the captured bytes of a
// connection shown, searched and saved.
#include "WindowFixture.h"

#include "app/connections/ConnectionModel.h"
#include "app/connections/ConnectionsPage.h"
#include "app/connections/StreamView.h"
#include "config/pm_config.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace apptest {
namespace {

class ConnectionsPageTest : public TWindowTest {
protected:
    TConnectionsPage* Page() const { return Form->ConnectionsPage; }
    // Shows the tab and waits until the rows match.
    bool WaitRows(int count)
    {
        Form->Pages->setCurrentWidget(Page());
        return QTest::qWaitFor(
            [&] {
                Page()->Refresh();
                return Page()->Proxy->rowCount() == count;
            },
            10000);
    }
    QString Cell(int row, int column) const
    {
        return Page()->Proxy->index(row, column).data().toString();
    }
    // Starts channel 1 (capturing or not, as the Capture page stores it), sends AText through
    // a new connection of Client, and opens the stream view of that connection.
    TStreamView* StreamAfter(bool capture, const std::string& text)
    {
        const int port = FreePort();
        Open({{.ListenPort = port, .MapPort = Target.Port(), .DataMode = 0}});
        Settings.Port(1).Capture = capture;
        Form->StartMappings();
        Client = std::make_unique<TClient>(port);
        EXPECT_TRUE(Client->Send(text));
        EXPECT_EQ(Client->Receive(text.size()),
                  QString::fromStdString(text).toUpper().toStdString());
        if (!WaitRows(1))
            return nullptr;
        Page()->View->selectRow(0);
        Page()->ShowStream(Page()->Selected().at(0));
        return Page()->findChild<TStreamView*>();
    }
    std::unique_ptr<TClient> Client;
};

TEST_F(ConnectionsPageTest, ListsFiltersAndClosesConnectionsOfEveryChannel)
{
    const int port1 = FreePort();
    const int port2 = FreePort();
    Open({{.Channel = 1, .ListenPort = port1, .MapPort = Target.Port(), .DataMode = 0},
          {.Channel = 2, .ListenPort = port2, .MapPort = Target.Port(), .DataMode = 0}});
    Form->StartMappings();
    TClient a(port1);
    TClient b(port2);
    ASSERT_TRUE(a.Send("abc"));
    EXPECT_EQ(a.Receive(3), "ABC");
    ASSERT_TRUE(WaitRows(2));
    // Data mode 0 counts nothing on the channel, the row counts the bytes anyway.
    Page()->View->sortByColumn(TConnectionModel::ColChannel, Qt::AscendingOrder);
    EXPECT_EQ(Cell(0, TConnectionModel::ColChannel), QStringLiteral("1"));
    EXPECT_EQ(Cell(0, TConnectionModel::ColTarget),
              QStringLiteral("127.0.0.1:%1").arg(Target.Port()));
    EXPECT_EQ(Cell(0, TConnectionModel::ColBytesCS), QStringLiteral("3 bytes"));
    EXPECT_EQ(Cell(0, TConnectionModel::ColState), QStringLiteral("relaying"));

    Page()->ChannelFilter->setCurrentIndex(2);  // "Channel 2"
    ASSERT_EQ(Page()->Proxy->rowCount(), 1);
    EXPECT_EQ(Cell(0, TConnectionModel::ColChannel), QStringLiteral("2"));
    Page()->View->selectRow(0);
    Page()->View->setFocus();
    QTest::keyClick(Page()->View, Qt::Key_Delete);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            Page()->Refresh();
            return Cell(0, TConnectionModel::ColState) == QStringLiteral("closed on request");
        },
        10000));
    // Through the stop path: the disconnect line follows as for any other end.
    EXPECT_TRUE(WaitScreenHas(QStringLiteral("Disconnect (incoming).")));
    Page()->ChannelFilter->setCurrentIndex(0);
    EXPECT_EQ(Page()->Proxy->rowCount(), 2);
}

TEST_F(ConnectionsPageTest, StreamViewShowsSearchesAndSavesTheCapturedBytes)
{
    TStreamView* view = StreamAfter(true, "hello relay");
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->Bytes(TStreamView::ClientToServer), "hello relay");
    EXPECT_EQ(view->Bytes(TStreamView::ServerToClient), "HELLO RELAY");
    EXPECT_EQ(view->Bytes(TStreamView::Both), "hello relayHELLO RELAY");
    // Growing live: what comes later appears at the next poll.
    ASSERT_TRUE(Client->Send("!"));
    EXPECT_EQ(Client->Receive(1), "!");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            view->Poll();
            return view->Bytes(TStreamView::Both).size() == 24;
        },
        10000));
    view->SearchHex->setChecked(true);
    view->Search->setText(QStringLiteral("48 45 4c"));  // "HEL"
    EXPECT_TRUE(view->FindNext());
    EXPECT_EQ(view->Text->textCursor().selectedText(), QStringLiteral("HEL"));
    view->HexMode->setChecked(true);
    EXPECT_TRUE(view->Text->toPlainText().contains(QStringLiteral("68 65 6C 6C 6F")));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("both.bin"));
    ASSERT_TRUE(view->SaveTo(TStreamView::Both, path));
    QFile saved(path);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll().toStdString(), "hello relayHELLO RELAY!!");
}

TEST_F(ConnectionsPageTest, StreamViewOfAChannelWithoutCaptureSaysHowToTurnItOn)
{
    TStreamView* view = StreamAfter(false, "x");
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(view->Info->text().contains(QStringLiteral("does not keep the bytes")));
    EXPECT_TRUE(view->Info->text().contains(QStringLiteral("Capture")));
    EXPECT_EQ(view->Bytes(TStreamView::Both), "");
}

TEST_F(ConnectionsPageTest, TheTlsColumnTellsWhatEachLegNegotiated)
{
    const int port = FreePort();
    Open(Ini({{.ListenPort = port, .MapPort = Target.Port(), .DataMode = 0}}) +
         QStringLiteral("TlsClient=1\n"));
    Form->StartMappings();
    // openssl's own client, kept open after its line came back upper-cased.
    QProcess client;
    client.start(QStringLiteral("openssl"),
                 {QStringLiteral("s_client"), QStringLiteral("-quiet"),
                  QStringLiteral("-connect"), QStringLiteral("127.0.0.1:%1").arg(port),
                  QStringLiteral("-servername"), QStringLiteral("tab.test")});
    ASSERT_TRUE(client.waitForStarted(10000));
    client.write("plain to the target\n");
    QByteArray answer;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            answer += client.readAllStandardOutput();
            return answer.contains("PLAIN TO THE TARGET");
        },
        10000))
        << answer.toStdString();
    ASSERT_TRUE(WaitRows(1));
    const QString tls = Cell(0, TConnectionModel::ColTls);
    EXPECT_TRUE(tls.startsWith(QStringLiteral("client TLSv1.3 TLS_"))) << tls.toStdString();
    EXPECT_TRUE(tls.endsWith(QStringLiteral(" SNI tab.test"))) << tls.toStdString();
    EXPECT_FALSE(tls.contains(QStringLiteral("target"))) << "the target leg is plain";
    EXPECT_EQ(Page()->Proxy->index(0, TConnectionModel::ColTls).data(Qt::ToolTipRole).toString(),
              tls);
    EXPECT_EQ(Page()->Model->headerData(TConnectionModel::ColTls, Qt::Horizontal,
                                         Qt::DisplayRole),
              QStringLiteral("TLS"));
    client.kill();
    client.waitForFinished(10000);
}

}  // namespace
}  // namespace apptest
