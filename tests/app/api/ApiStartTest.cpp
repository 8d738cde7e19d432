// What the control API starts from: --api on the command line, the "[address:]port" text, and
// the token file made once, for its owner only, and read back at every later start.
#include "app/api/ApiAddress.h"
#include "app/api/ApiToken.h"
#include "app/startup/CommandLine.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

TCommandLine Parse(QStringList arguments)
{
    arguments.prepend(QStringLiteral("trabix"));
    return ParseCommandLine(arguments);
}

}  // namespace

TEST(ApiStart, ApiOptionTakesAnAddressAndPortAndNeedsAValue)
{
    const TCommandLine c = Parse({QStringLiteral("--headless"), QStringLiteral("--api"),
                                  QStringLiteral("0")});
    EXPECT_EQ(c.Action, TCommandLine::TAction::Run);
    EXPECT_EQ(c.ApiListen, "0");
    EXPECT_EQ(Parse({QStringLiteral("--api=127.0.0.2:8080")}).ApiListen, "127.0.0.2:8080");
    EXPECT_TRUE(Parse({}).ApiListen.empty());
    for (const QStringList& wrong : {QStringList{QStringLiteral("--api")},
                                     QStringList{QStringLiteral("--api=")}})
        EXPECT_EQ(Parse(wrong).Action, TCommandLine::TAction::Fail);
    EXPECT_NE(Parse({QStringLiteral("--help")}).Usage.find("--api"), std::string::npos);
}

TEST(ApiStart, ListenTextsAndWhatTheyMean)
{
    TApiAddress a;
    std::string why;
    ASSERT_TRUE(ParseApiAddress("0", a, why));
    EXPECT_EQ(a.Address, QHostAddress(QHostAddress::LocalHost));
    EXPECT_EQ(a.Port, 0);
    ASSERT_TRUE(ParseApiAddress("0.0.0.0:9100", a, why));
    EXPECT_EQ(ApiAddressText(a.Address, a.Port), "0.0.0.0:9100");
    ASSERT_TRUE(ParseApiAddress("[::1]:81", a, why));
    EXPECT_EQ(ApiAddressText(a.Address, a.Port), "[::1]:81");
    for (const char* wrong : {"", "x", "65536", "-1", "127.0.0.1:", "host:80"}) {
        why.clear();
        EXPECT_FALSE(ParseApiAddress(wrong, a, why)) << wrong;
        EXPECT_FALSE(why.empty()) << wrong;
    }
    // The command line wins over the settings while it says anything.
    EXPECT_EQ(ApiListenInForce("127.0.0.1:5"), "127.0.0.1:5");
    OverrideApiListen("0");
    EXPECT_EQ(ApiListenInForce("127.0.0.1:5"), "0");
    OverrideApiListen("");
    EXPECT_TRUE(ApiListenInForce("").empty());
}

TEST(ApiStart, TheTokenFileIsMadeOnceForItsOwnerAndReadBack)
{
    testkit::TTempDir dir;
    const std::string path = dir / "api-token";
    std::string first, why;
    ASSERT_TRUE(LoadOrCreateApiToken(path, first, why)) << why;
    struct stat facts {};
    ASSERT_EQ(::stat(path.c_str(), &facts), 0);
    EXPECT_EQ(facts.st_mode & 0777, 0600u);
    EXPECT_EQ(first.size(), 64u);
    std::string again;
    ASSERT_TRUE(LoadOrCreateApiToken(path, again, why));
    EXPECT_EQ(again, first);
    EXPECT_TRUE(SameToken(first, first));
    EXPECT_FALSE(SameToken(first.substr(1), first));
    EXPECT_FALSE(SameToken(first + "0", first));
    EXPECT_FALSE(SameToken("", first));

    // A token of the user's own is taken as it stands; an empty file is no token.
    testkit::WriteFile(path, "  my-own-token\n");
    ASSERT_TRUE(LoadOrCreateApiToken(path, again, why));
    EXPECT_EQ(again, "my-own-token");
    testkit::WriteFile(path, "\n");
    EXPECT_FALSE(LoadOrCreateApiToken(path, again, why));
    EXPECT_NE(why.find("no token"), std::string::npos);
}
