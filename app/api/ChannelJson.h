// The JSON of the control API's channels and connections, and the checking of a channel PATCH
// against the settings table (the same key names and ranges as the settings file).
#pragma once

#include "config/pm_config.h"
#include "engine/connections/ConnectionRecord.h"

#include <QJsonObject>

#include <string>
#include <vector>

class TChannelSet;

// {"channel": n, "listening": ..., "port": the bound port or null, "settings": {every key},
//  "counters": {...}}. Main thread.
QJsonObject ChannelObject(int channel, const trabix::TPM_port& port, TChannelSet& channels);

// The fields the Connections tab shows: id, channel, client, target, state, opened, ended,
// bytes each way.
QJsonObject ConnectionObject(const TConnectionSnapshot& connection);

// A PATCH body applied to a copy of a channel's record. False, with Error naming the key and
// what it takes, for an unknown key, a value of the wrong type or one out of the key's range;
// Port is then unusable and must not be applied. ListenPort 0 is taken (PickPort true): the
// channel listens on a port the system chooses.
struct TChannelPatch {
    trabix::TPM_port Port;
    bool PickPort = false;
};
bool ApplyChannelPatch(const QJsonObject& body, TChannelPatch& patch, std::string& error);

// The keys that name a file (TlsCertFile, TlsKeyLogFile, ...) may name, through the API, only a
// file in one of Folders (the settings and the log folder), symbolic links resolved, or
// nothing: a request must not make the program read or write a file anywhere else. False, with
// Error naming the key and the folders, for any other path.
bool FileKeysWithin(const QJsonObject& body, const std::vector<std::string>& folders,
                    std::string& error);
