// The "Access" page of the channel settings: who may connect (AllowFrom) and how many
// connections the channel holds at once, in all and per client address. The allow list is
// checked as it is typed; the page says what it allows, or what is wrong with it.
// Main thread only.
#pragma once

#include "app/channel/ChannelSettingsPage.h"

class QLabel;
class QLineEdit;
class QSpinBox;

class TAccessPage : public TChannelSettingsPage {
    Q_OBJECT
public:
    explicit TAccessPage(QWidget* parent = nullptr);

    QString Title() const override;
    void Load(const trabix::TPM_port& port) override;
    QString Problem() const override;
    void Store(trabix::TPM_port& port) const override;

    QLineEdit* AllowFrom = nullptr;
    QLabel* AllowFromCheck = nullptr;  // what the typed list allows, or its problem
    QSpinBox* MaxConnections = nullptr;
    QSpinBox* MaxConnectionsPerSource = nullptr;

private:
    void CheckAllowFrom();
};
