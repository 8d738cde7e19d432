// Loopback socket helpers of the load generator.
//
// The load generator measures the relay from outside, so it uses plain POSIX sockets and
// nothing of the project's own libraries. Every address it talks to is checked to lie in
// 127.0.0.0/8: a typo in a script must not turn a benchmark into traffic on a real network.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace load {

// Owns one file descriptor and closes it when it goes.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd();
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();
    void reset();

private:
    int fd_ = -1;
};

// A loopback address and port: IPv4 in 127.0.0.0/8 or ::1. parse() refuses anything else.
struct Target {
    sockaddr_storage addr{};
    socklen_t length = 0;
    int family() const { return addr.ss_family; }
    uint16_t port() const;
    static bool parse(const std::string& host, int port, Target& out, std::string& error);
};

// Seconds on the monotonic clock.
double nowSeconds();

// Raises the soft descriptor limit to the hard one; returns the limit now in force.
long raiseFileLimit();

// Listens on 127.0.0.1 with a port the system picks; the chosen port is stored in port.
Fd listenLoopback(int backlog, uint16_t& port);
// Listens on [::1] (IPv6 only) at the given port; an invalid Fd when that fails.
Fd listenLoopback6(int backlog, uint16_t port);

// Starts a non-blocking connect. Returns an invalid Fd and sets err on immediate failure.
Fd startConnect(const Target& target, int& err);

// Connects and waits for the result at most timeoutMs; the socket is left blocking.
Fd connectWithTimeout(const Target& target, int timeoutMs, int& err);

// Result of a finished non-blocking connect (0 or the socket's pending error).
int connectResult(int fd);

void setNonBlocking(int fd, bool on);
void setNoDelay(int fd);
// Bounds blocking reads and writes of fd.
void setIoTimeout(int fd, int ms);

// Blocking full write and read; false on error, timeout or end of stream.
bool writeAll(int fd, const void* data, size_t len);
bool readExact(int fd, void* data, size_t len);

// Little-endian 64-bit values, the only framing the backends know.
void putU64(unsigned char* out, uint64_t value);
uint64_t getU64(const unsigned char* in);

}  // namespace load
