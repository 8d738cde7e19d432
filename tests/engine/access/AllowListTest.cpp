// The access rules as units: the allow list's parser and matcher, and the gate's counts and
// tickets. The refusal itself, its lines and their throttle are in AccessControlTest.
#include "engine/access/AllowList.h"
#include "engine/access/ConnectionGate.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::uint32_t Ip(const char* text)
{
    return TAllowList::ParseAddress(text).value();
}

TEST(AllowList, MatchesAddressesAndRangesUpToTheirBoundsOnly)
{
    TAllowList list;
    ASSERT_EQ(list.Parse(" \t"), "");
    EXPECT_TRUE(list.AllowsEveryone() && list.Allows(Ip("203.0.113.9")));
    // Host bits under a prefix are dropped; nested, overlapping and adjacent ranges merge.
    ASSERT_EQ(list.Parse(" 127.0.0.2 ,192.168.1.77/24,\t10.0.0.128/25, 10.0.0.0/25, 10.0.0.5,"
                         "10.0.1.0/24, 255.255.255.255/32, 255.0.0.0/8"),
              "");
    EXPECT_EQ(list.RangeCount(), 4u);
    for (const char* in : {"127.0.0.2", "192.168.1.0", "192.168.1.255", "10.0.0.0", "10.0.1.255",
                           "255.0.0.0", "255.255.255.255"})
        EXPECT_TRUE(list.Allows(Ip(in))) << in;
    for (const char* out : {"127.0.0.1", "127.0.0.3", "192.168.0.255", "192.168.2.0",
                            "9.255.255.255", "10.0.2.0", "254.255.255.255", "0.0.0.0"})
        EXPECT_FALSE(list.Allows(Ip(out))) << out;
    ASSERT_EQ(list.Parse("0.0.0.0/0"), "");
    EXPECT_TRUE(!list.AllowsEveryone() && list.Allows(0) && list.Allows(0xffffffffu));
}

TEST(AllowList, TextThatDoesNotParseAllowsNoOneAndSaysWhere)
{
    for (const char* bad : {"127.0.0.256", "127.0.0", "127.0.0.1.1", "1.2.3.4/33", "1.2.3.4/",
                            "1.2.3.4/-1", "localhost", "127.0.0.1,", ",127.0.0.1", "1.2.3.4 5",
                            "+1.2.3.4", "1..2.3", "0001.2.3.4", "::1::", "1.2.3.4/8/8",
                            "::1/129", "fd00::/", "::ffff:10.0.0.0/95", "fe80::1%no-such-if0"}) {
        TAllowList list;
        EXPECT_NE(list.Parse(std::string("127.0.0.1, ") + bad), "") << bad;
        EXPECT_FALSE(list.AllowsEveryone() || list.Allows(Ip("127.0.0.1"))) << bad;
    }
    TAllowList list;
    EXPECT_EQ(list.Parse("10.0.0.1, 300.1.1.1/8"),
              "\"300.1.1.1/8\" is not an IPv4 address or range");
    EXPECT_EQ(list.Parse("10.0.0.1, , 10.0.0.2"), "empty entry in the list");
    EXPECT_EQ(list.Parse("::1, fd00::/129"), "\"fd00::/129\" is not an IPv6 address or range");
}

TEST(AllowList, IPv6EntriesBesideIPv4OnesAndIPv4EntriesMatchIPv4MappedClients)
{
    const auto at = [](const char* text) { return TIdIPAddress::Parse(text).value(); };
    TAllowList list;
    ASSERT_EQ(list.Parse("127.0.0.1, ::1, fd00:1:2::/48, [2001:db8::7], ::ffff:10.0.0.0/104"), "");
    for (const char* in : {"::1", "fd00:1:2::", "fd00:1:2:ffff:ffff:ffff:ffff:ffff", "2001:db8::7",
                           "127.0.0.1", "::ffff:127.0.0.1", "10.200.0.1", "::ffff:10.0.0.9"})
        EXPECT_TRUE(list.Allows(at(in))) << in;
    for (const char* out : {"::2", "fd00:1:3::", "2001:db8::8", "127.0.0.2", "::ffff:127.0.0.2",
                            "11.0.0.0", "::127.0.0.1"})
        EXPECT_FALSE(list.Allows(at(out))) << out;
    ASSERT_EQ(list.Parse("::/0"), "");
    EXPECT_TRUE(list.Allows(at("2001:db8::1")));
    EXPECT_FALSE(list.Allows(at("10.0.0.1"))) << "an IPv6 range let an IPv4 client in";
}

TEST(ConnectionGate, CountsPerAddressWhicheverFamilyItCameThrough)
{
    TConnectionGate gate;
    ASSERT_EQ(gate.SetAllowFrom("::1, 127.0.0.1"), "");
    std::vector<std::unique_ptr<TIdObject>> held;
    held.push_back(gate.Admit("::1", 0, 1).Ticket);
    held.push_back(gate.Admit("127.0.0.1", 0, 1).Ticket);
    EXPECT_EQ(gate.Admit("::1", 0, 1).Reason, "source limit 1");
    EXPECT_EQ(gate.Admit("::ffff:127.0.0.1", 0, 1).Reason, "source limit 1");
    EXPECT_EQ(gate.Admit("::2", 0, 1).Reason, "not allowed");
    held.clear();
    EXPECT_NE(gate.Admit("::ffff:127.0.0.1", 0, 1).Ticket, nullptr);
}

TEST(ConnectionGate, CapsCountUntilTicketsEndAndTicketsMayOutliveTheGate)
{
    auto gate = std::make_unique<TConnectionGate>();
    std::vector<std::unique_ptr<TIdObject>> held;
    for (int i = 0; i < 3; ++i)
        held.push_back(gate->Admit("127.0.0.2", 4, 3).Ticket);
    EXPECT_EQ(gate->Admit("127.0.0.2", 4, 3).Reason, "source limit 3");
    held.push_back(gate->Admit("127.0.0.3", 4, 3).Ticket);
    EXPECT_EQ(gate->Admit("127.0.0.3", 4, 3).Reason, "channel limit 4");
    held.erase(held.begin());  // one of 127.0.0.2's ends
    EXPECT_NE(gate->Admit("127.0.0.2", 4, 3).Ticket, nullptr);
    // Counted without caps too, so that a cap set later sees the open connections.
    auto uncapped = gate->Admit("127.0.0.9", 0, 0).Ticket;
    EXPECT_EQ(gate->Admit("127.0.0.9", 4, 0).Reason, "channel limit 4");
    EXPECT_EQ(gate->OpenConnections(), 4);

    EXPECT_EQ(gate->SetAllowFrom("127.0.0.9, nonsense"),
              "\"nonsense\" is not an IPv4 address or range");
    EXPECT_EQ(gate->AllowFromProblem(), gate->SetAllowFrom("127.0.0.9, nonsense"));
    EXPECT_EQ(gate->Admit("127.0.0.9", 0, 0).Reason, "not allowed");
    gate.reset();
    held.clear();
}

}  // namespace
