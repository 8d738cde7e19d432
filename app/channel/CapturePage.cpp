#include "app/channel/CapturePage.h"

#include <QCheckBox>
#include <QLabel>
#include <QVBoxLayout>

TCapturePage::TCapturePage(QWidget* parent) : TChannelSettingsPage(parent)
{
    auto* layout = new QVBoxLayout(this);
    Capture = new QCheckBox(
        QStringLiteral("&Keep the bytes of the connections for the stream view"), this);
    CaptureToFile =
        new QCheckBox(QStringLiteral("&Write them to a capture file (yyyymmdd-N.pcap)"), this);
    auto* note = new QLabel(
        QStringLiteral(
            "Memory: at most 1 MiB per direction of a connection and 64 MiB per channel; "
            "the oldest bytes of ended connections go first.\n"
            "Capture files lie in the folder of the daily log files; Wireshark and "
            "tshark read them. Both switches act at once on a running channel."),
        this);
    note->setWordWrap(true);
    layout->addWidget(Capture);
    layout->addWidget(CaptureToFile);
    layout->addWidget(note);
    layout->addStretch();
    connect(Capture, &QCheckBox::toggled, this, &TChannelSettingsPage::Edited);
    connect(CaptureToFile, &QCheckBox::toggled, this, &TChannelSettingsPage::Edited);
}

void TCapturePage::Load(const trabix::TPM_port& port)
{
    Capture->setChecked(port.Capture);
    CaptureToFile->setChecked(port.CaptureToFile);
}

void TCapturePage::Store(trabix::TPM_port& port) const
{
    port.Capture = Capture->isChecked();
    port.CaptureToFile = CaptureToFile->isChecked();
}
