#include "engine/texts/MappingTexts.h"

#include "engine/conditions/TrafficShaping.h"

std::string FormatStatistics(const TCounterSnapshot& c, std::int32_t logDataMode)
{
    std::string text = "CurrentThreads: " + std::to_string(c.CurrentThreads) + "  " +
        "MaxThreads: " + std::to_string(c.MaxThreads) + "  " +
        "Connects (In): " + std::to_string(c.ConnectsIn) + "  " +
        "Disconnects (In): " + std::to_string(c.DisconnectsIn) + "  " +
        "Connects (Out): " + std::to_string(c.ConnectsOut);
    if (logDataMode > 0) {
        text += "  Bytes C->S: " + std::to_string(c.BytesCS) + "  " +
            " S->C: " + std::to_string(c.BytesSC);
    }
    return text;
}

namespace {

std::string RateText(std::int64_t busyBytes, std::int64_t readBytes, double seconds)
{
    if (readBytes <= 0 || !(seconds > 0))
        return {};
    return " = " + std::to_string(RoundHalfEven(static_cast<double>(busyBytes) / seconds)) +
        "/sec ";
}

}  // namespace

std::string FormatConnectionInfo(std::int32_t logDataMode, std::int64_t busyBytesCS,
                                 std::int64_t busyBytesSC, std::int64_t bytesCS,
                                 std::int64_t bytesSC, double seconds)
{
    if (logDataMode <= 0)
        return {};
    return " Connection: Bytes C->S: " + std::to_string(busyBytesCS) +
        RateText(busyBytesCS, bytesCS, seconds) + " S->C: " + std::to_string(busyBytesSC) +
        RateText(busyBytesSC, bytesSC, seconds);
}

double SecondsBetween(double startDays, double nowDays)
{
    return (nowDays - startDays) * 24 * 60 * 60;
}

std::string ThreadTagText(long long threadId)
{
    return " (TID= " + std::to_string(threadId) + ") ";
}

std::string RefusalText(const std::string& from, const std::string& reason, std::int32_t heldBack)
{
    std::string text = " Refused connection from " + from + " (" + reason + ").";
    if (heldBack > 0)
        text += " (" + std::to_string(heldBack) + " more)";
    return text;
}

std::string TimeStampText(const std::string& timeOfDay)
{
    return "## " + timeOfDay + " ";
}

std::string ConditionText(const std::string& AWhat, std::int64_t ABytes, bool AClientToServer)
{
    return " Condition: " + AWhat + " after " + std::to_string(ABytes) + " bytes (" +
        (AClientToServer ? "Client -> Server" : "Server -> Client") + ").";
}
