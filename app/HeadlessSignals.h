// THeadlessSignals: SIGTERM, SIGINT and SIGHUP for the headless twin, read from a signalfd on
// the main thread's event loop. The signals are blocked in every thread (construct this before
// any other thread starts, so the threads inherit the mask), so none of them runs a handler or
// ends the process by its default action; they only wait in the signalfd.
// Call BlockSignals first, then create one instance on the main thread once the application
// object exists.
#pragma once

#include <QObject>

class QSocketNotifier;

class THeadlessSignals : public QObject {
    Q_OBJECT
public:
    explicit THeadlessSignals(QObject* parent = nullptr);
    ~THeadlessSignals() override;

    // Blocks the three signals in the calling thread and every thread it starts later. Call it
    // first thing on the main thread.
    static void BlockSignals();

signals:
    void StopRequested(int signalNumber);  // SIGTERM, SIGINT
    void ReloadRequested();  // SIGHUP

private:
    void ReadSignals();

    int Fd = -1;
    QSocketNotifier* Notifier = nullptr;
};
