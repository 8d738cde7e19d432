// The window as the control API sees it (TApiFace): the window's settings and channel set, a
// change shown in the channel's row as if the user had typed it, the window's save and log.
// Main thread only, as the window.
#pragma once

#include "app/api/ApiFace.h"

class TMainForm;

class TWindowApiFace : public TApiFace {
public:
    TWindowApiFace(TMainForm& window, trabix::TSettings& settings)
        : Window(window), Records(settings)
    {
    }
    trabix::TSettings& Settings() override { return Records; }
    TChannelSet& Channels() override;
    void ChannelChanged(int channel) override;
    void ChannelStateChanged(int channel) override;
    bool SaveSettings() override;
    void Log(const std::string& text) override;

private:
    TMainForm& Window;
    trabix::TSettings& Records;
};
