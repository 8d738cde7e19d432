#include "TrayIcon.h"

#include "ProgramIcon.h"

#include <QMenu>
#include <QSystemTrayIcon>
#include <QWidget>

namespace {

std::function<bool()> &AvailabilityProbe()
{
    static std::function<bool()> probe = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    return probe;
}

} // namespace

TTrayIcon::TTrayIcon(QWidget *window) : QObject(window), Menu(new QMenu(window))
{
    Menu->addAction(QStringLiteral("Restore"), this, &TTrayIcon::RestoreRequested);
    Menu->addSeparator();
    Menu->addAction(QStringLiteral("Exit"), this, &TTrayIcon::ExitRequested);
}

TTrayIcon::~TTrayIcon()
{
    Remove();
}

void TTrayIcon::SetAvailabilityProbe(std::function<bool()> probe)
{
    AvailabilityProbe() = std::move(probe);
}

bool TTrayIcon::Available()
{
    return AvailabilityProbe()();
}

void TTrayIcon::Add(const QString &title)
{
    if (!Icon) {
        Icon = new QSystemTrayIcon(ProgramIcon(), this);
        Icon->setContextMenu(Menu);
        connect(Icon, &QSystemTrayIcon::activated, this, &TTrayIcon::TrayNotify);
    }
    Icon->setToolTip(title.left(TrayTipMaxLength));
    Icon->show();
}

void TTrayIcon::TrayNotify(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::DoubleClick)
        emit RestoreRequested();
}

void TTrayIcon::Remove()
{
    if (!Icon)
        return;
    Icon->hide();
    delete Icon; // the icon must vanish from the panel now, not at the next event loop pass
    Icon = nullptr;
}
