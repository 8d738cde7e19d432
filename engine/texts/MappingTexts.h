// The texts a mapping server builds from its counters: the statistics text that ends every
// connection line and GetStatistics, and the busy-period text of a data record. Pure functions
// over a snapshot of the counters; thread safe.
#pragma once

#include <cstdint>
#include <string>

// Counters as read at one moment (each read whole, not all at the same instant).
struct TCounterSnapshot {
    std::int32_t CurrentThreads = 0;
    std::int32_t MaxThreads = 0;
    std::int32_t ConnectsIn = 0;
    std::int32_t DisconnectsIn = 0;
    std::int32_t ConnectsOut = 0;
    std::int64_t BytesCS = 0;
    std::int64_t BytesSC = 0;
};

// "CurrentThreads: 1  MaxThreads: 1  Connects (In): ...  Connects (Out): 0", and only when
// logDataMode > 0 "  Bytes C->S: n   S->C: m".
std::string FormatStatistics(const TCounterSnapshot& counters, std::int32_t logDataMode);

// The busy-period part of a data record: empty in mode 0 or less, else
// " Connection: Bytes C->S: b" [" = r/sec "] " S->C: b" [" = r/sec "], where a rate appears only
// when its direction's read counter and `seconds` are above 0.
std::string FormatConnectionInfo(std::int32_t logDataMode, std::int64_t busyBytesCS,
                                 std::int64_t busyBytesSC, std::int64_t bytesCS,
                                 std::int64_t bytesSC, double seconds);

// Seconds between two local date-times given in days.
double SecondsBetween(double startDays, double nowDays);

// " (TID= n) " for the thread id of a peer thread.
std::string ThreadTagText(long long threadId);

// " Refused connection from a.b.c.d:p (reason)." and, when lines were held back before it,
// " (n more)".
std::string RefusalText(const std::string& from, const std::string& reason, std::int32_t heldBack);

// " Condition: reset after 100000 bytes (Server -> Client)." (AWhat "reset" or "stall"): the
// tail of the line a connection writes when a condition ends a direction.
std::string ConditionText(const std::string& AWhat, std::int64_t ABytes, bool AClientToServer);

// "## " + time of day + " ".
std::string TimeStampText(const std::string& timeOfDay);
