#include "engine/texts/MappingTexts.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(FormatConnectionInfo, RatesAppearOnlyForDirectionsThatHaveRead)
{
    EXPECT_EQ(FormatConnectionInfo(0, 10, 10, 10, 10, 1.0), "");
    // The first read on an idle channel: nothing written yet, nothing read from the target.
    EXPECT_EQ(FormatConnectionInfo(4, 0, 0, 5, 0, 0.25),
              " Connection: Bytes C->S: 0 = 0/sec  S->C: 0");
    EXPECT_EQ(FormatConnectionInfo(1, 5, 5, 0, 0, 2.0), " Connection: Bytes C->S: 5 S->C: 5");
    EXPECT_EQ(FormatConnectionInfo(1, 5, 3, 5, 3, 2.0),
              " Connection: Bytes C->S: 5 = 2/sec  S->C: 3 = 2/sec ");  // 2.5 -> 2, 1.5 -> 2
    EXPECT_EQ(FormatConnectionInfo(1, 5, 3, 5, 3, 0.0), " Connection: Bytes C->S: 5 S->C: 3");
    EXPECT_EQ(FormatConnectionInfo(1, 5, 3, 5, 3, -1.0), " Connection: Bytes C->S: 5 S->C: 3");
}

TEST(FormatConnectionInfo, CountsPastTwoGibibytesStayPositive)
{
    const std::int64_t big = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 10;
    EXPECT_EQ(FormatConnectionInfo(4, big, 0, big, 0, 1.0),
              " Connection: Bytes C->S: 2147483657 = 2147483657/sec  S->C: 0");
}

}  // namespace
