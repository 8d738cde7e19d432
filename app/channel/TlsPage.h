// The "TLS" page of the "Channel Settings" dialog: TLS towards the clients (terminate, with a
// certificate of the local certificate authority or given files), towards the target
// (originate: server name, verification, trust anchors, a client certificate), the
// pass-through of names whose clients rejected the certificate, and the key log file. It shows
// the local authority's SHA-256 fingerprint and exports its certificate for clients to trust.
//
// A field that means nothing in the chosen modes is disabled, and keeps its text so that
// switching a mode back restores it. The mark beside "Verify" warns while an originating
// channel accepts any certificate from its target.
//
// File names are asked through AskFileName (a file dialog; tests answer it themselves).
// Main thread only.
#pragma once

#include "app/channel/ChannelSettingsPage.h"

#include <functional>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

class TTlsPage : public TChannelSettingsPage {
    Q_OBJECT
public:
    // A file name chosen for ACaption: one to write (ASave) or an existing one to read; empty
    // when the user cancels.
    using TFileQuestion = std::function<QString(const QString& ACaption, bool ASave)>;

    explicit TTlsPage(QWidget* parent = nullptr);

    QString Title() const override { return QStringLiteral("&TLS"); }
    void Load(const trabix::TPM_port& port) override;
    QString Problem() const override;
    void Store(trabix::TPM_port& port) const override;

    // Asks for a file and writes the local authority's certificate there (the authority is
    // made beside the settings file first when there is none); ExportResult says how it went.
    void ExportAuthority();

    TFileQuestion AskFileName;

    QComboBox* ClientMode = nullptr;
    QRadioButton* IssueFromAuthority = nullptr;
    QRadioButton* UseFiles = nullptr;
    QLineEdit* CertFile = nullptr;
    QLineEdit* KeyFile = nullptr;
    QCheckBox* PassThroughRejected = nullptr;
    QComboBox* TargetMode = nullptr;
    QLineEdit* ServerName = nullptr;
    QCheckBox* Verify = nullptr;
    QLabel* VerifyOffMark = nullptr;  // shown while an originating channel checks nothing
    QLineEdit* CaFile = nullptr;
    QLineEdit* ClientCertFile = nullptr;
    QLineEdit* ClientKeyFile = nullptr;
    QLineEdit* KeyLogFile = nullptr;
    QLabel* Fingerprint = nullptr;
    QPushButton* ExportCa = nullptr;
    QLabel* ExportResult = nullptr;

private:
    void BuildClientSide(QFormLayout* form);
    void BuildTargetSide(QFormLayout* form);
    void BuildAuthority(QFormLayout* form);
    // A line edit with a "..." button that asks for a file, as a row of AForm.
    QLineEdit* AddFileRow(QFormLayout* AForm, const QString& ALabel, const QString& APlaceholder,
                          bool ASave);
    void UpdateFields();
    void ShowAuthority();
};
