#include "engine/texts/HttpHeaders.h"

#include <gtest/gtest.h>

namespace {

// The header text, or "<none>" when the extractor reports nothing found; the found flag must
// agree with the text.
std::string Request(std::string_view read)
{
    bool found = true;
    const std::string header = ExtractRequestHeader(read, &found);
    EXPECT_EQ(found, !header.empty());
    return found ? header : "<none>";
}

std::string Response(std::string_view read)
{
    bool found = true;
    const std::string header = ExtractResponseHeader(read, &found);
    EXPECT_EQ(found, !header.empty());
    return found ? header : "<none>";
}

TEST(ExtractRequestHeader, CutsAtTheFirstEmptyLineAndLeavesTheBodyOut)
{
    EXPECT_EQ(Request("POST /x HTTP/1.1\r\nHost: h\r\nContent-Length: 4\r\n\r\nbody"),
              "POST /x HTTP/1.1\r\nHost: h\r\nContent-Length: 4\r\n");
    EXPECT_EQ(Request("GET / HTTP/1.0\r\n\r\nGET /b HTTP/1.0\r\nX: y\r\n\r\n"),
              "GET / HTTP/1.0\r\n");  // pipelined: only the first block
    EXPECT_EQ(Request(std::string("GET /\0 HTTP/1.1\r\n\r\n\xFF", 20)),
              std::string("GET /\0 HTTP/1.1\r\n", 17));
}

TEST(ExtractRequestHeader, MethodsAreExactAndListed)
{
    for (const char* m : {"GET", "HEAD", "POST", "PUT", "OPTIONS", "TRACE"})
        EXPECT_NE(Request(std::string(m) + " / HTTP/1.1\r\n\r\n"), "<none>") << m;
    for (const char* m : {"get", "CONNECT", "DELETE", "PATCH", " GET", "GETX", "GET\t"})
        EXPECT_EQ(Request(std::string(m) + " / HTTP/1.1\r\n\r\n"), "<none>") << m;
    EXPECT_EQ(Request("GET"), "<none>");  // no blank: the whole read is the first word
    EXPECT_EQ(Request(""), "<none>");
}

TEST(ExtractRequestHeader, VersionTagAndLineBreakPositions)
{
    // Without any version tag the block still counts.
    EXPECT_EQ(Request("GET /\r\nHost: h\r\n\r\n"), "GET /\r\nHost: h\r\n");
    // The tag beyond the first line break stops it.
    EXPECT_EQ(Request("GET /\r\nX: HTTP/1.1\r\n\r\n"), "<none>");
    // A tag after the empty line stops it too (p2 > p3 is caught already by p1 < p2).
    EXPECT_EQ(Request("GET /\r\n\r\nHTTP/1.1"), "<none>");
    EXPECT_EQ(Request("GET / HTTP/1.1"), "<none>");  // no CR LF at all
    EXPECT_EQ(Request("GET / HTTP/1.1\n\n"), "<none>");  // bare line feeds
    EXPECT_EQ(Request("GET / HTTP/1.1\r\nHost: h\r\n"), "<none>");  // block not complete
}

TEST(ExtractRequestHeader, SplitBlockYieldsNothingInEitherRead)
{
    EXPECT_EQ(Request("GET / HTTP/1.1\r\nHost: h\r\n"), "<none>");
    EXPECT_EQ(Request("Accept: */*\r\n\r\n"), "<none>");
}

TEST(ExtractResponseHeader, VersionMustBeOnePointZeroOrOne)
{
    EXPECT_EQ(Response("HTTP/1.1 200 OK\r\nA: b\r\n\r\n<html>"), "HTTP/1.1 200 OK\r\nA: b\r\n");
    EXPECT_EQ(Response("HTTP/1.0 404 Not Found\r\n\r\n"), "HTTP/1.0 404 Not Found\r\n");
    EXPECT_EQ(Response("HTTP/1.2 200 OK\r\n\r\n"), "<none>");
    EXPECT_EQ(Response("HTTP/2 200\r\n\r\n"), "<none>");
    EXPECT_EQ(Response("http/1.1 200 OK\r\n\r\n"), "<none>");
    EXPECT_EQ(Response("HTTP/1.1\r\n\r\n"), "<none>");  // first word runs past the line break
}

TEST(ExtractResponseHeader, NeedsTheEmptyLineInTheSameRead)
{
    EXPECT_EQ(Response("HTTP/1.1 200 OK\r\nA: b\r\n"), "<none>");
    EXPECT_EQ(Response("B: c\r\n\r\n"), "<none>");
    EXPECT_EQ(Response("middle of a body\r\n\r\nmore"), "<none>");
    EXPECT_EQ(Response("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n"),
              "HTTP/1.1 100 Continue\r\n");
}

}  // namespace
