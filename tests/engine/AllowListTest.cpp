// The access rules as units: the allow list's parser and matcher, the gate's counts and
// tickets, the throttle of the refusal lines and the refusal text.
#include "AllowList.h"
#include "ConnectionGate.h"
#include "LineThrottle.h"
#include "MappingTexts.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::uint32_t Ip(const char* text) {
    return TAllowList::ParseAddress(text).value();
}

TAllowList Parsed(const char* text) {
    TAllowList list;
    EXPECT_EQ(list.Parse(text), "") << text;
    return list;
}

TEST(AllowList, EmptyOrBlankAllowsEveryone) {
    for (const char* text : {"", "   ", "\t"}) {
        const TAllowList list = Parsed(text);
        EXPECT_TRUE(list.AllowsEveryone());
        EXPECT_TRUE(list.Allows(Ip("203.0.113.9")));
    }
}

TEST(AllowList, AddressesAndRangesMatchTheirBoundsOnly) {
    const TAllowList list = Parsed(" 127.0.0.2 ,192.168.1.77/24,\t10.0.0.0/8");
    EXPECT_TRUE(list.Allows(Ip("127.0.0.2")));
    EXPECT_FALSE(list.Allows(Ip("127.0.0.1")));
    EXPECT_FALSE(list.Allows(Ip("127.0.0.3")));
    // Host bits under the prefix are dropped: .77/24 is the whole /24.
    EXPECT_TRUE(list.Allows(Ip("192.168.1.0")));
    EXPECT_TRUE(list.Allows(Ip("192.168.1.255")));
    EXPECT_FALSE(list.Allows(Ip("192.168.2.0")));
    EXPECT_FALSE(list.Allows(Ip("192.168.0.255")));
    EXPECT_TRUE(list.Allows(Ip("10.255.255.255")));
    EXPECT_FALSE(list.Allows(Ip("11.0.0.0")));
    EXPECT_FALSE(list.Allows(Ip("9.255.255.255")));
}

TEST(AllowList, ExtremePrefixesAndMergedRanges) {
    const TAllowList all = Parsed("0.0.0.0/0");
    EXPECT_FALSE(all.AllowsEveryone());
    EXPECT_TRUE(all.Allows(0) && all.Allows(0xffffffffu));
    const TAllowList top = Parsed("255.255.255.255/32, 255.0.0.0/8, 1.2.3.4/32");
    EXPECT_TRUE(top.Allows(0xffffffffu));
    EXPECT_TRUE(top.Allows(Ip("1.2.3.4")));
    EXPECT_FALSE(top.Allows(Ip("1.2.3.5")));
    EXPECT_EQ(top.RangeCount(), 2u);
    // Overlapping, nested and adjacent ranges become one.
    const TAllowList joined = Parsed("10.0.0.128/25, 10.0.0.0/25, 10.0.0.5, 10.0.1.0/24");
    EXPECT_EQ(joined.RangeCount(), 1u);
    EXPECT_TRUE(joined.Allows(Ip("10.0.1.255")));
    EXPECT_FALSE(joined.Allows(Ip("10.0.2.0")));
}

TEST(AllowList, TextThatDoesNotParseAllowsNoOneAndSaysWhere) {
    const std::vector<const char*> bad{"127.0.0.256", "127.0.0", "127.0.0.1.1", "1.2.3.4/33",
                                       "1.2.3.4/", "1.2.3.4/-1", "localhost", "127.0.0.1,",
                                       ",127.0.0.1", "1.2.3.4 5", "+1.2.3.4", "1..2.3",
                                       "0001.2.3.4", "::1", "1.2.3.4/8/8"};
    for (const char* text : bad) {
        TAllowList list;
        const std::string problem = list.Parse(std::string("127.0.0.1, ") + text);
        EXPECT_FALSE(problem.empty()) << text;
        EXPECT_FALSE(list.AllowsEveryone()) << text;
        EXPECT_FALSE(list.Allows(Ip("127.0.0.1"))) << text;
    }
    TAllowList list;
    EXPECT_EQ(list.Parse("10.0.0.1, 300.1.1.1/8"), "\"300.1.1.1/8\" is not an IPv4 address or range");
    EXPECT_EQ(list.Parse("10.0.0.1, , 10.0.0.2"), "empty entry in the list");
}

TEST(ConnectionGate, CapsCountUntilTicketsEndAndSurviveTheGate) {
    auto gate = std::make_unique<TConnectionGate>();
    std::vector<std::unique_ptr<TIdObject>> held;
    for (int i = 0; i < 3; ++i)
        held.push_back(gate->Admit("127.0.0.2", 4, 3).Ticket);
    EXPECT_EQ(gate->Admit("127.0.0.2", 4, 3).Reason, "source limit 3");
    held.push_back(gate->Admit("127.0.0.3", 4, 3).Ticket);
    EXPECT_EQ(gate->Admit("127.0.0.3", 4, 3).Reason, "channel limit 4");
    EXPECT_EQ(gate->OpenConnections(), 4);
    held.erase(held.begin());  // one of 127.0.0.2's ends
    EXPECT_NE(gate->Admit("127.0.0.2", 4, 3).Ticket, nullptr);
    // Counted without caps too, so a cap set later sees the open connections.
    EXPECT_EQ(gate->OpenConnections(), 3);
    auto uncapped = gate->Admit("127.0.0.9", 0, 0).Ticket;
    EXPECT_EQ(gate->Admit("127.0.0.9", 4, 0).Reason, "channel limit 4");
    gate.reset();
    held.clear();  // tickets may outlive their gate
}

TEST(ConnectionGate, AllowListIsSwappedWholeAndABadOneRefusesAll) {
    TConnectionGate gate;
    EXPECT_EQ(gate.SetAllowFrom("127.0.0.2"), "");
    EXPECT_EQ(gate.Admit("127.0.0.1", 0, 0).Reason, "not allowed");
    EXPECT_NE(gate.Admit("127.0.0.2", 0, 0).Ticket, nullptr);
    EXPECT_EQ(gate.SetAllowFrom("127.0.0.1, nonsense"),
              "\"nonsense\" is not an IPv4 address or range");
    EXPECT_EQ(gate.AllowFromProblem(), "\"nonsense\" is not an IPv4 address or range");
    EXPECT_EQ(gate.Admit("127.0.0.1", 0, 0).Reason, "not allowed");
    EXPECT_EQ(gate.Admit("127.0.0.2", 0, 0).Reason, "not allowed");
    EXPECT_EQ(gate.SetAllowFrom(""), "");
    EXPECT_EQ(gate.AllowFromProblem(), "");
    EXPECT_NE(gate.Admit("127.0.0.1", 0, 0).Ticket, nullptr);
}

TEST(LineThrottle, OneLinePerIntervalCarryingTheHeldBackCount) {
    TLineThrottle throttle(1000);
    std::int32_t held = -1;
    EXPECT_TRUE(throttle.Pass(0xfffffe00u, held));  // near the wrap of the tick counter
    EXPECT_EQ(held, 0);
    EXPECT_FALSE(throttle.Pass(0xfffffe00u + 10, held));
    EXPECT_FALSE(throttle.Pass(0xfffffe00u + 999, held));
    EXPECT_TRUE(throttle.Pass(0xfffffe00u + 1000, held));  // wrapped past 0
    EXPECT_EQ(held, 2);
    EXPECT_TRUE(throttle.Pass(0xfffffe00u + 5000, held));
    EXPECT_EQ(held, 0);
}

TEST(MappingTexts, RefusalText) {
    EXPECT_EQ(RefusalText("10.0.0.5:3050", "not allowed", 0),
              " Refused connection from 10.0.0.5:3050 (not allowed).");
    EXPECT_EQ(RefusalText("10.0.0.5:3050", "channel limit 100", 7),
              " Refused connection from 10.0.0.5:3050 (channel limit 100). (7 more)");
}

}  // namespace
