#include "app/channel/TlsPage.h"

#include "config/pm_config.h"
#include "engine/tls/TlsAuthority.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

const char* const VerifyOffText =
    "The target's certificate is not checked: whoever sits between the channel and the target "
    "can read and change the traffic";

QString FromStd(const std::string& text)
{
    return QString::fromStdString(text);
}

std::string ToStd(const QLineEdit* edit)
{
    return edit->text().trimmed().toStdString();
}

// The authority's certificate file beside the settings file (it may not exist yet).
QString AuthorityFile()
{
    return FromStd(trabix::SettingsFolder()) + QLatin1String(TTlsAuthority::kCertificateFile);
}

}  // namespace

TTlsPage::TTlsPage(QWidget* parent) : TChannelSettingsPage(parent)
{
    AskFileName = [this](const QString& caption, bool save) {
        return save ? QFileDialog::getSaveFileName(this, caption)
                    : QFileDialog::getOpenFileName(this, caption);
    };
    auto* layout = new QVBoxLayout(this);
    auto* clients = new QGroupBox(QStringLiteral("Towards the clients"), this);
    auto* target = new QGroupBox(QStringLiteral("Towards the target"), this);
    auto* both = new QFormLayout;
    BuildClientSide(new QFormLayout(clients));
    BuildTargetSide(new QFormLayout(target));
    KeyLogFile = AddFileRow(both, QStringLiteral("Key &log file:"),
                            QStringLiteral("none (NSS key log of both legs, for Wireshark)"), true);
    BuildAuthority(both);
    layout->addWidget(clients);
    layout->addWidget(target);
    layout->addLayout(both);
    layout->addStretch();
    UpdateFields();
    ShowAuthority();
}

void TTlsPage::BuildClientSide(QFormLayout* form)
{
    ClientMode = new QComboBox(this);
    ClientMode->addItems({QStringLiteral("Off: relay the clients' bytes as they come"),
                          QStringLiteral("Terminate: complete the clients' TLS handshakes")});
    form->addRow(QStringLiteral("&Client side:"), ClientMode);
    IssueFromAuthority = new QRadioButton(
        QStringLiteral("&Issue certificates from the local certificate authority"), this);
    UseFiles = new QRadioButton(QStringLiteral("Use these &files:"), this);
    form->addRow(IssueFromAuthority);
    form->addRow(UseFiles);
    CertFile = AddFileRow(form, QStringLiteral("Ce&rtificate:"),
                          QStringLiteral("PEM certificate (chain)"), false);
    KeyFile = AddFileRow(form, QStringLiteral("&Key:"),
                         QStringLiteral("PEM private key (empty: in the certificate file)"), false);
    PassThroughRejected = new QCheckBox(
        QStringLiteral("Relay a name untouched once its client re&jected the certificate"), this);
    form->addRow(PassThroughRejected);
    connect(ClientMode, &QComboBox::currentIndexChanged, this, &TTlsPage::UpdateFields);
    connect(UseFiles, &QRadioButton::toggled, this, &TTlsPage::UpdateFields);
}

void TTlsPage::BuildTargetSide(QFormLayout* form)
{
    TargetMode = new QComboBox(this);
    TargetMode->addItems({QStringLiteral("Off: send the target what the channel relays"),
                          QStringLiteral("Originate: speak TLS to the target")});
    form->addRow(QStringLiteral("Tar&get side:"), TargetMode);
    ServerName = new QLineEdit(this);
    ServerName->setPlaceholderText(
        QStringLiteral("the name the client asked for, else the Map IP"));
    form->addRow(QStringLiteral("Server &name:"), ServerName);
    Verify = new QCheckBox(QStringLiteral("&Verify the target's certificate and name"), this);
    VerifyOffMark = new QLabel(this);
    VerifyOffMark->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(14, 14));
    VerifyOffMark->setToolTip(QString::fromLatin1(VerifyOffText));
    QSizePolicy keepPlace = VerifyOffMark->sizePolicy();
    keepPlace.setRetainSizeWhenHidden(true);  // the check box does not move with the mark
    VerifyOffMark->setSizePolicy(keepPlace);
    auto* verifyRow = new QHBoxLayout;
    verifyRow->addWidget(Verify);
    verifyRow->addWidget(VerifyOffMark);
    verifyRow->addStretch();
    form->addRow(verifyRow);
    CaFile = AddFileRow(form, QStringLiteral("Trusted CA&s:"),
                        QStringLiteral("the system's trust store"), false);
    ClientCertFile = AddFileRow(form, QStringLiteral("Client certificat&e:"),
                                QStringLiteral("none (for targets that ask for one)"), false);
    ClientKeyFile = AddFileRow(form, QStringLiteral("Client ke&y:"),
                               QStringLiteral("empty: in the client certificate file"), false);
    connect(TargetMode, &QComboBox::currentIndexChanged, this, &TTlsPage::UpdateFields);
    connect(Verify, &QCheckBox::toggled, this, &TTlsPage::UpdateFields);
}

void TTlsPage::BuildAuthority(QFormLayout* form)
{
    Fingerprint = new QLabel(this);
    Fingerprint->setTextFormat(Qt::PlainText);
    Fingerprint->setWordWrap(true);
    Fingerprint->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(QStringLiteral("Local certificate authority:"), Fingerprint);
    ExportCa = new QPushButton(QStringLiteral("E&xport CA..."), this);
    ExportResult = new QLabel(this);
    ExportResult->setTextFormat(Qt::PlainText);
    ExportResult->setWordWrap(true);
    auto* row = new QHBoxLayout;
    row->addWidget(ExportCa);
    row->addWidget(ExportResult, 1);
    form->addRow(QString(), row);
    connect(ExportCa, &QPushButton::clicked, this, &TTlsPage::ExportAuthority);
}

QLineEdit* TTlsPage::AddFileRow(QFormLayout* AForm, const QString& ALabel,
                                const QString& APlaceholder, bool ASave)
{
    auto* edit = new QLineEdit(this);
    edit->setPlaceholderText(APlaceholder);
    auto* browse = new QToolButton(this);
    browse->setText(QStringLiteral("..."));
    browse->setToolTip(QStringLiteral("Choose a file"));
    auto* row = new QHBoxLayout;
    row->addWidget(edit, 1);
    row->addWidget(browse);
    // A row of a layout gets no buddy of its own: the label hands the focus to the edit.
    auto* label = new QLabel(ALabel, this);
    label->setBuddy(edit);
    AForm->addRow(label, row);
    connect(browse, &QToolButton::clicked, this, [this, edit, ALabel, ASave] {
        const QString chosen = AskFileName(QString(ALabel).remove(QLatin1Char('&')), ASave);
        if (!chosen.isEmpty())
            edit->setText(chosen);
    });
    connect(edit, &QLineEdit::textChanged, this, &TChannelSettingsPage::Edited);
    // The button is turned on and off with its edit (UpdateFields).
    edit->setProperty("browse", QVariant::fromValue(static_cast<QObject*>(browse)));
    return edit;
}

void TTlsPage::UpdateFields()
{
    const bool terminate = ClientMode->currentIndex() == 1;
    const bool originate = TargetMode->currentIndex() == 1;
    const auto enable = [](QLineEdit* edit, bool on) {
        edit->setEnabled(on);
        if (auto* browse = qobject_cast<QWidget*>(edit->property("browse").value<QObject*>()))
            browse->setEnabled(on);
    };
    IssueFromAuthority->setEnabled(terminate);
    UseFiles->setEnabled(terminate);
    enable(CertFile, terminate && UseFiles->isChecked());
    enable(KeyFile, terminate && UseFiles->isChecked());
    PassThroughRejected->setEnabled(terminate);
    ServerName->setEnabled(originate);
    Verify->setEnabled(originate);
    VerifyOffMark->setVisible(originate && !Verify->isChecked());
    enable(CaFile, originate && Verify->isChecked());
    enable(ClientCertFile, originate);
    enable(ClientKeyFile, originate);
    enable(KeyLogFile, terminate || originate);
    emit Edited();
}

void TTlsPage::Load(const trabix::TPM_port& port)
{
    ClientMode->setCurrentIndex(port.TlsClient != 0 ? 1 : 0);
    CertFile->setText(FromStd(port.TlsCertFile));
    KeyFile->setText(FromStd(port.TlsKeyFile));
    (port.TlsCertFile.empty() ? IssueFromAuthority : UseFiles)->setChecked(true);
    PassThroughRejected->setChecked(port.TlsPassThroughRejected);
    TargetMode->setCurrentIndex(port.TlsTarget != 0 ? 1 : 0);
    ServerName->setText(FromStd(port.TlsServerName));
    Verify->setChecked(port.TlsVerify);
    CaFile->setText(FromStd(port.TlsCaFile));
    ClientCertFile->setText(FromStd(port.TlsClientCertFile));
    ClientKeyFile->setText(FromStd(port.TlsClientKeyFile));
    KeyLogFile->setText(FromStd(port.TlsKeyLogFile));
    UpdateFields();
}

QString TTlsPage::Problem() const
{
    if (ClientMode->currentIndex() == 1 && UseFiles->isChecked() &&
        CertFile->text().trimmed().isEmpty())
        return QStringLiteral(
            "TLS: name the certificate file, or issue certificates from the "
            "local certificate authority.");
    if (TargetMode->currentIndex() == 1 && ClientCertFile->text().trimmed().isEmpty() &&
        !ClientKeyFile->text().trimmed().isEmpty())
        return QStringLiteral("TLS: a client key needs its client certificate.");
    return {};
}

// Fields of a mode that is off are stored as they stand: they mean nothing until the mode is
// on again, and the user gets them back then.
void TTlsPage::Store(trabix::TPM_port& port) const
{
    port.TlsClient = ClientMode->currentIndex();
    const bool files = UseFiles->isChecked();
    port.TlsCertFile = files ? ToStd(CertFile) : std::string();
    port.TlsKeyFile = files ? ToStd(KeyFile) : std::string();
    port.TlsPassThroughRejected = PassThroughRejected->isChecked();
    port.TlsTarget = TargetMode->currentIndex();
    port.TlsServerName = ToStd(ServerName);
    port.TlsVerify = Verify->isChecked();
    port.TlsCaFile = ToStd(CaFile);
    port.TlsClientCertFile = ToStd(ClientCertFile);
    port.TlsClientKeyFile = ToStd(ClientKeyFile);
    port.TlsKeyLogFile = ToStd(KeyLogFile);
}

void TTlsPage::ShowAuthority()
{
    const QString file = AuthorityFile();
    // Showing the page makes nothing: the authority is made on first need.
    if (!QFileInfo::exists(file)) {
        Fingerprint->setText(
            QStringLiteral("not made yet: it is made beside the settings file "
                           "when a channel first issues a certificate, or by "
                           "Export CA"));
        return;
    }
    std::string problem;
    const auto authority = TTlsAuthority::Open(trabix::SettingsFolder(), problem);
    Fingerprint->setText(authority ? QStringLiteral("SHA-256 ") + FromStd(authority->Fingerprint())
                                   : QStringLiteral("cannot be read: ") + FromStd(problem));
    Fingerprint->setToolTip(file);
}

void TTlsPage::ExportAuthority()
{
    const QString file =
        AskFileName(QStringLiteral("Export the local certificate authority"), true);
    if (file.isEmpty())
        return;
    std::string problem;
    const auto authority = TTlsAuthority::Open(trabix::SettingsFolder(), problem);
    if (authority)
        problem = authority->ExportCertificate(file.toStdString());
    ExportResult->setText(problem.empty()
                              ? QStringLiteral("Exported to %1").arg(file)
                              : QStringLiteral("Not exported: %1").arg(FromStd(problem)));
    ShowAuthority();
}
