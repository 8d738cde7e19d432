// TTrayIcon: the notification-area icon of the main window, with the tip, the menu "Restore",
// separator, "Exit", and restore on a click or double click. There is at most one icon; it exists from
// Add to the next Remove.
//
// Many Linux desktops have no system tray at all. Available() tells the window whether an icon
// can be seen; where it cannot, the window must not hide itself (it would be unreachable).
// Tests replace the availability probe, since the offscreen platform has no tray.
// Called on the main thread only.
#pragma once

#include <QObject>
#include <QString>
#include <QSystemTrayIcon>

#include <functional>

class QAction;
class QMenu;
class QWidget;

inline constexpr int TrayTipMaxLength = 63;

class TTrayIcon : public QObject {
    Q_OBJECT
public:
    explicit TTrayIcon(QWidget* window);
    ~TTrayIcon() override;

    // The probe answers whether the desktop offers a system tray (default: Qt's own answer).
    static void SetAvailabilityProbe(std::function<bool()> probe);
    static bool Available();

    // Shows the icon with the title cut to 63 characters as its tip; a second call only
    // updates the tip.
    void Add(const QString& title);
    // Removes the icon; harmless when none is shown.
    void Remove();
    bool Shown() const { return Icon != nullptr; }

    QSystemTrayIcon* SystemIcon() const { return Icon; }
    QMenu* PopupMenu() const { return Menu; }

    // The icon's mouse events: a single or double click restores; everything else does
    // nothing (the context menu opens at the pointer by itself).
    void TrayNotify(QSystemTrayIcon::ActivationReason reason);

signals:
    void RestoreRequested();
    void ExitRequested();

private:
    QMenu* Menu;
    QSystemTrayIcon* Icon = nullptr;
};
