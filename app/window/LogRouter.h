// TLogRouter: the back end of the window's AddLogLine. Every log line of the program passes
// through AddLogLine, from the main thread (the window's own lines and the lines the engine
// hands over through Synchronize) and directly from connection threads (the error line of a
// connection that ends by an exception).
//
// Screen: the caller appends its text to a pending list under a lock and, when the list was
// empty, starts the flush timer on the main thread. The flush takes the whole list, trims the
// view and inserts the text in one operation. So a hand-over costs the main thread one string
// copy (the text is converted for the view only at the flush), lines keep the order in which
// they entered the list (and so the order of each thread), the view changes only on the main
// thread, and a flood of data records is inserted in few large steps instead of one view
// operation per record. The flush trims (before inserting) when at least one of its lines came
// from a call that found no other call in progress.
//
// Under a flood the network layer may hand over many records before the event loop gets back
// to the flush. A flush that holds more than twice the line limit would be cut to the limit by
// the next trim anyway, so only its last lines (at least the limit, at least its last record)
// go into the view, which starts afresh: the cost of one flush stays bounded by the limit.
//
// File: the text goes to the program's file sink (TLogFileSink, the same the headless twin
// writes through) at once, on the calling thread, under the sink's lock, so ReleaseFileWriter
// can guarantee that no line reaches the logger after it returns. Lines after that are dropped.
//
// The router is shared (std::shared_ptr) by the window and by the OnLog callbacks of the
// mapping servers, so a connection thread that outlives the window still finds it alive.
#pragma once

#include "app/startup/LogFileSink.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class QTimer;
class TScreenLog;
namespace trabix {
class TQVX_Logger;
}  // namespace trabix

// The log switches AddLogLine reads at every line. Written on the main thread (whenever the
// window copies its controls into the settings), read by every thread that logs.
struct TLogRouting {
    std::atomic<bool> LogToScreen{true};
    std::atomic<bool> LogToFile{false};
    std::atomic<bool> LimitScreenLog{true};
    std::atomic<int> ScreenLogLines{5000};
};

class TLogRouter : public std::enable_shared_from_this<TLogRouter> {
public:
    using TFileWriter = TLogFileSink::TWriter;

    // Thread safe. The trim may only run for a call that found no other call in progress.
    void AddLogLine(const std::string& text);

    // How long lines gather before they go into the view in one insert.
    static constexpr int FlushIntervalMs = 50;

    // Called on the main thread only. Takes the pending text to the view now.
    void FlushToView();

    // Called on the main thread only. The view must be detached before it is destroyed.
    void AttachView(TScreenLog* view);
    void DetachView();

    // Thread safe. Hand over the daily file logger once it exists (or any writer, for tests);
    // after ReleaseFileWriter returns, no write of the old one is running or will start.
    void OpenLogFile(std::unique_ptr<trabix::TQVX_Logger> logger);
    void SetFileWriter(TFileWriter writer);
    void ReleaseFileWriter();

    // Thread safe. Drops every later line, screen and file alike, and releases the file writer:
    // the program's last line has been logged.
    void Close();

    TLogRouting Routing;
    // The number of AddLogLine calls in progress; changed only by atomic increment/decrement.
    std::atomic<int> LogEntryCount{0};

private:
    void PostFlushLocked();

    std::atomic<bool> Closed{false};

    struct TPendingText {
        std::string Text;
        int Lines = 0;  // line breaks + 1
    };

    std::mutex PendingLock;  // guards Pending, PendingTrim, View
    std::vector<TPendingText> Pending;
    bool PendingTrim = false;
    TScreenLog* View = nullptr;  // set and cleared on the main thread, under PendingLock
    // A child of View that runs the flush on the main thread; made, replaced and deleted on
    // the main thread under PendingLock, started from any thread.
    QTimer* FlushTimer = nullptr;

    TLogFileSink File;
};
