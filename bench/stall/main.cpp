// trabix-stall-probe: the program's own window and start-up, with a 10 ms timer beside it
// that records the longest gap between its ticks. A gap far above 10 ms means the window's
// event loop was busy elsewhere (log hand-over, screen log, status refresh) for that long.
//
// It starts exactly as the program does (Trabix.ini beside this executable, AutoStart), so
// bench/run.sh can drive traffic through its channels from outside. SIGTERM ends the
// measurement first and then the program's own log-off path; the result is one line
//   stall max_ms=... p99_ms=... ticks=... over_100ms=...
// on standard output. The shutdown itself (waiting for the connection threads) is not
// counted: it is not a stall while relaying.
//
// STALL_PROBE_SHOW=stream puts the Connections tab in front and keeps the stream view of the
// newest connection that has relayed for a second open (a newer one replaces it when it
// ends), so that their refreshes are measured too; the channels need Capture=1 for the view
// to have bytes.
#include "app/connections/ConnectionModel.h"
#include "app/connections/ConnectionsPage.h"
#include "app/ProgramMain.h"
#include "app/startup/ProgramSignals.h"
#include "app/connections/StreamView.h"
#include "app/pm_main.h"

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QPointer>
#include <QSortFilterProxyModel>
#include <QTabWidget>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <optional>
#include <cstdio>
#include <utility>
#include <vector>

namespace {

// Records the intervals between the ticks of a 10 ms timer. Main thread only.
class StallMeter : public QObject {
public:
    StallMeter()
    {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
        timer_.start();
        clock_.start();
    }

    void stop() { timer_.stop(); }

    void print() const
    {
        std::vector<double> sorted = gapsMs_;
        std::sort(sorted.begin(), sorted.end());
        double max = sorted.empty() ? 0 : sorted.back();
        double p99 = sorted.empty() ? 0 : sorted[(sorted.size() - 1) * 99 / 100];
        long over = std::count_if(sorted.begin(), sorted.end(), [](double g) { return g > 100; });
        std::printf("stall max_ms=%.1f p99_ms=%.1f ticks=%zu over_100ms=%ld\n", max, p99,
                    sorted.size(), over);
        std::fflush(stdout);
        // Where the long gaps fell (wall-clock seconds), for finding their cause.
        for (const auto& [at, gap] : longGaps_)
            std::fprintf(stderr, "gap %.1f ms ending at %.3f\n", gap, at);
    }

private:
    void tick()
    {
        qint64 now = clock_.nsecsElapsed();
        if (last_ >= 0) {
            double gap = static_cast<double>(now - last_) / 1e6;
            gapsMs_.push_back(gap);
            if (gap > 50 && longGaps_.size() < 1000)
                longGaps_.emplace_back(
                    static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1e3, gap);
        }
        last_ = now;
    }

    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = -1;
    std::vector<double> gapsMs_;
    std::vector<std::pair<double, double>> longGaps_;
};

// Keeps the stream view of the newest relaying connection open on the Connections tab.
// Main thread only.
class StreamWatcher : public QObject {
public:
    explicit StreamWatcher(TMainForm& form) : form_(form)
    {
        form_.Pages->setCurrentWidget(form_.ConnectionsPage);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { look(); });
        timer_.start(500);
    }

private:
    void look()
    {
        TConnectionsPage* page = form_.ConnectionsPage;
        const TConnectionModel& model = *page->Model;
        int newest = -1;
        bool viewedRelays = false;
        // As a person would: the view stays on a connection until it ends, and a new one is
        // opened only on a connection that has lasted a second (not on each of a burst).
        const auto lasting = std::chrono::system_clock::now() - std::chrono::seconds(1);
        for (int row = 0; row < model.rowCount(); ++row) {
            const TConnectionSnapshot& s = model.Snapshot(row);
            if (s.State != TConnectionState::Relaying || s.Opened > lasting)
                continue;
            viewedRelays |= view_ && s.Id == viewed_;
            if (newest < 0 || s.Id > model.Snapshot(newest).Id)
                newest = row;
        }
        if (viewedRelays || newest < 0)
            return;
        if (view_)
            view_->close();
        viewed_ = model.Snapshot(newest).Id;
        page->ShowStream(model.Snapshot(newest));
        const QList<TStreamView*> views = page->findChildren<TStreamView*>();
        view_ = views.isEmpty() ? nullptr : views.back();
    }

    TMainForm& form_;
    QTimer timer_;
    QPointer<TStreamView> view_;
    std::uint64_t viewed_ = 0;
};

}  // namespace

int main(int argc, char* argv[])
{
    // The meter needs the application object, which RunProgram creates.
    std::optional<StallMeter> meter;
    std::optional<StreamWatcher> watcher;
    TProgramHooks hooks;
    hooks.BeforeShow = [&meter, &watcher](TMainForm& form, TProgramSignals& shutdownSignals) {
        if (qgetenv("STALL_PROBE_SHOW") == "stream")
            watcher.emplace(form);
        meter.emplace();
        // Connected before the window's log-off path, so the measurement ends first.
        QObject::connect(&shutdownSignals, &TProgramSignals::ShutdownRequested, &*meter,
                         [&meter] { meter->stop(); });
    };
    hooks.AfterExec = [&meter, &watcher] {
        meter->print();
        meter.reset();
        watcher.reset();
    };
    hooks.OpenBrowser = [](const std::string&) { return false; };
    return RunProgram(argc, argv, hooks);
}
