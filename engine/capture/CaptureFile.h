// Capture files of a channel: "yyyymmdd-N.pcap" (N the channel number) in the folder of the
// daily log files, written with libpcap as raw IPv4 frames, appended to when the day's file
// exists. Frames of several conversations go into one file through the file's lock, so each
// batch of records is written whole; libpcap writes (or checks) the file header, and a
// flusher thread writes what is buffered twice a second, so the file can be opened while the
// channel runs.
//
//   TCaptureFiles files;                 // one per channel, owned by its mapping server
//   files.SetPlace(folder, 3);           // main thread, while no connection uses it
//   std::shared_ptr<TCaptureFile> f = files.Current();     // carrying thread
//   if (!f) ... files.TakeError() gives the one line to log ...
//
// A failure (no permission, disk full) is reported once through TakeError until the files
// work again; the relaying never waits for or stops because of a capture file.
//
// Threads: TCaptureFile::Frames and Flush are thread safe (the file's lock). TCaptureFiles:
// SetPlace on the main thread; Current and TakeError thread safe; the flusher thread flushes
// the live files.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/capture/TcpConversation.h"

struct pcap;
struct pcap_dumper;

class TCaptureFile : public TFrameSink {
public:
    // Opens APath for appending (creating it with its file header when missing); nullptr with
    // AError set on failure.
    static std::shared_ptr<TCaptureFile> Open(const std::string& APath, std::string& AError);
    ~TCaptureFile() override;
    TCaptureFile(const TCaptureFile&) = delete;
    TCaptureFile& operator=(const TCaptureFile&) = delete;

    void Frames(const std::vector<TFrame>& AFrames) override;
    // Writes out what is buffered; false with AError when the file cannot be written (the
    // file then takes no more frames).
    bool Flush(std::string& AError);
    const std::string& Path() const { return FPath; }

private:
    TCaptureFile(std::string APath, pcap* ADead, pcap_dumper* ADumper);

    const std::string FPath;
    std::mutex FLock;  // guards the fields below and every write to the file
    pcap* FDead;
    pcap_dumper* FDumper;
    bool FDirty = false;
    bool FFailed = false;
};

class TCaptureFiles {
public:
    TCaptureFiles();
    ~TCaptureFiles();
    TCaptureFiles(const TCaptureFiles&) = delete;
    TCaptureFiles& operator=(const TCaptureFiles&) = delete;

    void SetPlace(const std::string& AFolder, int AChannel);
    // The file of today (local date); nullptr when it cannot be opened.
    std::shared_ptr<TCaptureFile> Current();
    // "yyyymmdd-N.pcap" in the folder, for the local date of ATime.
    std::string FileName(TCaptureTime ATime) const;
    // The text of a failure not reported yet, once; empty otherwise. Cheap when there is none.
    std::string TakeError();
    // Reports a failure to write AFile (from Flush).
    void NoteFailure(const std::string& AText);

private:
    void FlushLoop();

    std::mutex FOpenLock;  // held while a file is opened; taken before FLock
    mutable std::mutex FLock;  // guards the fields below
    std::string FFolder;
    int FChannel = 0;
    std::shared_ptr<TCaptureFile> FCurrent;
    std::map<std::string, std::weak_ptr<TCaptureFile>> FOlder;  // still used by connections
    bool FFailing = false;
    std::string FPendingError;
    std::atomic<bool> FErrorPending{false};  // FPendingError is not empty
    bool FStop = false;
    std::condition_variable FWake;
    std::thread FFlusher;  // started with the first file, joined by the destructor
};
