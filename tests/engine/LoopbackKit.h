// Loopback helpers for the engine tests, on plain POSIX sockets so that they do not lean on
// the network layer they help to test. Everything binds 127.0.0.1 port 0 and every wait has a
// deadline.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace enginetest {

using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::seconds(60);

// The byte transform of the backend: proves that bytes crossed the relay and came back from
// the target rather than from some echo on the way.
inline char Transform(char c) { return static_cast<char>(c ^ 0x5A); }
std::string Transformed(std::string s);

std::string RandomBytes(std::size_t n, std::uint64_t seed);
std::uint64_t Digest(const std::string& s);

// An owned socket descriptor.
class TFd {
public:
    TFd() = default;
    explicit TFd(int fd) : fd_(fd) {}
    TFd(TFd&& o) noexcept : fd_(o.Release()) {}
    TFd& operator=(TFd&& o) noexcept;
    ~TFd();
    int Get() const { return fd_; }
    int Release() { int f = fd_; fd_ = -1; return f; }
    void Reset();

private:
    int fd_ = -1;
};

// A port on 127.0.0.1 where nothing listens (bound once by us, then closed).
int UnusedPort();
TFd ConnectTo(int port);
// Sends everything; false on error or deadline.
bool SendAll(int fd, const std::string& data);
// Reads until `n` bytes came, the peer closed, or the deadline passed.
std::string RecvAtMost(int fd, std::size_t n, Clock::time_point deadline);
// True when the peer closed (recv returned 0) before the deadline; data meanwhile is dropped.
bool WaitForClose(int fd, Clock::time_point deadline);

// Sends `payload` on a fresh connection to `port` from a second thread while reading the
// answer; returns what came back (expected: Transformed(payload) from a Transform backend).
std::string Exchange(int port, const std::string& payload);
// The same on a connection already open; shuts it down afterwards.
std::string ExchangeOn(TFd& fd, const std::string& payload);

// The target of the relay. Each accepted connection gets a thread that, by `Mode`:
//   Transform: sends back every byte it reads, XORed, until the peer closes;
//   Greet:     sends `greeting`, then behaves like Transform;
//   SendAndClose: sends `greeting` and closes;
//   Hold:      reads and records until the peer closes, answers nothing.
class TBackend {
public:
    enum class TMode { Transform, Greet, SendAndClose, Hold };
    explicit TBackend(TMode mode = TMode::Transform, std::string greeting = {});
    ~TBackend();
    int Port() const { return port_; }
    int Accepted() const { return accepted_.load(); }
    std::string Received();  // everything the connections read, in arrival order per read

private:
    void AcceptLoop();
    void Serve(TFd conn);

    TMode mode_;
    std::string greeting_;
    TFd listener_;
    int wakeRead_ = -1, wakeWrite_ = -1;
    int port_ = 0;
    std::atomic<int> accepted_{0};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string received_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

}  // namespace enginetest
