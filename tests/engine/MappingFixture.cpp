#include "MappingFixture.h"

#include "net/IdSync.h"
#include "support/LoopbackMapping.h"

#include <atomic>
#include <utility>

namespace enginetest {

void TLogSink::Add(const std::string& AText)
{
    std::string kept = AText;
    const std::size_t lineEnd = AText.find("\r\n");
    if (AText.size() > 4096 && lineEnd != std::string::npos)
        kept = AText.substr(0, lineEnd);
    const bool onMain = IsMainThread();  // asked outside the lock: it takes a lock of its own
    std::lock_guard lock(FLock);
    FLines.push_back(std::move(kept));
    FOnMain.push_back(onMain);
}

std::vector<std::string> TLogSink::Lines()
{
    std::lock_guard lock(FLock);
    return FLines;
}

std::size_t TLogSink::Count()
{
    std::lock_guard lock(FLock);
    return FLines.size();
}

bool TLogSink::AllOnMainThread()
{
    std::lock_guard lock(FLock);
    for (bool b : FOnMain)
        if (!b)
            return false;
    return true;
}

void TLogSink::Clear()
{
    std::lock_guard lock(FLock);
    FLines.clear();
    FOnMain.clear();
}

std::int64_t TLogSink::LengthSum(const std::string& ADirectionHeader)
{
    std::lock_guard lock(FLock);
    std::int64_t sum = 0;
    for (const std::string& l : FLines) {
        const std::size_t at = l.find(ADirectionHeader + " Length= ");
        if (at == std::string::npos)
            continue;
        sum += std::stoll(l.substr(at + ADirectionHeader.size() + 9));
    }
    return sum;
}

namespace {

// Where the digits of " (TID= n) " stand in the text's first line: {position, length}.
std::pair<std::size_t, std::size_t> FindThreadId(const std::string& AText)
{
    const std::size_t at = AText.find(" (TID= ");
    const std::size_t end = AText.find(") ", at);
    if (at == std::string::npos || end == std::string::npos || end > AText.find("\r\n"))
        return {};
    return {at + 7, end - at - 7};
}

}  // namespace

std::string NormaliseLine(const std::string& ALine)
{
    std::string out = ALine;
    const auto [at, length] = FindThreadId(out);
    if (length > 0)
        out.replace(at, length, "N");
    // "## hh:nn:ss:zzz " -> "## T "
    if (out.rfind("## ", 0) == 0 && out.size() > 15 && out[5] == ':' && out[8] == ':' &&
        out[11] == ':' && out[15] == ' ')
        out.replace(3, 12, "T");
    return out;
}

std::vector<std::string> TLogSink::Normalised()
{
    std::vector<std::string> out;
    std::string firstTid;
    for (const std::string& l : Lines()) {
        const auto [at, length] = FindThreadId(l);
        if (length > 0) {
            if (firstTid.empty())
                firstTid = l.substr(at, length);
            EXPECT_EQ(l.substr(at, length), firstTid) << "thread id changed within one connection";
        }
        out.push_back(NormaliseLine(l));
    }
    return out;
}

void MappingTest::RunServing(const std::function<void()>& AWork)
{
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        AWork();
        finished = true;
        WakeMainThread();
    });
    ServeWhileWaiting([&] { return finished.load(); });
    worker.join();
}

void MappingTest::TearDown()
{
    WaitUntil([&] { return Map.Threads().Count() == 0; }, std::chrono::seconds(10));
}

void MappingTest::UseFakeClockAndConnectionLines()
{
    Map.SetEngineClock(&FakeClock);
    Map.Logging = true;
    Map.LogConnInfo = true;
}

void MappingTest::StartMapping(int ATargetPort)
{
    Map.ChannelName = "Channel 1;";
    Map.OnLog = [this](const std::string& AText) { Log.Add(AText); };
    Map.SetTerminateWaitTime(500);
    MapOnLoopback(Map, ATargetPort);
    Map.SetActive(true);
    FListenPort = Map.Bindings().Items(0)->Port();
}

bool MappingTest::WaitForDisconnects(int ACount)
{
    return WaitUntil(
        [&] { return Map.DisconnectsIn.load() >= ACount && Map.Threads().Count() == 0; });
}

}  // namespace enginetest
