// TShutdownSignals: turns SIGTERM and SIGHUP (a log-off or shutdown of the session) into a Qt
// signal on the main thread. The handler only writes one byte into a socket pair (the
// self-pipe); a socket notifier on the other end wakes the event loop, which emits
// ShutdownRequested. Nothing else is safe to do inside a signal handler.
// Create one instance on the main thread; it restores the old handlers when destroyed.
#pragma once

#include <QObject>

#include <csignal>

class QSocketNotifier;

class TShutdownSignals : public QObject {
    Q_OBJECT
public:
    explicit TShutdownSignals(QObject* parent = nullptr);
    ~TShutdownSignals() override;

signals:
    void ShutdownRequested(int signalNumber);

private:
    void ReadSignal();
    static void Handler(int signalNumber);

    QSocketNotifier* Notifier = nullptr;
    struct sigaction OldTerm {};
    struct sigaction OldHup {};
};
