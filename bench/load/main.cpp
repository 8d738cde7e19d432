// trabix-load: backends and client workloads for measuring a TCP relay from outside.
//
//   trabix-load serve [--max-seconds S]
//   trabix-load tput --port P --dir up|down [--conns N] [--bytes B] [--max-seconds S]
//   trabix-load latency --port P [--count N] [--max-seconds S]
//   trabix-load cps --port P [--workers N] [--seconds S]
//   trabix-load burst --port P [--conns N] [--rounds R] [--max-seconds S]
//   trabix-load hold --port P [--levels 1000,4000,8000] [--pids A,B] [--window N]
//                    [--open-seconds S] [--echo-seconds S] [--latency-at LEVEL] [--count N]
//                    [--latency-seconds S]
//   trabix-load rr --port P [--conns N] [--pipeline K] [--size B] [--seconds S]
//                  [--warmup-seconds S] [--relay-pids A,B] [--backend-pids C]
//   trabix-load tls-tput --port P [--conns N] [--bytes B] [--max-seconds S]
//   trabix-load tls-cps --port P [--workers N] [--seconds S]
//   trabix-load tls-rr --port P [--conns N] [--pipeline K] [--size B] [--seconds S]
//                      [--warmup-seconds S]
//   trabix-load shape --row PORT:CONNS:LIMIT [--row ...] [--seconds S]
//   trabix-load freeport [--count N]
//   trabix-load wait-port --port P [--seconds S]
//   trabix-load mem --pids A,B
// Every command takes --host (default 127.0.0.1), which must lie in 127.0.0.0/8.
#include "Backends.h"
#include "ProcMemory.h"
#include "Workloads.h"

#include <poll.h>
#include <sys/socket.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace load;

// "--key value" pairs; a key given twice keeps every value (for --row).
class Args {
public:
    bool parse(int argc, char** argv, int first)
    {
        for (int i = first; i < argc; i += 2) {
            std::string key = argv[i];
            if (key.rfind("--", 0) != 0 || i + 1 >= argc) {
                std::fprintf(stderr, "expected --key value, got %s\n", argv[i]);
                return false;
            }
            values_.emplace(key.substr(2), argv[i + 1]);
        }
        return true;
    }
    std::string text(const std::string& key, const std::string& fallback) const
    {
        auto it = values_.find(key);
        return it == values_.end() ? fallback : it->second;
    }
    double number(const std::string& key, double fallback) const
    {
        auto it = values_.find(key);
        return it == values_.end() ? fallback : std::strtod(it->second.c_str(), nullptr);
    }
    std::vector<std::string> all(const std::string& key) const
    {
        std::vector<std::string> out;
        auto [first, last] = values_.equal_range(key);
        for (auto it = first; it != last; ++it)
            out.push_back(it->second);
        return out;
    }

private:
    std::multimap<std::string, std::string> values_;
};

std::vector<int> intList(const std::string& text)
{
    std::vector<int> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty())
            out.push_back(std::atoi(item.c_str()));
    return out;
}

bool target(const Args& args, int port, Target& out)
{
    std::string error;
    if (!Target::parse(args.text("host", "127.0.0.1"), port, out, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    return true;
}

void printPorts(const BackendPorts& ports)
{
    std::printf("backend echo=%u sink=%u source=%u\n", ports.echo, ports.sink, ports.source);
    std::fflush(stdout);
}

// Picks count distinct ports that are free now. They are held until all are chosen, so they
// differ; a program started with them afterwards can still lose one to a race, which the
// caller notices when that program fails to listen.
int freePorts(int count)
{
    std::vector<Fd> held;
    for (int i = 0; i < count && i < 64; ++i) {
        uint16_t port = 0;
        Fd fd = listenLoopback(1, port);
        if (!fd)
            return 1;
        std::printf(i == 0 ? "%u" : " %u", port);
        held.push_back(std::move(fd));
    }
    std::printf("\n");
    return 0;
}

int waitPort(const Target& t, double seconds)
{
    const double deadline = nowSeconds() + seconds;
    while (nowSeconds() < deadline) {
        int err = 0;
        if (connectWithTimeout(t, 500, err))
            return 0;
        // Refused at once: give the program a moment to reach its listen call.
        ::poll(nullptr, 0, 20);
    }
    return 1;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: trabix-load serve|tput|latency|cps|burst|rr|tls-tput|tls-cps|tls-rr|hold|shape|freeport|"
                 "wait-port|mem [--key value ...]\n");
    return 64;
}

int dispatch(const std::string& cmd, const Args& args)
{
    Target t;
    const int port = static_cast<int>(args.number("port", 0));
    if (cmd == "serve")
        return runBackends(args.number("max-seconds", 3600), printPorts);
    if (cmd == "freeport")
        return freePorts(static_cast<int>(args.number("count", 1)));
    if (cmd == "mem") {
        MemUsage m = readTreeMemory(intList(args.text("pids", "")));
        std::printf("mem procs=%d rss_kb=%ld pss_kb=%ld\n", m.processes, m.rssKb, m.pssKb);
        return 0;
    }
    if (cmd == "shape") {
        ShapeOptions o;
        o.seconds = args.number("seconds", 10);
        for (const auto& row : args.all("row")) {
            std::vector<int> parts = intList([&] {
                std::string s = row;
                for (char& ch : s)
                    ch = ch == ':' ? ',' : ch;
                return s;
            }());
            ShapeRow r;
            if (parts.size() != 3 || !target(args, parts[0], r.target))
                return usage();
            r.conns = parts[1];
            r.limit = parts[2];
            o.rows.push_back(r);
        }
        return runShape(o);
    }
    if (!target(args, port, t))
        return usage();
    if (cmd == "wait-port")
        return waitPort(t, args.number("seconds", 10));
    if (cmd == "tput" || cmd == "tls-tput") {
        std::string dir = args.text("dir", "up");
        TputOptions o{t, dir == "up", static_cast<int>(args.number("conns", 1)),
                      static_cast<uint64_t>(args.number("bytes", 1e9)),
                      args.number("max-seconds", 10)};
        return cmd == "tput" ? runTput(o) : runTlsDownload(o);
    }
    if (cmd == "latency")
        return runLatency(LatencyOptions{t, static_cast<int>(args.number("count", 20000)),
                                         args.number("max-seconds", 30)},
                          0);
    if (cmd == "cps" || cmd == "tls-cps") {
        CpsOptions o{t, static_cast<int>(args.number("workers", 8)), args.number("seconds", 5)};
        return cmd == "cps" ? runCps(o) : runTlsCps(o);
    }
    if (cmd == "burst")
        return runBurst(BurstOptions{t, static_cast<int>(args.number("conns", 200)),
                                     static_cast<int>(args.number("rounds", 5)),
                                     args.number("max-seconds", 10)});
    if (cmd == "rr" || cmd == "tls-rr") {
        RrOptions o;
        o.target = t;
        o.conns = static_cast<int>(args.number("conns", 50));
        o.pipeline = static_cast<int>(args.number("pipeline", 1));
        o.size = static_cast<int>(args.number("size", 40));
        o.seconds = args.number("seconds", 5);
        o.warmupSeconds = args.number("warmup-seconds", 1);
        o.relayPids = intList(args.text("relay-pids", ""));
        o.backendPids = intList(args.text("backend-pids", ""));
        return cmd == "rr" ? runRequestResponse(o) : runTlsRequestResponse(o);
    }
    if (cmd == "hold") {
        HoldOptions o;
        o.target = t;
        o.levels = intList(args.text("levels", "1000,4000,8000"));
        o.pids = intList(args.text("pids", ""));
        o.window = static_cast<int>(args.number("window", 16));
        o.openSeconds = args.number("open-seconds", 20);
        o.echoSeconds = args.number("echo-seconds", 10);
        o.latencySeconds = args.number("latency-seconds", 10);
        o.latencyAt = static_cast<int>(args.number("latency-at", 0));
        o.latencyCount = static_cast<int>(args.number("count", 20000));
        return runHold(o);
    }
    return usage();
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return usage();
    std::signal(SIGPIPE, SIG_IGN);
    // Thousands of held connections need thousands of descriptors.
    load::raiseFileLimit();
    Args args;
    if (!args.parse(argc, argv, 2))
        return usage();
    return dispatch(argv[1], args);
}
