#include "engine/capture/CaptureFile.h"

#include <pcap/pcap.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <utility>
#include <vector>

TCaptureFile::TCaptureFile(std::string APath, pcap* ADead, pcap_dumper* ADumper)
    : FPath(std::move(APath)), FDead(ADead), FDumper(ADumper)
{}

std::shared_ptr<TCaptureFile> TCaptureFile::Open(const std::string& APath, std::string& AError)
{
    pcap* dead = pcap_open_dead(DLT_RAW, 65535);
    if (!dead) {
        AError = "cannot set up libpcap";
        return nullptr;
    }
    pcap_dumper* dumper = pcap_dump_open_append(dead, APath.c_str());
    if (!dumper) {
        AError = pcap_geterr(dead);
        pcap_close(dead);
        return nullptr;
    }
    // The file header is libpcap's; the records go through a large buffer (see Frames), which
    // the flusher and every connection's end write out.
    std::FILE* file = pcap_dump_file(dumper);
    std::fflush(file);
    std::setvbuf(file, nullptr, _IOFBF, 1 << 20);
    return std::shared_ptr<TCaptureFile>(new TCaptureFile(APath, dead, dumper));
}

TCaptureFile::~TCaptureFile()
{
    pcap_dump_close(FDumper);
    pcap_close(FDead);
}

void TCaptureFile::Frames(const std::vector<TFrame>& AFrames)
{
    // The record header of the file format, as pcap_dump writes it: seconds, microseconds,
    // captured and wire length, each 32 bits in this machine's byte order. Written here
    // rather than through pcap_dump, which wants each frame in one piece: that would copy
    // every relayed byte once more.
    struct TRecordHeader {
        std::uint32_t Seconds, Microseconds, CapturedLength, Length;
    };
    std::lock_guard lock(FLock);
    if (FFailed)
        return;
    std::FILE* file = pcap_dump_file(FDumper);
    for (const TFrame& f : AFrames) {
        const auto us =
            std::chrono::duration_cast<std::chrono::microseconds>(f.Time.time_since_epoch())
                .count();
        const auto length = static_cast<std::uint32_t>(f.Head.size() + f.Payload.size());
        const TRecordHeader header{static_cast<std::uint32_t>(us / 1000000),
                                   static_cast<std::uint32_t>(us % 1000000), length, length};
        std::fwrite(&header, sizeof header, 1, file);
        std::fwrite(f.Head.data(), 1, f.Head.size(), file);
        if (!f.Payload.empty())
            std::fwrite(f.Payload.data(), 1, f.Payload.size(), file);
    }
    FDirty = true;
}

bool TCaptureFile::Flush(std::string& AError)
{
    std::lock_guard lock(FLock);
    if (FFailed || !FDirty)
        return !FFailed;
    FDirty = false;
    if (pcap_dump_flush(FDumper) == 0 && !std::ferror(pcap_dump_file(FDumper)))
        return true;
    FFailed = true;
    AError = FPath + ": cannot be written";
    return false;
}

// ---- the files of a channel ----

TCaptureFiles::TCaptureFiles() = default;

TCaptureFiles::~TCaptureFiles()
{
    {
        std::lock_guard lock(FLock);
        FStop = true;
    }
    FWake.notify_all();
    if (FFlusher.joinable())
        FFlusher.join();
    std::string ignored;
    if (FCurrent)
        FCurrent->Flush(ignored);
}

void TCaptureFiles::SetPlace(const std::string& AFolder, int AChannel)
{
    std::lock_guard lock(FLock);
    FFolder = AFolder;
    FChannel = AChannel;
    if (FCurrent)
        FOlder[FCurrent->Path()] = FCurrent;
    FCurrent.reset();
}

std::string TCaptureFiles::FileName(TCaptureTime ATime) const
{
    const std::time_t t = std::chrono::system_clock::to_time_t(ATime);
    std::tm local{};
    localtime_r(&t, &local);
    char day[16];
    std::strftime(day, sizeof day, "%Y%m%d", &local);
    std::lock_guard lock(FLock);
    std::string folder = FFolder.empty() ? "." : FFolder;
    if (folder.back() != '/')
        folder += '/';
    return folder + day + "-" + std::to_string(FChannel) + ".pcap";
}

std::shared_ptr<TCaptureFile> TCaptureFiles::Current()
{
    const std::string name = FileName(std::chrono::system_clock::now());
    std::string failure;
    {
        // One opening at a time: two handles on one file would each write a file header into
        // a new file and flush their buffers at their own times, cutting records apart.
        std::lock_guard opening(FOpenLock);
        {
            std::lock_guard lock(FLock);
            if (FCurrent && FCurrent->Path() == name)
                return FCurrent;
            // A handle still in use on that file (the place was set anew meanwhile) goes on.
            if (auto it = FOlder.find(name); it != FOlder.end())
                if (std::shared_ptr<TCaptureFile> open = it->second.lock())
                    return FCurrent = open;
        }
        std::string error;
        std::shared_ptr<TCaptureFile> file = TCaptureFile::Open(name, error);
        if (file) {
            std::lock_guard lock(FLock);
            if (FCurrent)
                FOlder[FCurrent->Path()] = FCurrent;
            FCurrent = file;
            FFailing = false;
            if (!FFlusher.joinable())
                FFlusher = std::thread([this] { FlushLoop(); });
            return file;
        }
        failure = name + ": " + error;
    }
    NoteFailure(failure);
    return nullptr;
}

void TCaptureFiles::NoteFailure(const std::string& AText)
{
    std::lock_guard lock(FLock);
    if (FFailing)
        return;
    FFailing = true;
    FPendingError = AText;
    FErrorPending = true;
}

std::string TCaptureFiles::TakeError()
{
    if (!FErrorPending.load(std::memory_order_relaxed))
        return {};
    std::lock_guard lock(FLock);
    FErrorPending = false;
    return std::exchange(FPendingError, std::string());
}

void TCaptureFiles::FlushLoop()
{
    std::unique_lock lock(FLock);
    while (!FStop) {
        FWake.wait_for(lock, std::chrono::milliseconds(500), [this] { return FStop; });
        std::vector<std::shared_ptr<TCaptureFile>> live;
        if (FCurrent)
            live.push_back(FCurrent);
        for (auto it = FOlder.begin(); it != FOlder.end();) {
            if (auto f = it->second.lock()) {
                live.push_back(std::move(f));
                ++it;
            } else {
                it = FOlder.erase(it);
            }
        }
        lock.unlock();
        for (const auto& file : live) {
            std::string error;
            if (!file->Flush(error))
                NoteFailure(error);
        }
        live.clear();  // a file may close here, outside the lock
        lock.lock();
    }
}
