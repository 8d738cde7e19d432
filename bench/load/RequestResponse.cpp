// Many connections, small messages: each connection sends a small request (or several at
// once, pipelined) to the echo backend and waits for the whole answer before the next, as a
// database, cache or RPC client does. One event loop drives every connection, so the load
// generator costs the same whatever sits between it and the backend.
#include "ProcMemory.h"
#include "Workloads.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace load {
namespace {

constexpr int kConnectTimeoutMs = 5000;

struct RrConn {
    Fd fd;
    size_t expected = 0;  // bytes of the current answer still to come
    bool failed = false;
};

// One request of the given size: a key-value lookup padded to the size, ending in CR LF.
std::string makeRequest(int size)
{
    std::string r = "GET key:000000000042";
    r.resize(static_cast<size_t>(size > 2 ? size - 2 : 0), ' ');
    return r + "\r\n";
}

class RrLoop {
public:
    explicit RrLoop(const RrOptions& o)
        : o_(o), epoll_(epoll_create1(EPOLL_CLOEXEC)), batch_([&] {
              std::string one = makeRequest(o.size), all;
              for (int i = 0; i < o.pipeline; ++i)
                  all += one;
              return all;
          }())
    {}

    bool open();
    // Runs until the deadline; counts the requests whose whole answer came.
    void run(double deadline);
    long long completed = 0;
    int failed() const;

private:
    void sendBatch(RrConn& c);
    void onReadable(RrConn& c);

    const RrOptions& o_;
    Fd epoll_;
    std::string batch_;
    std::vector<RrConn> conns_;
    std::vector<char> buffer_ = std::vector<char>(64 * 1024);
};

bool RrLoop::open()
{
    conns_.resize(static_cast<size_t>(o_.conns));
    for (size_t i = 0; i < conns_.size(); ++i) {
        int err = 0;
        conns_[i].fd = connectWithTimeout(o_.target, kConnectTimeoutMs, err);
        if (!conns_[i].fd) {
            std::fprintf(stderr, "rr: connect failed: %s\n", std::strerror(err));
            return false;
        }
        setNoDelay(conns_[i].fd.get());
        setNonBlocking(conns_[i].fd.get(), true);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, conns_[i].fd.get(), &ev);
    }
    for (auto& c : conns_)
        sendBatch(c);
    return true;
}

void RrLoop::sendBatch(RrConn& c)
{
    // A few hundred bytes always fit an empty socket buffer; anything else is a failure.
    ssize_t n = ::send(c.fd.get(), batch_.data(), batch_.size(), MSG_NOSIGNAL);
    if (n != static_cast<ssize_t>(batch_.size())) {
        c.failed = true;
        return;
    }
    c.expected = batch_.size();
}

void RrLoop::onReadable(RrConn& c)
{
    ssize_t n = ::recv(c.fd.get(), buffer_.data(), buffer_.size(), 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0 || static_cast<size_t>(n) > c.expected) {
        c.failed = true;
        epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, c.fd.get(), nullptr);
        return;
    }
    // The echo must hold the request's bytes where they belong.
    const size_t offset = batch_.size() - c.expected;
    if (std::memcmp(buffer_.data(), batch_.data() + offset, static_cast<size_t>(n)) != 0)
        c.failed = true;
    c.expected -= static_cast<size_t>(n);
    if (c.expected == 0 && !c.failed) {
        completed += o_.pipeline;
        sendBatch(c);
    }
}

void RrLoop::run(double deadline)
{
    epoll_event events[256];
    while (nowSeconds() < deadline) {
        int n = epoll_wait(epoll_.get(), events, 256, 100);
        for (int i = 0; i < n; ++i) {
            RrConn& c = conns_[events[i].data.u64];
            if (!c.failed)
                onReadable(c);
        }
    }
}

int RrLoop::failed() const
{
    int n = 0;
    for (const auto& c : conns_)
        n += c.failed ? 1 : 0;
    return n;
}

double perMillion(double cpuSeconds, long long requests)
{
    return requests > 0 ? cpuSeconds * 1e6 / static_cast<double>(requests) : 0;
}

}  // namespace

int runRequestResponse(const RrOptions& o)
{
    RrLoop loop(o);
    if (!loop.open())
        return 1;
    // Warm up: every connection set up and answering before the clock starts.
    loop.run(nowSeconds() + o.warmupSeconds);
    const double relay0 = readTreeCpuSeconds(o.relayPids);
    const double backend0 = readTreeCpuSeconds(o.backendPids);
    const long long done0 = loop.completed;
    const double t0 = nowSeconds();
    loop.run(t0 + o.seconds);
    const double t1 = nowSeconds();
    const long long requests = loop.completed - done0;
    const double relayCpu = readTreeCpuSeconds(o.relayPids) - relay0;
    const double backendCpu = readTreeCpuSeconds(o.backendPids) - backend0;
    std::printf(
        "rr conns=%d pipeline=%d size=%d requests=%lld seconds=%.2f per_sec=%.0f"
        " failed=%d relay_cpu_s=%.2f backend_cpu_s=%.2f relay_cpu_s_per_m=%.2f"
        " backend_cpu_s_per_m=%.2f\n",
        o.conns, o.pipeline, o.size, requests, t1 - t0, static_cast<double>(requests) / (t1 - t0),
        loop.failed(), o.relayPids.empty() ? NAN : relayCpu, backendCpu,
        o.relayPids.empty() ? NAN : perMillion(relayCpu, requests),
        perMillion(backendCpu, requests));
    std::fflush(stdout);
    return 0;
}

}  // namespace load
