// Connection bursts: many clients connect at the same moment and each waits for the echo of
// one byte. A relay whose accept queue overflows drops SYNs, which the clients resend only
// after 1 s and 3 s; the tail of the connect+echo times shows that.
#include "Workloads.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace load {
namespace {

struct BurstClient {
    Fd fd;
    double started = 0;
    bool sent = false;
    bool done = false;
};

// One burst: starts every connect before waiting for any, then moves each client on as its
// socket becomes ready. Appends the connect+echo time (ms) of every client that got its echo
// to samples; returns the number of failures (refused, reset, wrong byte or out of time).
int runOneBurst(const BurstOptions& o, std::vector<double>& samples)
{
    Fd epoll(epoll_create1(EPOLL_CLOEXEC));
    std::vector<BurstClient> clients(static_cast<size_t>(o.conns));
    int failed = 0;
    int open = 0;
    for (size_t i = 0; i < clients.size(); ++i) {
        int err = 0;
        clients[i].started = nowSeconds();
        clients[i].fd = startConnect(o.target, err);
        if (!clients[i].fd) {
            ++failed;
            clients[i].done = true;
            continue;
        }
        epoll_event ev{};
        ev.events = EPOLLOUT | EPOLLIN;
        ev.data.u64 = i;
        epoll_ctl(epoll.get(), EPOLL_CTL_ADD, clients[i].fd.get(), &ev);
        ++open;
    }
    const double deadline = nowSeconds() + o.maxSeconds;
    epoll_event events[256];
    while (open > 0 && nowSeconds() < deadline) {
        const int n = epoll_wait(epoll.get(), events, 256, 100);
        for (int k = 0; k < n; ++k) {
            BurstClient& c = clients[events[k].data.u64];
            if (c.done)
                continue;
            char byte = 'b';
            bool finished = false, ok = false;
            if (!c.sent) {
                c.sent = connectResult(c.fd.get()) == 0 &&
                    ::send(c.fd.get(), &byte, 1, MSG_NOSIGNAL) == 1;
                finished = !c.sent;
            } else {
                char back = 0;
                const ssize_t got = ::recv(c.fd.get(), &back, 1, 0);
                if (got < 0 && errno == EAGAIN)
                    continue;
                finished = true;
                ok = got == 1 && back == byte;
            }
            if (c.sent && !finished) {
                epoll_event ev{};
                ev.events = EPOLLIN;
                ev.data.u64 = events[k].data.u64;
                epoll_ctl(epoll.get(), EPOLL_CTL_MOD, c.fd.get(), &ev);
            }
            if (!finished)
                continue;
            c.done = true;
            --open;
            epoll_ctl(epoll.get(), EPOLL_CTL_DEL, c.fd.get(), nullptr);
            if (ok)
                samples.push_back((nowSeconds() - c.started) * 1000.0);
            else
                ++failed;
        }
    }
    return failed + open;
}

double rank(const std::vector<double>& sorted, double q)
{
    if (sorted.empty())
        return 0.0;
    return sorted[static_cast<size_t>(q * static_cast<double>(sorted.size() - 1) + 0.5)];
}

}  // namespace

int runBurst(const BurstOptions& o)
{
    std::vector<double> samples;
    int failed = 0;
    for (int r = 0; r < o.rounds; ++r)
        failed += runOneBurst(o, samples);
    std::sort(samples.begin(), samples.end());
    std::printf("burst conns=%d rounds=%d n=%zu failed=%d p50_ms=%.2f p99_ms=%.2f max_ms=%.2f\n",
                o.conns, o.rounds, samples.size(), failed, rank(samples, 0.50), rank(samples, 0.99),
                samples.empty() ? 0.0 : samples.back());
    std::fflush(stdout);
    return 0;
}

}  // namespace load
