// The "TLS" page of the "Channel Settings" dialog: the fields a mode turns on, the warning mark
// of an unchecked target, what OK refuses, and the local certificate authority's fingerprint
// and export.
#include "WindowFixture.h"

#include "app/channel/ChannelSettingsDialog.h"
#include "app/channel/TlsPage.h"
#include "config/pm_config.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDialogButtonBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>

namespace apptest {
namespace {

// The SHA-256 of the DER certificate inside a PEM file, as colon-separated upper-case pairs.
QString PemFingerprint(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray body;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (!line.startsWith("-----"))
            body += line;
    return QString::fromLatin1(
        QCryptographicHash::hash(QByteArray::fromBase64(body), QCryptographicHash::Sha256)
            .toHex(':')
            .toUpper());
}

QString Read(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
}

class TlsPageTest : public TWindowTest {
protected:
    // The dialog of a channel whose record is APort, with the TLS page shown.
    std::unique_ptr<TChannelSettingsDialog> Dialog(const trabix::TPM_port& APort)
    {
        auto dialog = std::make_unique<TChannelSettingsDialog>(1, APort);
        dialog->Pages->setCurrentWidget(dialog->Tls);
        dialog->show();
        return dialog;
    }
    static bool Shown(const QWidget* AMark, const QWidget* APage)
    {
        return AMark->isVisibleTo(APage);
    }
};

TEST_F(TlsPageTest, ModesTurnTheirFieldsOnAndAnUncheckedTargetCarriesTheWarningMark)
{
    trabix::TPM_port port;
    port.TlsTarget = 1;
    port.TlsVerify = false;
    port.TlsServerName = "backend.test";
    port.TlsCaFile = "/etc/ssl/kept.pem";
    auto dialog = Dialog(port);
    TTlsPage* page = dialog->Tls;
    EXPECT_TRUE(Shown(page->VerifyOffMark, page));
    EXPECT_TRUE(page->VerifyOffMark->toolTip().contains(QStringLiteral("not checked")));
    EXPECT_FALSE(page->CaFile->isEnabled()) << "no trust anchors while nothing is checked";
    EXPECT_EQ(page->CaFile->text(), QStringLiteral("/etc/ssl/kept.pem"));
    EXPECT_FALSE(page->IssueFromAuthority->isEnabled()) << "the client side is off";
    EXPECT_TRUE(page->IssueFromAuthority->isChecked()) << "no certificate file: issued";

    page->Verify->click();
    EXPECT_FALSE(Shown(page->VerifyOffMark, page));
    EXPECT_TRUE(page->CaFile->isEnabled());
    page->Verify->click();
    page->TargetMode->setCurrentIndex(0);  // nothing to check without TLS to the target
    EXPECT_FALSE(Shown(page->VerifyOffMark, page));
    EXPECT_FALSE(page->ServerName->isEnabled());
    EXPECT_EQ(page->ServerName->text(), QStringLiteral("backend.test")) << "kept for later";

    page->ClientMode->setCurrentIndex(1);
    EXPECT_TRUE(page->PassThroughRejected->isEnabled());
    EXPECT_FALSE(page->CertFile->isEnabled()) << "issued by the local authority";
    page->UseFiles->click();
    EXPECT_TRUE(page->CertFile->isEnabled());
    EXPECT_TRUE(page->KeyLogFile->isEnabled());
    page->ClientMode->setCurrentIndex(0);
    EXPECT_FALSE(page->KeyLogFile->isEnabled()) << "neither leg speaks TLS";
}

TEST_F(TlsPageTest, OkWaitsForACertificateFileAndStoresEveryKey)
{
    trabix::TPM_port port;
    auto dialog = Dialog(port);
    TTlsPage* page = dialog->Tls;
    QPushButton* ok = dialog->Buttons->button(QDialogButtonBox::Ok);
    page->ClientMode->setCurrentIndex(1);
    page->UseFiles->click();
    EXPECT_FALSE(ok->isEnabled()) << "files chosen, none named";
    EXPECT_FALSE(page->Problem().isEmpty());
    // The "..." button asks for the file and fills the edit.
    page->AskFileName = [](const QString& caption, bool save) {
        EXPECT_FALSE(save);
        EXPECT_EQ(caption, QStringLiteral("Certificate:"));
        return QStringLiteral("/srv/leaf.pem");
    };
    auto* browse = page->CertFile->property("browse").value<QObject*>();
    ASSERT_NE(qobject_cast<QToolButton*>(browse), nullptr);
    qobject_cast<QToolButton*>(browse)->click();
    EXPECT_EQ(page->CertFile->text(), QStringLiteral("/srv/leaf.pem"));
    EXPECT_TRUE(ok->isEnabled());

    page->TargetMode->setCurrentIndex(1);
    QTest::keyClicks(page->ClientKeyFile, QStringLiteral("/srv/client.key"));
    EXPECT_FALSE(ok->isEnabled()) << "a client key without its certificate";
    QTest::keyClicks(page->ClientCertFile, QStringLiteral("/srv/client.pem"));
    EXPECT_TRUE(ok->isEnabled());
    QTest::keyClicks(page->ServerName, QStringLiteral("api.test"));
    page->Verify->click();
    page->PassThroughRejected->click();
    QTest::keyClicks(page->KeyLogFile, QStringLiteral("/tmp/keys.log"));
    ok->click();
    ASSERT_EQ(dialog->result(), QDialog::Accepted);

    trabix::TPM_port stored;
    dialog->Store(stored);
    EXPECT_EQ(stored.TlsClient, 1);
    EXPECT_EQ(stored.TlsCertFile, "/srv/leaf.pem");
    EXPECT_EQ(stored.TlsKeyFile, "");
    EXPECT_EQ(stored.TlsTarget, 1);
    EXPECT_EQ(stored.TlsServerName, "api.test");
    EXPECT_FALSE(stored.TlsVerify);
    EXPECT_EQ(stored.TlsClientCertFile, "/srv/client.pem");
    EXPECT_EQ(stored.TlsClientKeyFile, "/srv/client.key");
    EXPECT_FALSE(stored.TlsPassThroughRejected);
    EXPECT_EQ(stored.TlsKeyLogFile, "/tmp/keys.log");

    // Back to issued certificates: the files are no longer the channel's.
    auto again = Dialog(stored);
    again->Tls->IssueFromAuthority->click();
    again->Store(stored);
    EXPECT_EQ(stored.TlsCertFile, "");
}

TEST_F(TlsPageTest, ExportCaMakesTheAuthorityOnceAndShowsItsFingerprint)
{
    // The sandbox holds the settings file: the authority lives beside it.
    const QString authority = Sandbox.Path() + QStringLiteral("/TrabixCA.pem");
    auto dialog = Dialog(trabix::TPM_port());
    TTlsPage* page = dialog->Tls;
    EXPECT_FALSE(QFile::exists(authority)) << "showing the page makes nothing";
    EXPECT_TRUE(page->Fingerprint->text().startsWith(QStringLiteral("not made yet")));

    const QString exported = Sandbox.Path() + QStringLiteral("/exported.pem");
    page->AskFileName = [&](const QString&, bool save) {
        EXPECT_TRUE(save);
        return exported;
    };
    page->ExportCa->click();
    ASSERT_TRUE(QFile::exists(authority));
    EXPECT_EQ(Read(exported), Read(authority));
    EXPECT_TRUE(Read(exported).startsWith(QStringLiteral("-----BEGIN CERTIFICATE-----\n")));
    EXPECT_EQ(page->ExportResult->text(), QStringLiteral("Exported to ") + exported);
    const QString fingerprint = PemFingerprint(authority);
    ASSERT_EQ(fingerprint.size(), 32 * 3 - 1);
    EXPECT_EQ(page->Fingerprint->text(), QStringLiteral("SHA-256 ") + fingerprint);

    // A second dialog shows the same authority; a folder that does not exist is named.
    auto second = Dialog(trabix::TPM_port());
    EXPECT_EQ(second->Tls->Fingerprint->text(), QStringLiteral("SHA-256 ") + fingerprint);
    const QString nowhere = Sandbox.Path() + QStringLiteral("/missing/ca.pem");
    second->Tls->AskFileName = [&](const QString&, bool) { return nowhere; };
    second->Tls->ExportCa->click();
    EXPECT_TRUE(second->Tls->ExportResult->text().startsWith(QStringLiteral("Not exported: ")));
    EXPECT_TRUE(second->Tls->ExportResult->text().contains(nowhere));
    EXPECT_EQ(PemFingerprint(authority), fingerprint) << "the authority stays as it was";

    // Cancelled: nothing written, nothing said.
    second->Tls->ExportResult->clear();
    second->Tls->AskFileName = [](const QString&, bool) { return QString(); };
    second->Tls->ExportCa->click();
    EXPECT_EQ(second->Tls->ExportResult->text(), QString());
}

}  // namespace
}  // namespace apptest
