#include "app/channel/ChannelSettingsDialog.h"

#include "app/channel/AccessPage.h"
#include "app/channel/ConditionsPage.h"
#include "app/channel/CapturePage.h"
#include "app/channel/TlsPage.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

TChannelSettingsDialog::TChannelSettingsDialog(int channel, const trabix::TPM_port& port,
                                               QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Channel Settings - Channel %1 (%2)")
                       .arg(channel)
                       .arg(QString::fromStdString(port.Remarks)));
    auto* layout = new QVBoxLayout(this);
    Pages = new QTabWidget(this);
    Buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(Pages);
    layout->addWidget(Buttons);
    connect(Buttons, &QDialogButtonBox::accepted, this, &TChannelSettingsDialog::accept);
    connect(Buttons, &QDialogButtonBox::rejected, this, &TChannelSettingsDialog::reject);

    Access = AddPage(new TAccessPage(Pages), port);
    Conditions = AddPage(new TConditionsPage(Pages), port);
    Capture = AddPage(new TCapturePage(Pages), port);
    Tls = AddPage(new TTlsPage(Pages), port);
    CheckPages();
}

template <class Page>
Page* TChannelSettingsDialog::AddPage(Page* page, const trabix::TPM_port& port)
{
    page->Load(port);
    Pages->addTab(page, page->Title());
    PageList.push_back(page);
    connect(page, &TChannelSettingsPage::Edited, this, &TChannelSettingsDialog::CheckPages);
    return page;
}

void TChannelSettingsDialog::Store(trabix::TPM_port& port) const
{
    for (const TChannelSettingsPage* page : PageList)
        page->Store(port);
}

QString TChannelSettingsDialog::Problem() const
{
    for (const TChannelSettingsPage* page : PageList)
        if (QString problem = page->Problem(); !problem.isEmpty())
            return problem;
    return {};
}

// Enter in a line edit and a direct call both end here, not only the OK button.
void TChannelSettingsDialog::accept()
{
    if (!Problem().isEmpty())
        return;
    QDialog::accept();
}

void TChannelSettingsDialog::CheckPages()
{
    Buttons->button(QDialogButtonBox::Ok)->setEnabled(Problem().isEmpty());
}
