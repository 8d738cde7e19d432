#include "app/window/LogRouter.h"

#include "app/window/ScreenLog.h"
#include "config/qvx_logger.h"
#include "net/ThreadChecks.h"

#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <string_view>

namespace {

// Decrements the in-progress count whichever way AddLogLine leaves.
struct TEntryGuard {
    std::atomic<int>& Count;
    ~TEntryGuard() { Count.fetch_sub(1); }
};

}  // namespace

void TLogRouter::AddLogLine(const std::string& text)
{
    const int entries = LogEntryCount.fetch_add(1) + 1;
    TEntryGuard guard{LogEntryCount};

    if (Routing.LogToScreen.load()) {
        const int lines = int(std::count(text.begin(), text.end(), '\n')) + 1;
        std::lock_guard lock(PendingLock);
        if (Closed.load())
            return;
        const bool wasEmpty = Pending.empty();
        Pending.push_back({text, lines});
        if (entries == 1 && Routing.LimitScreenLog.load())
            PendingTrim = true;
        if (wasEmpty)
            PostFlushLocked();
    }
    if (Routing.LogToFile.load())
        File.Write(text);
}

void TLogRouter::PostFlushLocked()
{
    if (!FlushTimer)
        return;
    // Posted by name: the call is built and delivered inside Qt, so no object made on this
    // thread is read on the main thread behind the back of our own locks. The call dies with
    // the timer, and the timer with the view.
    QMetaObject::invokeMethod(FlushTimer, "start", Qt::QueuedConnection);
}

namespace {

// The last `lines` lines of text: what follows its lines-th line break from the end.
std::string_view LastLines(const std::string& text, int lines)
{
    size_t cut = text.size();
    for (int i = 0; i < lines; ++i) {
        if (cut == 0)
            return text;
        cut = text.rfind('\n', cut - 1);
        if (cut == std::string::npos)
            return text;
    }
    return std::string_view(text).substr(cut + 1);
}

}  // namespace

void TLogRouter::FlushToView()
{
    AssertMainThread();
    std::vector<TPendingText> batch;
    bool trim = false;
    TScreenLog* view = nullptr;
    {
        std::lock_guard lock(PendingLock);
        batch.swap(Pending);
        trim = PendingTrim;
        PendingTrim = false;
        view = View;
    }
    if (!view || batch.empty())
        return;

    const int limit = std::max(1, Routing.ScreenLogLines.load());
    long long total = 0;
    for (const TPendingText& part : batch)
        total += part.Lines;
    // Without a bounded batch the records that go in are all of them; otherwise the tail.
    size_t first = 0;
    int firstLines = batch.front().Lines;
    const bool cut = trim && total > 2LL * limit;
    if (cut) {
        long long keep = std::max(limit, batch.back().Lines);
        first = batch.size();
        while (keep > 0 && first > 0) {
            --first;
            firstLines = int(std::min<long long>(keep, batch[first].Lines));
            keep -= batch[first].Lines;
        }
    }
    std::string joined;
    for (size_t i = first; i < batch.size(); ++i) {
        if (i > first)
            joined += "\r\n";  // as the file ends each record: a record's own LF stays apart
        if (i == first && cut)
            joined += LastLines(batch[i].Text, firstLines);
        else
            joined += batch[i].Text;
    }

    if (cut)
        view->clear();
    else if (trim)
        // The trim runs before the text goes in, as it would for a single line: the view may
        // hold more than the limit until the next flush that is allowed to trim.
        view->Trim(limit);
    view->AppendBytes(joined);
}

void TLogRouter::AttachView(TScreenLog* view)
{
    AssertMainThread();
    // Made and connected here, on the main thread; other threads only start it.
    auto* timer = new QTimer(view);
    timer->setSingleShot(true);
    // Lines are gathered for a short while and put into the view in one insert: under a
    // flood of data records, one insert per record would keep the event loop busy with
    // laying out text, and every connection that logs waits for the main thread.
    timer->setInterval(FlushIntervalMs);
    std::weak_ptr<TLogRouter> self = weak_from_this();
    QObject::connect(timer, &QTimer::timeout, timer, [self] {
        if (auto router = self.lock())
            router->FlushToView();
    });
    std::lock_guard lock(PendingLock);
    delete FlushTimer;
    View = view;
    FlushTimer = timer;
    if (!Pending.empty())
        PostFlushLocked();
}

void TLogRouter::DetachView()
{
    AssertMainThread();
    std::lock_guard lock(PendingLock);
    View = nullptr;
    delete FlushTimer;
    FlushTimer = nullptr;
}

void TLogRouter::OpenLogFile(std::unique_ptr<trabix::TQVX_Logger> logger)
{
    File.Open(std::move(logger));
}

void TLogRouter::SetFileWriter(TFileWriter writer)
{
    File.SetWriter(std::move(writer));
}

void TLogRouter::ReleaseFileWriter()
{
    File.Close();
}

void TLogRouter::Close()
{
    {
        std::lock_guard lock(PendingLock);
        Closed.store(true);
    }
    ReleaseFileWriter();
}
