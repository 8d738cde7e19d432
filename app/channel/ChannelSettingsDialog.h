// "Channel Settings": one dialog per channel with a page per capability (see
// TChannelSettingsPage for adding one). OK stays disabled, and accept() refuses to close,
// while a page has a problem.
//
//   auto *dialog = new TChannelSettingsDialog(3, settings.Port(3), window);
//   connect(dialog, &QDialog::accepted, ... dialog->Store(settings.Port(3)) ...);
//   dialog->open();
//
// Main thread only.
#pragma once

#include "config/pm_config.h"

#include <QDialog>

#include <vector>

class QDialogButtonBox;
class QTabWidget;
class TAccessPage;
class TConditionsPage;
class TCapturePage;
class TChannelSettingsPage;
class TTlsPage;

class TChannelSettingsDialog : public QDialog {
    Q_OBJECT
public:
    TChannelSettingsDialog(int channel, const trabix::TPM_port& port, QWidget* parent = nullptr);

    // Every page's fields into the record; the others stay as they are.
    void Store(trabix::TPM_port& port) const;
    void accept() override;

    QTabWidget* Pages = nullptr;
    QDialogButtonBox* Buttons = nullptr;
    TAccessPage* Access = nullptr;
    TConditionsPage* Conditions = nullptr;
    TCapturePage* Capture = nullptr;
    TTlsPage* Tls = nullptr;

private:
    template <class Page>
    Page* AddPage(Page* page, const trabix::TPM_port& port);
    QString Problem() const;
    void CheckPages();

    std::vector<TChannelSettingsPage*> PageList;
};
