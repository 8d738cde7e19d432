// TLogFileSink: the file half of the program's log, the same for the window and the headless
// twin. It hands every line to the daily file logger (or, in tests, to any writer) under a
// lock, so Close can promise that no write runs or starts after it returns: the logger can be
// released while connection threads still log. Lines written while no writer is set are
// dropped. The logger counts its own write failures; nobody else looks at them.
//
// How to use it: Open with the program's logger (MakeProgramLogger) once it exists, Write
// from any thread, Close when the program's last line is out.
// Threads: every member is thread safe.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace trabix {
class TQVX_Logger;
}  // namespace trabix

class TLogFileSink {
public:
    using TWriter = std::function<bool(const std::string&)>;

    TLogFileSink();
    ~TLogFileSink();

    // Takes the logger and writes every later line to its daily file.
    void Open(std::unique_ptr<trabix::TQVX_Logger> logger);
    // Writes every later line through writer instead (an empty one drops them).
    void SetWriter(TWriter writer);
    void Write(const std::string& text);
    // Releases the writer and its logger; after it returns no write runs or starts.
    void Close();

private:
    std::mutex Lock;  // held while the writer runs; guards Writer and Logger
    TWriter Writer;
    std::unique_ptr<trabix::TQVX_Logger> Logger;
};
