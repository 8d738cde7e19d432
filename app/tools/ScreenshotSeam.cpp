#include "app/tools/ScreenshotSeam.h"

#include "app/channel/ChannelSettingsDialog.h"
#include "app/connections/ConnectionsPage.h"
#include "app/connections/StreamView.h"
#include "app/pm_About.h"
#include "app/pm_main.h"

#include <QTableView>

#include <QCoreApplication>
#include <QFile>
#include <QSortFilterProxyModel>
#include <QPainter>
#include <QPixmap>
#include <QTabWidget>
#include <QTimer>

namespace {

QPixmap GrabTabs(TMainForm& form, int first, int last)
{
    QTabWidget* pages = form.Pages;
    const int current = pages->currentIndex();
    QList<QPixmap> shots;
    for (int tab = first; tab <= last && tab < pages->count(); ++tab) {
        pages->setCurrentIndex(tab);
        QCoreApplication::processEvents();  // the page's first refresh and its layout
        shots << form.grab();
    }
    pages->setCurrentIndex(current);
    // The shots are drawn in the window's own units; the picture keeps the screen's pixels.
    const qreal ratio = shots.isEmpty() ? 1.0 : shots.first().devicePixelRatio();
    qreal height = 0, width = 0;
    for (const QPixmap& shot : shots) {
        height += shot.deviceIndependentSize().height();
        width = std::max(width, shot.deviceIndependentSize().width());
    }
    QPixmap combined(QSizeF(width * ratio, height * ratio).toSize());
    combined.setDevicePixelRatio(ratio);
    combined.fill(Qt::white);
    QPainter painter(&combined);
    qreal y = 0;
    for (const QPixmap& shot : shots) {
        painter.drawPixmap(QPointF(0, y), shot);
        y += shot.deviceIndependentSize().height();
    }
    return combined;
}

// The About box as the "?" menu shows it, without waiting in its modal loop.
QPixmap GrabAbout(TMainForm& form, TPMAboutDialog& about)
{
    form.PrepareAbout();
    about.show();
    QPixmap shot = about.grab();
    about.hide();
    return shot;
}

// The stream view of the first open connection in the list (or the first one at all).
void GrabStream(TMainForm& form, const QString& path)
{
    TConnectionsPage* page = form.ConnectionsPage;
    page->Refresh();
    int row = 0;
    for (int r = 0; r < page->Proxy->rowCount(); ++r)
        if (page->Proxy->index(r, 3).data().toString() == QStringLiteral("relaying"))
            row = r;
    page->View->selectRow(row);
    const std::vector<TConnectionSnapshot> selected = page->Selected();
    if (selected.empty())
        return;
    page->ShowStream(selected.front());
    for (TStreamView* view : page->findChildren<TStreamView*>()) {
        view->grab().save(path, "PNG");
        view->close();
    }
}

// Every page of channel 1's "Channel Settings" dialog as its button opens it, each into
// "<base>-channel-<page>.png" (the page's tab caption in small letters, without its '&').
void GrabChannelPages(TMainForm& form, const QString& base)
{
    form.ShowChannelSettings(1);
    TChannelSettingsDialog* dialog = form.findChild<TChannelSettingsDialog*>();
    if (!dialog)
        return;
    QCoreApplication::processEvents();
    for (int page = 0; page < dialog->Pages->count(); ++page) {
        dialog->Pages->setCurrentIndex(page);
        QCoreApplication::processEvents();
        const QString name = dialog->Pages->tabText(page).remove(QLatin1Char('&')).toLower();
        dialog->grab().save(base + QStringLiteral("-channel-") + name + QStringLiteral(".png"),
                            "PNG");
    }
    dialog->reject();
}

}  // namespace

void InstallScreenshotSeam(TMainForm& form)
{
    const QString target = qEnvironmentVariable("TRABIX_SCREENSHOT");
    if (target.isEmpty())
        return;
    auto* poll = new QTimer(&form);
    QObject::connect(poll, &QTimer::timeout, &form, [&form, target] {
        const QString request = target + QStringLiteral(".request");
        if (!QFile::exists(request))
            return;
        form.FlushScreenLog();
        if (TPMAboutDialog* about = form.About()) {
            QString aboutTarget = target;
            if (aboutTarget.endsWith(QStringLiteral(".png")))
                aboutTarget.chop(4);
            aboutTarget += QStringLiteral("-about.png");
            GrabAbout(form, *about).save(aboutTarget, "PNG");
        }
        GrabTabs(form, 0, 1).save(target, "PNG");
        // Beside it: "<name>-connections.png" and "<name>-stream.png".
        const QString base = target.endsWith(QStringLiteral(".png")) ? target.chopped(4) : target;
        GrabTabs(form, 2, 2).save(base + QStringLiteral("-connections.png"), "PNG");
        GrabStream(form, base + QStringLiteral("-stream.png"));
        GrabChannelPages(form, base);
        QFile::remove(request);
    });
    poll->start(200);
}
