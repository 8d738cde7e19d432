#include "app/headless/HeadlessLog.h"

#include "config/qvx_logger.h"

#include <cerrno>
#include <unistd.h>

namespace {

// Standard output may be a pipe to the journal or a terminal; a short write is continued, a
// failed one (nobody reads any more) drops the line.
void WriteToStandardOutput(const std::string& line)
{
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += size_t(n);
    }
}

std::string AsOutputLine(const std::string& text)
{
    std::string line;
    line.reserve(text.size() + 1);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        line += text[i];
    }
    line += '\n';
    return line;
}

}  // namespace

THeadlessLog::THeadlessLog(std::unique_ptr<trabix::TQVX_Logger> logger)
{
    File.Open(std::move(logger));
}

THeadlessLog::~THeadlessLog() = default;

void THeadlessLog::SetSwitches(bool toStandardOutput, bool toFile)
{
    ToStandardOutput.store(toStandardOutput);
    ToFile.store(toFile);
}

void THeadlessLog::AddLogLine(const std::string& text)
{
    std::lock_guard lock(Lock);
    if (Closed)
        return;
    if (ToStandardOutput.load())
        WriteToStandardOutput(AsOutputLine(text));
    if (ToFile.load())
        File.Write(text);
}

void THeadlessLog::Close()
{
    std::lock_guard lock(Lock);
    Closed = true;
    File.Close();
}
