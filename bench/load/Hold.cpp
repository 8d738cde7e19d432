// Many concurrent connections: how many a relay holds with every one still echoing, what
// each idle one costs in memory, and the latency of a busy connection among them.
#include "ProcMemory.h"
#include "Workloads.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <unordered_map>
#include <vector>

namespace load {
namespace {

constexpr double kConnectTimeout = 10.0;
// More failed connects than this end the attempt on a level: the relay has hit a limit.
constexpr int kMaxConnectFailures = 200;

// A connection counts as held once its first byte has come back: only then has the relay
// accepted it and reached the backend. Counting connects in flight until that point keeps
// the load generator from overrunning a relay's short accept queue (several listen with a
// backlog of 5), so the figure is about holding connections, not about SYN retransmission.
struct Pending {
    Fd fd;
    double started = 0;
    bool echoing = false;
};

class Holder {
public:
    explicit Holder(const HoldOptions& o) : o_(o), epoll_(epoll_create1(EPOLL_CLOEXEC)) {}

    // Opens connections until level are held; false when it could not.
    bool growTo(int level);
    // Sends one byte on every held connection and counts the echoes; drops the dead ones.
    int echoAll(double deadline);
    int held() const { return static_cast<int>(held_.size()); }
    int connectFailures() const { return connectFailures_; }

private:
    void startConnects(int level);
    void finishConnects(double deadline);
    void expireConnects(double now);
    bool advance(int fd, Pending& p);

    const HoldOptions& o_;
    Fd epoll_;
    std::vector<Fd> held_;
    std::unordered_map<int, Pending> pending_;
    int connectFailures_ = 0;
};

bool Holder::growTo(int level)
{
    const double deadline = nowSeconds() + o_.openSeconds;
    while (held() < level && connectFailures_ <= kMaxConnectFailures) {
        startConnects(level);
        if (nowSeconds() >= deadline)
            break;
        finishConnects(deadline);
    }
    for (auto& [fd, p] : pending_)
        epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
    pending_.clear();
    return held() >= level;
}

void Holder::startConnects(int level)
{
    while (static_cast<int>(pending_.size()) < o_.window &&
           held() + static_cast<int>(pending_.size()) < level) {
        int err = 0;
        Fd fd = startConnect(o_.target, err);
        if (!fd) {
            ++connectFailures_;
            return;
        }
        epoll_event ev{};
        ev.events = EPOLLOUT;
        ev.data.fd = fd.get();
        epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd.get(), &ev);
        int key = fd.get();
        pending_.emplace(key, Pending{std::move(fd), nowSeconds(), false});
    }
}

void Holder::finishConnects(double deadline)
{
    epoll_event events[64];
    int waitMs = std::max(1, std::min(100, static_cast<int>((deadline - nowSeconds()) * 1000)));
    int n = epoll_wait(epoll_.get(), events, 64, waitMs);
    for (int i = 0; i < n; ++i) {
        auto it = pending_.find(events[i].data.fd);
        if (it != pending_.end() && !advance(it->first, it->second)) {
            epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, it->first, nullptr);
            pending_.erase(it);
        }
    }
    expireConnects(nowSeconds());
}

// Moves one pending connection on: connected -> first byte sent -> first byte back (held).
// Returns false once the connection has left the pending set.
bool Holder::advance(int fd, Pending& p)
{
    if (!p.echoing) {
        char byte = 'o';
        if (connectResult(fd) != 0 || ::send(fd, &byte, 1, MSG_NOSIGNAL) != 1) {
            ++connectFailures_;
            return false;
        }
        p.echoing = true;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &ev);
        return true;
    }
    char back = 0;
    ssize_t got = ::recv(fd, &back, 1, 0);
    if (got < 0 && errno == EAGAIN)
        return true;
    if (got == 1 && back == 'o')
        held_.push_back(std::move(p.fd));
    else
        ++connectFailures_;
    return false;
}

void Holder::expireConnects(double now)
{
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (now - it->second.started < kConnectTimeout) {
            ++it;
            continue;
        }
        epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, it->first, nullptr);
        ++connectFailures_;
        it = pending_.erase(it);
    }
}

int Holder::echoAll(double deadline)
{
    std::vector<bool> waiting(held_.size(), false);
    std::vector<bool> dead(held_.size(), false);
    size_t outstanding = 0;
    for (size_t i = 0; i < held_.size(); ++i) {
        char byte = 'h';
        if (::send(held_[i].get(), &byte, 1, MSG_NOSIGNAL) != 1) {
            dead[i] = true;
            continue;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, held_[i].get(), &ev);
        waiting[i] = true;
        ++outstanding;
    }
    int echoed = 0;
    epoll_event events[256];
    while (outstanding > 0 && nowSeconds() < deadline) {
        int n = epoll_wait(epoll_.get(), events, 256, 100);
        for (int k = 0; k < n; ++k) {
            size_t i = events[k].data.u64;
            char back = 0;
            ssize_t got = ::recv(held_[i].get(), &back, 1, 0);
            if (got < 0 && errno == EAGAIN)
                continue;
            epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, held_[i].get(), nullptr);
            waiting[i] = false;
            --outstanding;
            if (got == 1 && back == 'h')
                ++echoed;
            else
                dead[i] = true;
        }
    }
    // A connection without its echo counts as lost, and so does a dead one.
    std::vector<Fd> alive;
    for (size_t i = 0; i < held_.size(); ++i) {
        if (waiting[i])
            epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, held_[i].get(), nullptr);
        if (!waiting[i] && !dead[i])
            alive.push_back(std::move(held_[i]));
    }
    held_ = std::move(alive);
    return echoed;
}

void printLevel(int level, const Holder& h, int echoed, double openSeconds, double echoSeconds,
                const MemUsage& base, const MemUsage& now, bool withMemory)
{
    std::printf("hold level=%d held=%d echoed=%d connect_failed=%d open_s=%.2f echo_s=%.2f", level,
                h.held(), echoed, h.connectFailures(), openSeconds, echoSeconds);
    if (withMemory) {
        double perRss = echoed > 0 ? static_cast<double>(now.rssKb - base.rssKb) / echoed : 0;
        double perPss = echoed > 0 ? static_cast<double>(now.pssKb - base.pssKb) / echoed : 0;
        std::printf(
            " procs=%d base_rss_kb=%ld base_pss_kb=%ld rss_kb=%ld pss_kb=%ld"
            " rss_per_conn_kb=%.2f pss_per_conn_kb=%.2f",
            now.processes, base.rssKb, base.pssKb, now.rssKb, now.pssKb, perRss, perPss);
    }
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

int runHold(const HoldOptions& o)
{
    const bool withMemory = !o.pids.empty();
    const MemUsage base = withMemory ? readTreeMemory(o.pids) : MemUsage{};
    Holder holder(o);
    int maxHeld = 0;
    for (int level : o.levels) {
        const double t0 = nowSeconds();
        bool grown = holder.growTo(level);
        const double t1 = nowSeconds();
        int echoed = holder.echoAll(t1 + o.echoSeconds);
        const double t2 = nowSeconds();
        const MemUsage now = withMemory ? readTreeMemory(o.pids) : MemUsage{};
        printLevel(level, holder, echoed, t1 - t0, t2 - t1, base, now, withMemory);
        if (!grown || echoed < level)
            break;
        maxHeld = level;
        if (level == o.latencyAt)
            runLatency(LatencyOptions{o.target, o.latencyCount, o.latencySeconds}, holder.held());
    }
    std::printf("holdmax held=%d\n", maxHeld);
    std::fflush(stdout);
    return 0;
}

}  // namespace load
