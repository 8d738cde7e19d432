// Throughput, latency and connection-rate workloads.
#include "Workloads.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace load {
namespace {

constexpr int kConnectTimeoutMs = 5000;
constexpr size_t kChunk = 256 * 1024;

// One connection of a bulk transfer. For "up", moved is the sink's last answer; for
// "down", the bytes received.
struct TransferConn {
    Fd fd;
    uint64_t volume = 0;
    uint64_t sent = 0;
    uint64_t moved = 0;
    unsigned char ack[8]{};
    size_t ackLen = 0;
    bool failed = false;
    bool done() const { return failed || moved >= volume; }
};

bool openTransfer(const TputOptions& o, std::vector<TransferConn>& conns)
{
    uint64_t share = o.bytes / static_cast<uint64_t>(o.conns);
    for (int i = 0; i < o.conns; ++i) {
        TransferConn c;
        int err = 0;
        c.fd = connectWithTimeout(o.target, kConnectTimeoutMs, err);
        if (!c.fd) {
            std::fprintf(stderr, "tput: connect failed: %s\n", std::strerror(err));
            return false;
        }
        c.volume = i + 1 == o.conns ? o.bytes - share * static_cast<uint64_t>(i) : share;
        conns.push_back(std::move(c));
    }
    return true;
}

// Sends the 8-byte volume that starts the backend's side of the transfer.
bool sendHeaders(std::vector<TransferConn>& conns)
{
    for (auto& c : conns) {
        unsigned char header[8];
        putU64(header, c.volume);
        if (!writeAll(c.fd.get(), header, sizeof header))
            return false;
        setNonBlocking(c.fd.get(), true);
    }
    return true;
}

void readAcks(TransferConn& c)
{
    unsigned char buf[4096];
    ssize_t n = ::recv(c.fd.get(), buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        c.failed = true;
        return;
    }
    for (ssize_t i = 0; i < n; ++i) {
        c.ack[c.ackLen++] = buf[i];
        if (c.ackLen == sizeof c.ack) {
            c.moved = getU64(c.ack);
            c.ackLen = 0;
        }
    }
}

void writeBulk(TransferConn& c, const std::vector<char>& data)
{
    size_t len = static_cast<size_t>(std::min<uint64_t>(data.size(), c.volume - c.sent));
    ssize_t n = ::send(c.fd.get(), data.data(), len, MSG_NOSIGNAL);
    if (n > 0)
        c.sent += static_cast<uint64_t>(n);
    else if (n < 0 && errno != EAGAIN && errno != EINTR)
        c.failed = true;
}

void readBulk(TransferConn& c, std::vector<char>& buffer)
{
    ssize_t n = ::recv(c.fd.get(), buffer.data(), buffer.size(), 0);
    if (n > 0)
        c.moved += static_cast<uint64_t>(n);
    else if (n == 0 || (errno != EAGAIN && errno != EINTR))
        c.failed = true;
}

// Moves data until every connection is done or the deadline passes; returns the end time.
double pumpTransfer(bool up, std::vector<TransferConn>& conns, double deadline)
{
    std::vector<char> buffer(kChunk, 'u');
    std::vector<pollfd> fds(conns.size());
    for (;;) {
        size_t active = 0;
        for (size_t i = 0; i < conns.size(); ++i) {
            auto& c = conns[i];
            fds[i] = {c.fd.get(), 0, 0};
            if (c.done())
                continue;
            ++active;
            fds[i].events = POLLIN | (up && c.sent < c.volume ? POLLOUT : 0);
        }
        double now = nowSeconds();
        if (active == 0 || now >= deadline)
            return now;
        int waitMs = std::max(1, std::min(100, static_cast<int>((deadline - now) * 1000)));
        if (::poll(fds.data(), fds.size(), waitMs) < 0 && errno != EINTR)
            return nowSeconds();
        for (size_t i = 0; i < conns.size(); ++i) {
            auto& c = conns[i];
            if (c.done())
                continue;
            if (up && (fds[i].revents & POLLOUT))
                writeBulk(c, buffer);
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
                up ? readAcks(c) : readBulk(c, buffer);
        }
    }
}

}  // namespace

int runTput(const TputOptions& o)
{
    std::vector<TransferConn> conns;
    if (o.conns < 1 || o.bytes == 0 || !openTransfer(o, conns))
        return 1;
    const double start = nowSeconds();
    if (!sendHeaders(conns))
        return 1;
    const double end = pumpTransfer(o.up, conns, start + o.maxSeconds);
    uint64_t moved = 0;
    bool complete = true;
    int failed = 0;
    for (const auto& c : conns) {
        moved += std::min(c.moved, c.volume);
        complete = complete && c.moved >= c.volume;
        failed += c.failed ? 1 : 0;
    }
    double seconds = end - start;
    std::printf("tput dir=%s conns=%d bytes=%llu seconds=%.3f mbps=%.1f complete=%d failed=%d\n",
                o.up ? "up" : "down", o.conns, static_cast<unsigned long long>(moved), seconds,
                seconds > 0 ? static_cast<double>(moved) / seconds / 1e6 : 0.0, complete ? 1 : 0,
                failed);
    std::fflush(stdout);
    return complete ? 0 : 2;
}

int runLatency(const LatencyOptions& o, int idleHeld)
{
    int err = 0;
    Fd fd = connectWithTimeout(o.target, kConnectTimeoutMs, err);
    if (!fd) {
        std::printf("latency idle=%d n=0 p50_us=nan p99_us=nan failed=1\n", idleHeld);
        std::fflush(stdout);
        return 1;
    }
    setNoDelay(fd.get());
    setIoTimeout(fd.get(), 2000);
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(o.count));
    const double deadline = nowSeconds() + o.maxSeconds;
    bool failed = false;
    for (int i = 0; i < o.count && !failed; ++i) {
        char byte = static_cast<char>('a' + i % 26);
        char back = 0;
        double t0 = nowSeconds();
        failed = !writeAll(fd.get(), &byte, 1) || !readExact(fd.get(), &back, 1) || back != byte;
        double t1 = nowSeconds();
        if (!failed)
            samples.push_back((t1 - t0) * 1e6);
        if (t1 >= deadline)
            break;
    }
    std::sort(samples.begin(), samples.end());
    auto rank = [&](double q) {
        if (samples.empty())
            return 0.0;
        size_t i = static_cast<size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
        return samples[i];
    };
    std::printf("latency idle=%d n=%zu p50_us=%.1f p99_us=%.1f failed=%d\n", idleHeld,
                samples.size(), rank(0.50), rank(0.99), failed ? 1 : 0);
    std::fflush(stdout);
    return failed ? 2 : 0;
}

namespace {

struct CpsCount {
    long ok = 0;
    long connectFailed = 0;
    long echoFailed = 0;
    double connectMaxMs = 0;
};

// One connect, one byte, its echo, close. Every wait inside is bounded to two seconds.
void oneShortConnection(const Target& target, CpsCount& count)
{
    int err = 0;
    const double started = nowSeconds();
    Fd fd = connectWithTimeout(target, 2000, err);
    count.connectMaxMs = std::max(count.connectMaxMs, (nowSeconds() - started) * 1000.0);
    if (!fd) {
        ++count.connectFailed;
        return;
    }
    setIoTimeout(fd.get(), 2000);
    char byte = 'c';
    char back = 0;
    if (writeAll(fd.get(), &byte, 1) && readExact(fd.get(), &back, 1) && back == byte)
        ++count.ok;
    else
        ++count.echoFailed;
}

}  // namespace

int runCps(const CpsOptions& o)
{
    std::vector<CpsCount> counts(static_cast<size_t>(o.workers));
    std::vector<std::thread> workers;
    const double start = nowSeconds();
    const double deadline = start + o.seconds;
    for (int w = 0; w < o.workers; ++w) {
        workers.emplace_back([&o, &counts, w, deadline] {
            while (nowSeconds() < deadline)
                oneShortConnection(o.target, counts[static_cast<size_t>(w)]);
        });
    }
    for (auto& t : workers)
        t.join();
    const double seconds = nowSeconds() - start;
    CpsCount total;
    for (const auto& c : counts) {
        total.ok += c.ok;
        total.connectFailed += c.connectFailed;
        total.echoFailed += c.echoFailed;
        total.connectMaxMs = std::max(total.connectMaxMs, c.connectMaxMs);
    }
    std::printf(
        "cps workers=%d seconds=%.3f ok=%ld failed=%ld connect_failed=%ld "
        "echo_failed=%ld per_sec=%.1f connect_max_ms=%.2f\n",
        o.workers, seconds, total.ok, total.connectFailed + total.echoFailed, total.connectFailed,
        total.echoFailed, seconds > 0 ? static_cast<double>(total.ok) / seconds : 0.0,
        total.connectMaxMs);
    std::fflush(stdout);
    return 0;
}

}  // namespace load
