// TConditionsPage: the "Conditions" page of the "Channel Settings" dialog: latency, jitter,
// reset and stall budgets per direction, the chance a connection is hit and the seed of the
// draws, each with its unit. Summary is the text of the mark beside the channel's status light.
// Called on the main thread only.
#pragma once

#include "app/channel/ChannelSettingsPage.h"

class QSpinBox;

class TConditionsPage : public TChannelSettingsPage {
    Q_OBJECT
public:
    explicit TConditionsPage(QWidget* parent = nullptr);

    QString Title() const override { return QStringLiteral("C&onditions"); }
    void Load(const trabix::TPM_port& port) override;
    // Every value the boxes allow can be stored.
    QString Problem() const override { return {}; }
    void Store(trabix::TPM_port& port) const override;

    // Several lines naming every condition of the record, or an empty text when none would
    // touch a connection (all off, or a chance of 0 %).
    static QString Summary(const trabix::TPM_port& port);

    QSpinBox* LatencyCS = nullptr;
    QSpinBox* LatencySC = nullptr;
    QSpinBox* JitterCS = nullptr;
    QSpinBox* JitterSC = nullptr;
    QSpinBox* ResetAfterCS = nullptr;
    QSpinBox* ResetAfterSC = nullptr;
    QSpinBox* StallAfterCS = nullptr;
    QSpinBox* StallAfterSC = nullptr;
    QSpinBox* Chance = nullptr;
    QSpinBox* Seed = nullptr;
};
