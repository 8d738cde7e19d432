#include "Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

namespace load {

Fd::~Fd()
{
    reset();
}

Fd& Fd::operator=(Fd&& other) noexcept
{
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int Fd::release()
{
    return std::exchange(fd_, -1);
}

void Fd::reset()
{
    if (fd_ >= 0)
        ::close(std::exchange(fd_, -1));
}

bool Target::parse(const std::string& host, int port, Target& out, std::string& error)
{
    if (port <= 0 || port > 65535) {
        error = "bad port " + std::to_string(port);
        return false;
    }
    Target t;
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
        if (!IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr)) {
            error = "refusing a non-loopback address: " + host;
            return false;
        }
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<uint16_t>(port));
        std::memcpy(&t.addr, &v6, sizeof v6);
        t.length = sizeof v6;
    } else if (inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
        if ((ntohl(v4.sin_addr.s_addr) >> 24) != 127) {
            error = "refusing a non-loopback address: " + host;
            return false;
        }
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<uint16_t>(port));
        std::memcpy(&t.addr, &v4, sizeof v4);
        t.length = sizeof v4;
    } else {
        error = "not an IP address: " + host;
        return false;
    }
    out = t;
    return true;
}

uint16_t Target::port() const
{
    if (family() == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
}

double nowSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

long raiseFileLimit()
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0)
        return -1;
    if (lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
        getrlimit(RLIMIT_NOFILE, &lim);
    }
    return static_cast<long>(lim.rlim_cur);
}

Fd listenLoopback(int backlog, uint16_t& port)
{
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return {};
    int one = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd.get(), backlog) != 0)
        return {};
    socklen_t len = sizeof addr;
    if (getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return {};
    port = ntohs(addr.sin_port);
    return fd;
}

Fd listenLoopback6(int backlog, uint16_t port)
{
    Fd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return {};
    int one = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    addr.sin6_port = htons(port);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd.get(), backlog) != 0)
        return {};
    return fd;
}

Fd startConnect(const Target& target, int& err)
{
    err = 0;
    Fd fd(::socket(target.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
        err = errno;
        return {};
    }
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&target.addr), target.length) != 0 &&
        errno != EINPROGRESS) {
        err = errno;
        return {};
    }
    return fd;
}

int connectResult(int fd)
{
    int soError = 0;
    socklen_t len = sizeof soError;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0)
        return errno;
    return soError;
}

Fd connectWithTimeout(const Target& target, int timeoutMs, int& err)
{
    Fd fd = startConnect(target, err);
    if (!fd)
        return {};
    pollfd p{fd.get(), POLLOUT, 0};
    int n;
    do {
        n = ::poll(&p, 1, timeoutMs);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        err = n == 0 ? ETIMEDOUT : errno;
        return {};
    }
    err = connectResult(fd.get());
    if (err != 0)
        return {};
    setNonBlocking(fd.get(), false);
    return fd;
}

void setNonBlocking(int fd, bool on)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
}

void setNoDelay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void setIoTimeout(int fd, int ms)
{
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

namespace {

// Repeats one send or receive until len bytes have moved; false on an error or the end.
template <typename Buffer, typename Step>
bool moveAll(Buffer* p, size_t len, Step step)
{
    while (len > 0) {
        ssize_t n = step(p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool writeAll(int fd, const void* data, size_t len)
{
    return moveAll(static_cast<const char*>(data), len,
                   [fd](const char* p, size_t n) { return ::send(fd, p, n, MSG_NOSIGNAL); });
}

bool readExact(int fd, void* data, size_t len)
{
    return moveAll(static_cast<char*>(data), len,
                   [fd](char* p, size_t n) { return ::recv(fd, p, n, 0); });
}

void putU64(unsigned char* out, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t getU64(const unsigned char* in)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | in[i];
    return v;
}

}  // namespace load
