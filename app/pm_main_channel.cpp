// The per-channel "Channel Settings" dialog, the warning mark of channels open to other
// machines and the mark of channels with network conditions.
#include "app/pm_main.h"

#include "app/ChannelSettingsDialog.h"
#include "app/ConditionsPage.h"
#include "app/MainPages.h"

#include "config/pm_config.h"

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

void TMainForm::UpdateExposureMarks()
{
    for (int n = 1; n <= ChannelCount; ++n) {
        const QString bindIp = StatusPage->Channels->Row(n).BindIp->text().trimmed();
        const bool everyAddress = bindIp.isEmpty() || bindIp == QStringLiteral("0.0.0.0");
        const bool everyClient =
            QString::fromStdString(Settings.Port(n).AllowFrom).trimmed().isEmpty();
        StatusPage->Channels->SetExposed(n, everyAddress && everyClient);
    }
}

void TMainForm::UpdateConditionMarks()
{
    for (int n = 1; n <= ChannelCount; ++n)
        StatusPage->Channels->SetConditionMark(n, TConditionsPage::Summary(Settings.Port(n)));
}
