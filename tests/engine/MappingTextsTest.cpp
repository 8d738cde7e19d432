#include "MappingTexts.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(FormatStatistics, ByteCountsOnlyAboveModeZero) {
    TCounterSnapshot c{1, 1, 1, 0, 0, 0, 0};
    EXPECT_EQ(FormatStatistics(c, 0),
              "CurrentThreads: 1  MaxThreads: 1  Connects (In): 1  Disconnects (In): 0  "
              "Connects (Out): 0");
    c = {2, 7, 12, 10, 11, 5, 3000000000LL};
    EXPECT_EQ(FormatStatistics(c, 4),
              "CurrentThreads: 2  MaxThreads: 7  Connects (In): 12  Disconnects (In): 10  "
              "Connects (Out): 11  Bytes C->S: 5   S->C: 3000000000");
    EXPECT_EQ(FormatStatistics(c, -1), FormatStatistics(c, 0));
}

TEST(FormatConnectionInfo, RatesAppearOnlyForDirectionsThatHaveRead) {
    EXPECT_EQ(FormatConnectionInfo(0, 10, 10, 10, 10, 1.0), "");
    // The first read on an idle channel: nothing written yet, nothing read from the target.
    EXPECT_EQ(FormatConnectionInfo(4, 0, 0, 5, 0, 0.25), " Connection: Bytes C->S: 0 = 0/sec  S->C: 0");
    EXPECT_EQ(FormatConnectionInfo(1, 5, 5, 0, 0, 2.0), " Connection: Bytes C->S: 5 S->C: 5");
    EXPECT_EQ(FormatConnectionInfo(1, 5, 3, 5, 3, 2.0),
              " Connection: Bytes C->S: 5 = 2/sec  S->C: 3 = 2/sec ");  // 2.5 -> 2, 1.5 -> 2
    EXPECT_EQ(FormatConnectionInfo(1, 5, 3, 5, 3, 0.0), " Connection: Bytes C->S: 5 S->C: 3");
    EXPECT_EQ(FormatConnectionInfo(1, 5, 3, 5, 3, -1.0), " Connection: Bytes C->S: 5 S->C: 3");
}

TEST(FormatConnectionInfo, CountsPastTwoGibibytesStayPositive) {
    const std::int64_t big = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 10;
    EXPECT_EQ(FormatConnectionInfo(4, big, 0, big, 0, 1.0),
              " Connection: Bytes C->S: 2147483657 = 2147483657/sec  S->C: 0");
}

TEST(SecondsBetween, DaysToSeconds) {
    EXPECT_DOUBLE_EQ(SecondsBetween(46000.0, 46000.5), 43200.0);
    EXPECT_NEAR(SecondsBetween(46000.5, 46000.5 + 1.5 / 86400), 1.5, 1e-6);
}

TEST(LineParts, ThreadTagAndTimeStamp) {
    EXPECT_EQ(ThreadTagText(1234) + " Incoming", " (TID= 1234)  Incoming");
    EXPECT_EQ(TimeStampText("14:03:27:512"), "## 14:03:27:512 ");
}

}  // namespace
