#include "LogRouter.h"

#include "ScreenLog.h"

#include <QMetaObject>

namespace {

// Decrements the in-progress count whichever way AddLogLine leaves.
struct TEntryGuard {
    std::atomic<int> &Count;
    ~TEntryGuard() { Count.fetch_sub(1); }
};

} // namespace

void TLogRouter::AddLogLine(const std::string &text)
{
    const int entries = LogEntryCount.fetch_add(1) + 1;
    TEntryGuard guard{LogEntryCount};

    if (Routing.LogToScreen.load()) {
        QString lines = QString::fromUtf8(text.data(), qsizetype(text.size()));
        lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        const int count = int(lines.count(QLatin1Char('\n'))) + 1;
        std::lock_guard lock(PendingLock);
        if (Closed.load())
            return;
        const bool wasEmpty = PendingLines == 0;
        if (!wasEmpty)
            Pending += QLatin1Char('\n');
        Pending += lines;
        PendingLines += count;
        if (entries == 1 && Routing.LimitScreenLog.load())
            PendingTrim = true;
        if (wasEmpty)
            PostFlushLocked();
    }
    if (Routing.LogToFile.load()) {
        std::lock_guard lock(FileLock);
        if (FileWriter)
            FileWriter(text); // its result is not looked at: the logger counts its failures
    }
}

void TLogRouter::PostFlushLocked()
{
    if (!View)
        return;
    // The posted call dies with the view (Qt drops queued calls of a destroyed receiver).
    std::weak_ptr<TLogRouter> self = weak_from_this();
    QMetaObject::invokeMethod(
        View,
        [self] {
            if (auto router = self.lock())
                router->FlushToView();
        },
        Qt::QueuedConnection);
}

void TLogRouter::FlushToView()
{
    QString text;
    int lines = 0;
    bool trim = false;
    TScreenLog *view = nullptr;
    {
        std::lock_guard lock(PendingLock);
        text.swap(Pending);
        lines = PendingLines;
        trim = PendingTrim;
        PendingLines = 0;
        PendingTrim = false;
        view = View;
    }
    if (!view || lines == 0)
        return;

    // The trim runs before the text goes in, as it would for a single line: the view may hold
    // more than the limit until the next flush that is allowed to trim.
    if (trim)
        view->Trim(std::max(1, Routing.ScreenLogLines.load()));
    view->AppendText(text);
}

void TLogRouter::AttachView(TScreenLog *view)
{
    std::lock_guard lock(PendingLock);
    View = view;
    if (PendingLines > 0)
        PostFlushLocked();
}

void TLogRouter::DetachView()
{
    std::lock_guard lock(PendingLock);
    View = nullptr;
}

void TLogRouter::SetFileWriter(TFileWriter writer)
{
    std::lock_guard lock(FileLock);
    FileWriter = std::move(writer);
}

void TLogRouter::ReleaseFileWriter()
{
    std::lock_guard lock(FileLock);
    FileWriter = nullptr;
}

void TLogRouter::Close()
{
    {
        std::lock_guard lock(PendingLock);
        Closed.store(true);
    }
    ReleaseFileWriter();
}
