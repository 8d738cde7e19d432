// The per-channel "Channel Settings" dialog, the warning mark of channels open to other
// machines and the mark of channels with network conditions.
#include "app/pm_main.h"

#include "app/channel/ChannelSettingsDialog.h"
#include "app/channel/ConditionsPage.h"
#include "app/window/MainPages.h"
#include "app/startup/ChannelSet.h"

#include "config/pm_config.h"

#include <QCheckBox>
#include <QLineEdit>

void TMainForm::ShowChannelSettings(int channel)
{
    auto* dialog = new TChannelSettingsDialog(channel, Settings.Port(channel), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::accepted, this, [this, channel, dialog] {
        dialog->Store(Settings.Port(channel));
        // Every field of the dialog changes the running channel at once.
        LiveEdit();
        UpdateExposureMarks();
        UpdateConditionMarks();
    });
    dialog->open();
}

trabix::TPM_port TMainForm::RowPort(int channel) const
{
    trabix::TPM_port port = Settings.Port(channel);
    const TChannelRow& row = StatusPage->Channels->Row(channel);
    port.BindIp = row.BindIp->text().toStdString();
    port.Map = row.Map->isChecked();
    return port;
}

void TMainForm::UpdateExposureMarks()
{
    for (int n = 1; n <= ChannelCount; ++n)
        StatusPage->Channels->SetExposed(n, TChannelSet::ReachableFromOtherMachines(RowPort(n)));
}

void TMainForm::UpdateConditionMarks()
{
    for (int n = 1; n <= ChannelCount; ++n)
        StatusPage->Channels->SetConditionMark(n, TConditionsPage::Summary(Settings.Port(n)));
}
