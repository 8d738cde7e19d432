#include "engine/texts/DumpFormats.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

std::string Blanks(std::size_t n)
{
    return std::string(n, ' ');
}

TEST(HexDump, ShortLineIsPaddedToSixtyFiveCharacters)
{
    EXPECT_EQ(HexDump("Hello"),
              "48 65 6C 6C 6F " + Blanks(33) + " " + "Hello" + Blanks(11) + "\r\n");
    EXPECT_EQ(HexDump(""), Blanks(65) + "\r\n");
}

TEST(HexDump, LineBoundaries)
{
    const std::string sixteen = "0123456789ABCDEF";
    const std::string full = "30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46  " + sixteen + "\r\n";
    EXPECT_EQ(HexDump(sixteen), full);  // exactly 16 bytes: no empty second line
    EXPECT_EQ(HexDump(sixteen + "Z"), full + "5A " + Blanks(45) + " Z" + Blanks(15) + "\r\n");
    EXPECT_EQ(HexDump(sixteen + sixteen), full + full);
}

TEST(HexDump, UnshowableBytesAreBlankInTheCharacterColumn)
{
    const std::string in("\x09\x80\xFF\x00\x7F\x20", 6);
    EXPECT_EQ(HexDump(in),
              "09 80 FF 00 7F 20 " + Blanks(30) + " " + "    \x7F " + Blanks(10) + "\r\n");
}

TEST(HexDump, EveryByteValueKeepsTheLineShape)
{
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    const std::string dump = HexDump(all);
    ASSERT_EQ(dump.size(), 16u * 67u);
    for (std::size_t line = 0; line < 16; ++line) {
        EXPECT_EQ(dump.substr(line * 67 + 65, 2), "\r\n");
        EXPECT_EQ(dump[line * 67 + 48], ' ');
    }
    EXPECT_EQ(dump.substr(15 * 67, 48), "F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF ");
}

TEST(FilterAscii, KeepsTextBytesAndReplacesTheRest)
{
    const std::string in("\x00\x41\x7F\x80\x0D\x0A\x09\xFF", 8);
    EXPECT_EQ(FilterAscii(in, "."), ".A\x7F.\r\n\t.");
    EXPECT_EQ(FilterAscii(in, ""), "A\x7F\r\n\t");
    EXPECT_EQ(FilterAscii(in, "<?>"), "<?>A\x7F<?>\r\n\t<?>");
}

TEST(AutoDump, TextPassesAndOneBinaryByteTurnsTheWholeReadIntoHex)
{
    const std::string http = "GET / HTTP/1.1\r\nHost: a\r\n\r\n";
    EXPECT_EQ(AutoDump(http), http);
    EXPECT_EQ(AutoDump(""), "");
    std::string withNul = http;
    withNul[20] = '\0';
    EXPECT_EQ(AutoDump(withNul), HexDump(withNul));
    EXPECT_EQ(AutoDump("caf\xC3\xA9"), HexDump("caf\xC3\xA9"));
}

TEST(ReplaceLineBreaks, PairsOnlyLeftToRight)
{
    EXPECT_EQ(ReplaceLineBreaks("a\r\n\r\nb", " - "), "a -  - b");
    EXPECT_EQ(ReplaceLineBreaks("a\n\rb", " - "), "a\n\rb");
    EXPECT_EQ(ReplaceLineBreaks("\r\r\n\n", "|"), "\r|\n");
    EXPECT_EQ(ReplaceLineBreaks("Socket Error # 10061\r\nConnection refused.", " - "),
              "Socket Error # 10061 - Connection refused.");
    EXPECT_EQ(ReplaceLineBreaks("end\r\n", ""), "end");
}

TEST(FormatTime, HoursMinutesSecondsMillisecondsWithColons)
{
    std::tm local{};
    local.tm_year = 126, local.tm_mday = 15, local.tm_hour = 9, local.tm_min = 5, local.tm_sec = 3;
    local.tm_isdst = -1;
    const auto base = std::chrono::system_clock::from_time_t(std::mktime(&local));
    EXPECT_EQ(FormatTime(base + std::chrono::microseconds(7999)), "09:05:03:007");
    EXPECT_EQ(FormatTime(base + std::chrono::milliseconds(999)), "09:05:03:999");
}

TEST(BuildDumpText, ModesPickTheirFormatPerDirection)
{
    const std::string request = "GET / HTTP/1.1\r\nA: b\r\n\r\nbody\x01";
    const std::string response = "HTTP/1.1 200 OK\r\nA: b\r\n\r\nbody\x01";
    const auto cs = TRelayDirection::ClientToServer;
    const auto sc = TRelayDirection::ServerToClient;
    EXPECT_EQ(BuildDumpText(0, cs, request), "");
    EXPECT_EQ(BuildDumpText(1, cs, std::string("\0\xFF", 2)), std::string("\0\xFF", 2));
    EXPECT_EQ(BuildDumpText(2, sc, std::string("\x00\x41\x0D\x0A", 4)), "A\r\n");
    EXPECT_EQ(BuildDumpText(3, sc, "a\x01"), "a.");
    EXPECT_EQ(BuildDumpText(4, cs, "Hello"), HexDump("Hello"));
    EXPECT_EQ(BuildDumpText(5, sc, "x\x02"), HexDump("x\x02"));
    EXPECT_EQ(BuildDumpText(6, cs, request), "GET / HTTP/1.1\r\nA: b\r\n");
    EXPECT_EQ(BuildDumpText(6, sc, response), "HTTP/1.1 200 OK\r\nA: b\r\n");
    EXPECT_EQ(BuildDumpText(7, cs, request), FilterAscii(request, ""));
    EXPECT_EQ(BuildDumpText(7, sc, response), "HTTP/1.1 200 OK\r\nA: b\r\n");
    EXPECT_EQ(BuildDumpText(8, cs, request), "GET / HTTP/1.1\r\nA: b\r\n");
    EXPECT_EQ(BuildDumpText(8, sc, response), FilterAscii(response, ""));
    EXPECT_EQ(BuildDumpText(9, sc, response), FilterAscii(response, ""));
    EXPECT_EQ(BuildDumpText(10, cs, request), "");
    EXPECT_EQ(BuildDumpText(-1, sc, response), "");
}

}  // namespace
