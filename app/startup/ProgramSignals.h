// TProgramSignals: the process signals that end the program, or make the headless twin re-read
// its settings, turned into Qt signals on the main thread. Both faces use it:
//
//   face      SIGTERM            SIGHUP             SIGINT
//   Window    ShutdownRequested  ShutdownRequested  (default: ends the program)
//   Headless  ShutdownRequested  ReloadRequested    ShutdownRequested
//
// The handler only writes the signal's number as one byte into a socket pair (the self-pipe);
// a socket notifier on the other end wakes the event loop, which emits the Qt signal. Nothing
// else is safe to do inside a signal handler.
//
// How to use it: call HoldSignals first thing on the main thread, before any thread starts, so
// every thread Qt or the program starts later keeps the face's signals blocked; then create one
// instance on the main thread once the application object exists. It installs the handler and
// unblocks the signals in the main thread alone, so a signal that came meanwhile is handled
// then and later ones interrupt only the main thread. Without HoldSignals (the tests) it works
// the same, only any thread may run the handler. When destroyed it puts the handlers and the
// main thread's mask back as it found them (held, when HoldSignals ran: a late signal must not
// end the program half-way through its last steps).
#pragma once

#include <QObject>

#include <csignal>

class QSocketNotifier;

class TProgramSignals : public QObject {
    Q_OBJECT
public:
    enum class TFace { Window, Headless };

    explicit TProgramSignals(TFace face = TFace::Window, QObject* parent = nullptr);
    ~TProgramSignals() override;

    // Blocks the face's signals in the calling thread and every thread it starts later.
    static void HoldSignals(TFace face);

signals:
    // A log-off, a shutdown or a request to stop.
    void ShutdownRequested(int signalNumber);
    // The headless twin's SIGHUP: re-read the settings file.
    void ReloadRequested();

private:
    void ReadSignals();
    static void Handler(int signalNumber);

    TFace Face;
    QSocketNotifier* Notifier = nullptr;
    struct sigaction OldActions[3] {};
    sigset_t OldMask {};
};
