// Shaping accuracy. A shaped relay delivers in bursts (a chunk, then a pause), so bytes
// counted over a fixed window depend on where the window cuts the last burst. The rate is
// therefore the least-squares slope of bytes received over time, which a regular staircase
// gives exactly whatever its phase.
#include "Workloads.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace load {
namespace {

// Slope of y over x by least squares, accumulated point by point.
class Slope {
public:
    void add(double x, double y)
    {
        ++n_;
        sx_ += x;
        sy_ += y;
        sxx_ += x * x;
        sxy_ += x * y;
    }
    double value() const
    {
        double d = n_ * sxx_ - sx_ * sx_;
        return n_ >= 2 && d > 0 ? (n_ * sxy_ - sx_ * sy_) / d : 0.0;
    }

private:
    double n_ = 0, sx_ = 0, sy_ = 0, sxx_ = 0, sxy_ = 0;
};

struct ShapeConn {
    Fd fd;
    size_t row = 0;
    uint64_t bytes = 0;
    Slope slope;
    bool failed = false;
};

// Far more than any limit can deliver in the measuring time: the source never runs dry.
constexpr uint64_t kEndless = uint64_t(1) << 50;

bool openRows(const ShapeOptions& o, std::vector<ShapeConn>& conns)
{
    for (size_t r = 0; r < o.rows.size(); ++r) {
        for (int i = 0; i < o.rows[r].conns; ++i) {
            int err = 0;
            ShapeConn c;
            c.fd = connectWithTimeout(o.rows[r].target, 5000, err);
            if (!c.fd) {
                std::fprintf(stderr, "shape: connect failed: %s\n", std::strerror(err));
                return false;
            }
            c.row = r;
            conns.push_back(std::move(c));
        }
    }
    for (auto& c : conns) {
        unsigned char header[8];
        putU64(header, kEndless);
        if (!writeAll(c.fd.get(), header, sizeof header))
            return false;
        setNonBlocking(c.fd.get(), true);
    }
    return true;
}

void receive(std::vector<ShapeConn>& conns, double start, double deadline)
{
    std::vector<char> buffer(256 * 1024);
    std::vector<pollfd> fds(conns.size());
    for (;;) {
        double now = nowSeconds();
        if (now >= deadline)
            return;
        for (size_t i = 0; i < conns.size(); ++i)
            fds[i] = {conns[i].failed ? -1 : conns[i].fd.get(), POLLIN, 0};
        int waitMs = std::max(1, std::min(100, static_cast<int>((deadline - now) * 1000)));
        if (::poll(fds.data(), fds.size(), waitMs) < 0 && errno != EINTR)
            return;
        for (size_t i = 0; i < conns.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            auto& c = conns[i];
            ssize_t n = ::recv(c.fd.get(), buffer.data(), buffer.size(), 0);
            if (n > 0) {
                c.bytes += static_cast<uint64_t>(n);
                c.slope.add(nowSeconds() - start, static_cast<double>(c.bytes));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                c.failed = true;
            }
        }
    }
}

void printRow(const ShapeRow& row, const std::vector<ShapeConn>& conns, size_t r, double seconds)
{
    double total = 0, minRatio = 1e300, maxRatio = 0;
    uint64_t bytes = 0;
    int failed = 0;
    for (const auto& c : conns) {
        if (c.row != r)
            continue;
        double rate = c.slope.value();
        total += rate;
        minRatio = std::min(minRatio, rate / static_cast<double>(row.limit));
        maxRatio = std::max(maxRatio, rate / static_cast<double>(row.limit));
        bytes += c.bytes;
        failed += c.failed ? 1 : 0;
    }
    std::printf(
        "shape port=%d conns=%d limit=%ld seconds=%.2f bytes=%llu plain_rate=%.0f"
        " rate_total=%.0f ratio_total=%.4f ratio_conn_min=%.4f ratio_conn_max=%.4f"
        " failed=%d\n",
        row.target.port(), row.conns, row.limit, seconds,
        static_cast<unsigned long long>(bytes), static_cast<double>(bytes) / seconds, total,
        total / static_cast<double>(row.limit), minRatio, maxRatio, failed);
}

}  // namespace

int runShape(const ShapeOptions& o)
{
    std::vector<ShapeConn> conns;
    if (o.rows.empty() || !openRows(o, conns))
        return 1;
    const double start = nowSeconds();
    receive(conns, start, start + o.seconds);
    const double seconds = nowSeconds() - start;
    for (size_t r = 0; r < o.rows.size(); ++r)
        printRow(o.rows[r], conns, r, seconds);
    std::fflush(stdout);
    return 0;
}

}  // namespace load
