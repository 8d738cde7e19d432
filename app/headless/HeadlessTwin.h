// THeadlessTwin: the program without a window. It shares the window's start-up
// (app/startup/: settings file and log folder, file logger, lines) and its channel set
// (TChannelSet), starts every channel whose Map is checked at once, and writes the lines the
// screen log would show to standard output (THeadlessLog). A channel that starts while it is
// reachable from other machines says so in a line of its own, where the window shows its
// warning mark. It never writes the settings file. AutoStart and the tray settings mean
// nothing here.
//
// With the control API on (--api or ApiListen), it also runs with no channel listening: the API
// can open channels. Changes made through the API stay in memory until POST
// /v1/settings/save writes them; a SIGHUP re-reads the file and drops them.
//
// SIGTERM and SIGINT end it with the window's stop lines; SIGHUP re-reads the settings file:
// a channel whose address, port, target or Map changed is restarted, the others keep running
// with their connections and only take the new live settings (log switches, data mode, speed
// limit), as a running channel of the window does.
//
// How to use it: RunHeadless from main(), before any other Qt object exists. Everything here
// runs on the main thread; connection threads reach the log only through THeadlessLog.
#pragma once

#include "app/api/ApiFace.h"
#include "config/pm_config.h"

#include <QObject>

#include <memory>
#include <string>

class TChannelSet;
class TControlApi;
class THeadlessLog;

class THeadlessTwin : public QObject, private TApiFace {
    Q_OBJECT
public:
    // Settings: what Start loads and Reload re-reads; owned by the caller, used by this twin alone.
    explicit THeadlessTwin(trabix::TSettings& settings, QObject* parent = nullptr);
    ~THeadlessTwin() override;

    // Loads the settings, logs the start line and starts every checked channel. False when no
    // channel listens; Why then says what kept them.
    bool Start(std::string& why);
    // Re-reads the settings file and restarts the channels whose listening settings changed.
    void Reload();
    // Stops and releases every server, then logs the stop lines; the log is closed afterwards.
    void Stop();

    int ListeningCount() const;

private:
    void ApplySwitches();
    // The control API's view of the twin (TApiFace).
    trabix::TSettings& Settings() override { return Records; }
    TChannelSet& Channels() override { return *ChannelSet; }
    void ChannelChanged(int) override {}
    void ChannelStateChanged(int) override {}
    bool SaveSettings() override;
    void Log(const std::string& text) override;

    trabix::TSettings& Records;
    std::shared_ptr<THeadlessLog> Output;
    std::unique_ptr<TChannelSet> ChannelSet;
    std::unique_ptr<TControlApi> Api;  // after ChannelSet: destroyed before it
    bool Stopped = false;
};

// The headless program: returns the exit status (0 after SIGTERM or SIGINT, 1 when no channel
// could start).
int RunHeadless(int argc, char* argv[]);
