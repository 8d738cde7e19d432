#include "app/window/TrayIcon.h"

#include "app/window/ProgramIcon.h"

#include <QMenu>
#include <QSystemTrayIcon>
#include <QWidget>

namespace {

std::function<bool()>& AvailabilityProbe()
{
    static std::function<bool()> probe = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    return probe;
}

}  // namespace

TTrayIcon::TTrayIcon(QWidget* window) : QObject(window), Menu(new QMenu(window))
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

void TTrayIcon::Add(const QString& title)
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
    // Trays that speak the StatusNotifierItem protocol (KDE Plasma, GNOME's AppIndicator
    // extension) report single clicks only, so a single click restores as well.
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
        emit RestoreRequested();
}

void TTrayIcon::Remove()
{
    if (!Icon)
        return;
    // hide() takes the icon off the panel now. The object goes later: Remove runs from the
    // icon's own activated signal when a click restores the window, and the icon's events of
    // the same click (a double click follows its single click) must no longer restore.
    Icon->hide();
    Icon->disconnect(this);
    Icon->deleteLater();
    Icon = nullptr;
}
