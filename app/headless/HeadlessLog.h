// THeadlessLog: where the headless twin's log lines go. Standard output stands in for the
// window's screen log (switch LogToScreen) and the daily file is written as the window writes
// it, through the one file sink of the program (TLogFileSink, switch LogToFile). Each text becomes one line on standard output: its CR LF pairs become LF, so a
// multi-line data record keeps its lines, and a LF ends it.
//
// Threads: AddLogLine is thread safe (the main thread, and connection threads for the error line
// of a connection that ends by an exception); a lock keeps lines whole and in the order they
// came. The switches are written on the main thread at any time.
#pragma once

#include "app/startup/LogFileSink.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace trabix {
class TQVX_Logger;
}  // namespace trabix

class THeadlessLog {
public:
    explicit THeadlessLog(std::unique_ptr<trabix::TQVX_Logger> logger);
    ~THeadlessLog();

    void AddLogLine(const std::string& text);
    void SetSwitches(bool toStandardOutput, bool toFile);
    // Drops every later line and releases the file logger: the program's last line is out.
    void Close();

private:
    std::atomic<bool> ToStandardOutput{true};
    std::atomic<bool> ToFile{false};
    // Guards Closed and keeps each line's two writes together, so standard output and the file
    // hold the lines in the same order.
    std::mutex Lock;
    TLogFileSink File;
    bool Closed = false;
};
