// What the control API needs of the face it serves (the window or the headless twin): the
// settings and the channel set that face owns, how it shows a change made from outside, how it
// saves, and its log. Every call comes on the main thread.
#pragma once

#include <string>

class TChannelSet;
namespace trabix {
class TSettings;
}

class TApiFace {
public:
    virtual ~TApiFace() = default;
    virtual trabix::TSettings& Settings() = 0;
    virtual TChannelSet& Channels() = 0;
    // The API has changed the channel's settings and applied them to its server; the face
    // shows them (the window as if the user had typed them, marking the settings edited).
    virtual void ChannelChanged(int channel) = 0;
    // The API has started or stopped the channel.
    virtual void ChannelStateChanged(int channel) = 0;
    // Writes the settings file; false when that failed.
    virtual bool SaveSettings() = 0;
    // A line of the program's own ("** time text" is made by the face).
    virtual void Log(const std::string& text) = 0;
};
