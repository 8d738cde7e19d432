// The control API in the window: a change made through it shows in the channel's row at once,
// reaches the running server, and counts as an edit the window offers to save; the token file
// is shown on the Logging tab. Requests come from a thread of their own over loopback, while the
// main thread keeps serving the window's event loop (where the API runs).
#include "WindowFixture.h"

#include "app/api/ApiAddress.h"
#include "app/api/ControlApi.h"
#include "engine/qv_IdMappedPortTCP.h"

#include <QLineEdit>
#include <QSpinBox>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include <poll.h>
#include <sys/socket.h>

using namespace apptest;

namespace {

// The answer's head and as much of its body as Content-Length says (the server keeps the
// connection open).
std::string ReadHttpAnswer(int fd)
{
    std::string answer;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        const size_t head = answer.find("\r\n\r\n");
        if (head != std::string::npos) {
            const size_t field = answer.find("Content-Length: ");
            const size_t length =
                field == std::string::npos ? 0 : std::stoul(answer.substr(field + 16));
            if (answer.size() >= head + 4 + length)
                break;
        }
        pollfd wait{fd, POLLIN, 0};
        if (::poll(&wait, 1, 100) <= 0)
            continue;
        char buffer[65536];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        answer.append(buffer, static_cast<size_t>(got));
    }
    return answer;
}

// One HTTP request on a thread of its own; Answer is whole once Done.
class TRequest {
public:
    TRequest(int port, const std::string& text)
        : Worker([this, port, text] {
              TFd fd = ConnectTo(port);
              SendAll(fd.Get(), text);
              Answer = ReadHttpAnswer(fd.Get());
              Done.store(true);
          })
    {
    }
    ~TRequest() { Worker.join(); }
    std::atomic<bool> Done{false};
    std::string Answer;

private:
    std::thread Worker;
};

std::string HttpRequest(const std::string& method, const std::string& path,
                        const std::string& token, const std::string& body = {})
{
    return method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
        (token.empty() ? std::string() : "Authorization: Bearer " + token + "\r\n") +
        "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\n\r\n" + body;
}

class TApiWindowTest : public TWindowTest {
protected:
    void SetUp() override { OverrideApiListen("127.0.0.1:0"); }
    void TearDown() override { OverrideApiListen(""); }

    int ApiPort() const { return Form->ControlApi()->serverPorts().value(0); }
    std::string Token() const
    {
        std::ifstream file(Sandbox.Path().toStdString() + "/api-token");
        std::string token;
        file >> token;
        return token;
    }
    // Sends the request and serves the window until the answer is in.
    std::string Send(const std::string& request)
    {
        TRequest r(ApiPort(), request);
        EXPECT_TRUE(WaitFor([&] { return r.Done.load(); }));
        return r.Answer;
    }
};

}  // namespace

TEST_F(TApiWindowTest, APatchShowsInTheRowReachesTheServerAndIsAnEdit)
{
    const int port = FreePort();
    Open({{.ListenPort = port, .MapPort = Target.Port(), .Logging = false}});
    Form->StartMappings();
    ASSERT_NE(Form->ControlApi(), nullptr);
    EXPECT_FALSE(Form->ConfigChanged);
    EXPECT_TRUE(Form->LoggingPage->Places->text().contains(QStringLiteral("api-token")));

    const std::string answer =
        Send(HttpRequest("PATCH", "/v1/channels/1", Token(),
                         R"({"Remarks": "via api", "MaxSpeed": 5000, "LatencyCS": 40})"));
    EXPECT_EQ(answer.substr(0, 15), "HTTP/1.1 200 OK") << answer;
    EXPECT_EQ(Row(1).Remarks->text(), QStringLiteral("via api"));
    EXPECT_EQ(Row(1).MaxSpeed->value(), 5000);
    EXPECT_FALSE(Row(1).ConditionMark->isHidden());
    EXPECT_EQ(Form->Mapping(1)->MaxSpeedCS.Get(), 5000);
    EXPECT_EQ(Form->Mapping(1)->Conditions().Latency(TRelayDirection::ClientToServer), 40);
    EXPECT_TRUE(Form->ConfigChanged);
    // The row's edit handlers did not copy the row back over other channels' records.
    EXPECT_EQ(Settings.Port(1).Remarks, "via api");

    // Still relaying through the running channel: the change was live, not a restart.
    EXPECT_EQ(Exchange(port, "abc"), "ABC");
}

TEST_F(TApiWindowTest, WithoutTheTokenNothingChangesAndOneLineSaysSo)
{
    Open({{.ListenPort = FreePort(), .MapPort = Target.Port()}});
    for (int i = 0; i < 3; ++i) {
        const std::string answer =
            Send(HttpRequest("PATCH", "/v1/channels/1", "wrong", R"({"Remarks": "x"})"));
        EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 401") << answer;
    }
    EXPECT_EQ(Row(1).Remarks->text(), QStringLiteral("echo"));
    EXPECT_FALSE(Form->ConfigChanged);
    EXPECT_TRUE(WaitScreenHas(QStringLiteral("Control API: refused a request without a valid token")));
    EXPECT_EQ(ScreenLines().filter(QStringLiteral("without a valid token")).size(), 1);
}
