// Capture files checked with tshark: ten connections at once, payloads from 1 byte to 4 MiB in
// both directions at the same time, some closed by the client, some by the target, one reset;
// the file must hold one whole, clean TCP conversation per connection with exactly the bytes.
#include "MappingFixture.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

namespace enginetest {
namespace {

namespace fs = std::filesystem;

enum class TEnd { Client, Target, Reset };

struct TPlan {
    std::string Up;  // client to target; its first byte is the connection's number
    std::string Down;  // target to client
    TEnd End;
    int ClientPort = 0;
    std::atomic<bool> TargetGotAll{false};
};

std::string RunCommand(const std::string& ACommand)
{
    std::string out;
    FILE* p = ::popen(ACommand.c_str(), "r");
    if (!p)
        return out;
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    ::pclose(p);
    return out;
}

bool HaveTshark()
{
    return std::system("command -v tshark >/dev/null 2>&1") == 0;
}

std::string FromHex(const std::string& AHex)
{
    std::string out;
    for (std::size_t i = 0; i + 1 < AHex.size(); i += 2)
        out += static_cast<char>(std::stoi(AHex.substr(i, 2), nullptr, 16));
    return out;
}

// The bytes each way of every "-z follow,tcp,raw,K" block, by the client's port (node 0 is the
// side that sent the first frame: the client's SYN).
std::map<int, std::pair<std::string, std::string>> ParseFollow(const std::string& AOut)
{
    std::map<int, std::pair<std::string, std::string>> streams;
    std::istringstream in(AOut);
    std::string line;
    int port = -1;
    while (std::getline(in, line)) {
        if (line.rfind("Node 0: ", 0) == 0) {
            port = std::stoi(line.substr(line.rfind(':') + 1));
            streams[port];
        } else if (line.rfind("=====", 0) == 0) {
            port = -1;
        } else if (port >= 0 && !line.empty() && line.rfind("Node 1: ", 0) != 0) {
            if (line[0] == '\t')
                streams[port].second += FromHex(line.substr(1));
            else
                streams[port].first += FromHex(line);
        }
    }
    return streams;
}

// The target: reads the connection's number from the first byte, then sends its part while
// reading the client's, and ends as the plan says.
void ServeTarget(int AFd, std::vector<std::unique_ptr<TPlan>>& APlans)
{
    TFd fd(AFd);
    const std::string head = RecvAtMost(fd.Get(), 1, Clock::now() + kDeadline);
    if (head.size() != 1)
        return;
    TPlan& plan = *APlans.at(static_cast<std::size_t>(head[0] - '0'));
    std::thread sender([&] { SendAll(fd.Get(), plan.Down); });
    const std::string rest = RecvAtMost(fd.Get(), plan.Up.size() - 1, Clock::now() + kDeadline);
    plan.TargetGotAll = head + rest == plan.Up;
    sender.join();
    if (plan.End != TEnd::Target)
        WaitForClose(fd.Get(), Clock::now() + kDeadline);
}

void RunClient(int AListenPort, TPlan& APlan)
{
    TFd fd = ConnectTo(AListenPort);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len);
    APlan.ClientPort = ntohs(a.sin_port);
    std::thread sender([&] { SendAll(fd.Get(), APlan.Up); });
    const std::string down = RecvAtMost(fd.Get(), APlan.Down.size(), Clock::now() + kDeadline);
    sender.join();
    EXPECT_EQ(down.size(), APlan.Down.size());
    if (APlan.End == TEnd::Target) {
        EXPECT_TRUE(WaitForClose(fd.Get(), Clock::now() + kDeadline));
    } else if (APlan.End == TEnd::Reset) {
        // Everything has crossed before the reset, so the file must hold all of it.
        const auto deadline = Clock::now() + kDeadline;
        while (!APlan.TargetGotAll && Clock::now() < deadline)
            ::poll(nullptr, 0, 1);
        const linger abortive{1, 0};
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    }
}

class CaptureFileTest : public MappingTest {
protected:
    fs::path Folder;
    void SetUp() override
    {
        char tmpl[] = "/tmp/trabix-capture-XXXXXX";
        Folder = ::mkdtemp(tmpl);
    }
    void TearDown() override
    {
        MappingTest::TearDown();
        Map.SetActive(false);
        fs::remove_all(Folder);
    }
};

TEST_F(CaptureFileTest, TsharkReadsOneCleanConversationPerConnectionWithExactlyTheBytes)
{
    if (!HaveTshark())
        GTEST_SKIP() << "tshark is not installed (scripts/deps.sh installs it)";
    const std::size_t upSizes[] = {1, 4 << 20, 65495, 65496, 300000, 7, 1 << 20, 1000, 131072, 20};
    const std::size_t downSizes[] = {4 << 20, 1,  3,      65495 * 2 + 1, 1000,
                                     1 << 20, 40, 250000, 65535,         0};
    std::vector<std::unique_ptr<TPlan>> plans;
    for (std::size_t i = 0; i < 10; ++i) {
        auto plan = std::make_unique<TPlan>();
        plan->Up = static_cast<char>('0' + i) + RandomBytes(upSizes[i] - 1, i);
        plan->Down = RandomBytes(downSizes[i], 100 + i);
        plan->End = i == 9 ? TEnd::Reset : i % 2 ? TEnd::Target : TEnd::Client;
        plans.push_back(std::move(plan));
    }

    // The target listens on port 0; each accepted connection is served on its own thread.
    int targetPort = 0;
    TFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener.Get(), 16), 0);
    ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&addr), &len);
    targetPort = ntohs(addr.sin_port);
    std::vector<std::thread> targets;
    std::thread acceptor([&] {
        for (int i = 0; i < 10; ++i) {
            const int fd = ::accept(listener.Get(), nullptr, nullptr);
            if (fd < 0)
                break;
            targets.emplace_back([fd, &plans] { ServeTarget(fd, plans); });
        }
    });

    Map.CaptureToFile = true;
    // The in-memory capture too, with room for the largest payload: its raw bytes are what
    // the stream view saves.
    Map.Capture = true;
    TConnectionLimits roomy;
    roomy.CapturePerDirection = 8u << 20;
    roomy.CapturePerChannel = 128u << 20;
    Map.Registry().SetLimits(roomy);
    Map.SetCapturePlace(Folder.string(), 3);
    StartMapping(targetPort);
    std::vector<std::thread> clients;
    for (auto& plan : plans)
        clients.emplace_back([&, p = plan.get()] { RunClient(ListenPort(), *p); });
    for (auto& c : clients)
        c.join();
    acceptor.join();
    for (auto& t : targets)
        t.join();
    ASSERT_TRUE(WaitForDisconnects(10));

    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(Folder))
        files.push_back(e.path());
    ASSERT_EQ(files.size(), 1u);
    const std::string name = files[0].filename().string();
    EXPECT_EQ(name.size(), 8 + 2 + 5u);
    EXPECT_EQ(name.substr(8), "-3.pcap");

    // Every port as plain data, so that no dissector chosen by a random port judges the bytes.
    std::string decode = " -d tcp.port==" + std::to_string(targetPort) + ",data";
    std::string follow;
    for (auto& plan : plans)
        decode += " -d tcp.port==" + std::to_string(plan->ClientPort) + ",data";
    for (int k = 0; k < 10; ++k)
        follow += " -z follow,tcp,raw," + std::to_string(k);
    const std::string file = " -r '" + files[0].string() + "'";
    const std::string out =
        RunCommand("tshark -q" + file + decode + " -z conv,tcp" + follow + " 2>&1");

    const std::string target = "127.0.0.1:" + std::to_string(targetPort);
    std::vector<std::string> conversations;  // the lines of the conversation table
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (line.find("<->") != std::string::npos)
            conversations.push_back(line);
    ASSERT_EQ(conversations.size(), 10u) << out.substr(0, 3000);
    for (auto& plan : plans) {
        const std::string client = "127.0.0.1:" + std::to_string(plan->ClientPort) + " ";
        int found = 0;
        for (const std::string& c : conversations)
            found += c.find(client) != std::string::npos &&
                c.find("<-> " + target + " ") != std::string::npos;
        EXPECT_EQ(found, 1) << "conversation of client port " << plan->ClientPort;
    }
    const auto streams = ParseFollow(out);
    ASSERT_EQ(streams.size(), 10u);
    for (auto& plan : plans) {
        const auto it = streams.find(plan->ClientPort);
        ASSERT_NE(it, streams.end()) << "no stream for client port " << plan->ClientPort;
        EXPECT_TRUE(it->second.first == plan->Up) << "C->S bytes differ for " << plan->Up[0];
        EXPECT_TRUE(it->second.second == plan->Down) << "S->C bytes differ for " << plan->Up[0];
    }
    // With checksum validation on: no frame has a bad IP or TCP checksum either.
    const std::string flagged =
        RunCommand("tshark -o ip.check_checksum:TRUE -o tcp.check_checksum:TRUE" + file + decode +
                   " -Y 'tcp.analysis.flags || _ws.malformed || ip.checksum.status == 0 ||"
                   " tcp.checksum.status == 0' 2>/dev/null");
    EXPECT_EQ(flagged, "");
    // The raw bytes kept in memory, as "Save C->S", "Save S->C" and "Save Both" write them.
    for (const TConnectionSnapshot& s : Map.ConnectionSnapshot()) {
        const auto plan = std::find_if(plans.begin(), plans.end(), [&](const auto& p) {
            return p->ClientPort == s.Client.Port;
        });
        ASSERT_NE(plan, plans.end());
        const TCaptureCopy copy = Map.FindConnection(s.Id)->Capture().CopyFrom(0);
        EXPECT_TRUE(JoinedBytes(copy.Pieces, TRelayDirection::ClientToServer) == (*plan)->Up);
        EXPECT_TRUE(JoinedBytes(copy.Pieces, TRelayDirection::ServerToClient) == (*plan)->Down);
        EXPECT_EQ(JoinedBytes(copy.Pieces, std::nullopt).size(),
                  (*plan)->Up.size() + (*plan)->Down.size());
    }
    // The reset connection ends with a reset from the client, the others with FINs.
    const std::string resets = RunCommand(
        "tshark" + file + decode + " -Y 'tcp.flags.reset==1' -T fields -e tcp.srcport 2>/dev/null");
    EXPECT_EQ(resets, std::to_string(plans[9]->ClientPort) + "\n");
}

// A folder the file cannot be made in: one channel line says so, and the relay goes on.
TEST_F(CaptureFileTest, AFileThatCannotBeWrittenIsOneLogLineAndTheRelayGoesOn)
{
    TBackend backend;
    Map.Logging = true;
    Map.CaptureToFile = true;
    Map.SetCapturePlace((Folder / "missing" / "folder").string(), 2);
    StartMapping(backend.Port());
    for (int i = 0; i < 3; ++i) {
        TFd fd = ConnectTo(ListenPort());
        std::string reply;
        RunServing([&] { reply = ExchangeOn(fd, "through " + std::to_string(i)); });
        EXPECT_EQ(reply, Transformed("through " + std::to_string(i)));
    }
    ASSERT_TRUE(WaitForDisconnects(3));
    int errorLines = 0;
    for (const std::string& l : Log.Lines()) {
        if (l.find(" Capture file error: ") == std::string::npos)
            continue;
        ++errorLines;
        EXPECT_NE(l.find("missing/folder/"), std::string::npos) << l;
    }
    EXPECT_EQ(errorLines, 1);
}

}  // namespace
}  // namespace enginetest
