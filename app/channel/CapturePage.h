// "Ca&pture" page of a channel's settings: the switches Capture (keep the bytes of the
// channel's connections in memory for the stream view) and CaptureToFile (write them to the
// channel's daily capture file "yyyymmdd-N.pcap" in the log folder as well).
// Main thread only.
#pragma once

#include "app/channel/ChannelSettingsPage.h"

class QCheckBox;

class TCapturePage : public TChannelSettingsPage {
    Q_OBJECT
public:
    explicit TCapturePage(QWidget* parent = nullptr);

    QString Title() const override { return QStringLiteral("Ca&pture"); }
    void Load(const trabix::TPM_port& port) override;
    QString Problem() const override { return {}; }
    void Store(trabix::TPM_port& port) const override;

    QCheckBox* Capture = nullptr;
    QCheckBox* CaptureToFile = nullptr;
};
