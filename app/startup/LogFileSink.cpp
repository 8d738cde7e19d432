#include "app/startup/LogFileSink.h"

#include "config/qvx_logger.h"

TLogFileSink::TLogFileSink() = default;

TLogFileSink::~TLogFileSink() = default;

void TLogFileSink::Open(std::unique_ptr<trabix::TQVX_Logger> logger)
{
    std::lock_guard lock(Lock);
    Logger = std::move(logger);
    trabix::TQVX_Logger* target = Logger.get();
    Writer = target ? TWriter([target](const std::string& text) { return target->WriteLog(text); })
                    : TWriter();
}

void TLogFileSink::SetWriter(TWriter writer)
{
    std::lock_guard lock(Lock);
    Writer = std::move(writer);
    Logger.reset();
}

void TLogFileSink::Write(const std::string& text)
{
    std::lock_guard lock(Lock);
    if (Writer)
        Writer(text);  // its result is not looked at: the logger counts its failures
}

void TLogFileSink::Close()
{
    std::lock_guard lock(Lock);
    Writer = nullptr;
    Logger.reset();
}
