// Loopback helpers for the engine tests, on plain POSIX sockets so that they do not lean on
// the network layer they help to test. Everything binds 127.0.0.1 port 0 and every wait has a
// deadline.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace enginetest {

using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::seconds(60);

// The backend's byte transform: proves that bytes crossed the relay to the target and back.
std::string Transformed(std::string s);
std::string RandomBytes(std::size_t n, std::uint64_t seed);
std::uint64_t Digest(const std::string& s);

// An owned socket descriptor.
class TFd {
public:
    explicit TFd(int fd = -1) : fd_(fd) {}
    TFd(TFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    TFd& operator=(TFd&& o) noexcept { std::swap(fd_, o.fd_); return *this; }
    ~TFd() { Reset(); }
    int Get() const { return fd_; }
    void Reset();

private:
    int fd_;
};

// A port on 127.0.0.1 where nothing listens, held (bound) until the process ends.
int UnusedPort();
TFd ConnectTo(int port);
// Connects to 127.0.0.1:port from the loopback address `source` (127.0.0.2, ...).
TFd ConnectFrom(const std::string& source, int port);
// True when the peer reset the connection (ECONNRESET) before the deadline; data is dropped.
bool WasReset(int fd, Clock::time_point deadline);
bool SendAll(int fd, const std::string& data);
// Reads until `n` bytes came, the peer closed, or the deadline passed.
std::string RecvAtMost(int fd, std::size_t n, Clock::time_point deadline);
// True when the peer closed before the deadline; data meanwhile is dropped.
bool WaitForClose(int fd, Clock::time_point deadline);

// Sends `payload` from a second thread while reading as many bytes back; returns them. No
// half-close: the relay ends the whole mapping when the client's side closes.
std::string ExchangeOn(TFd& fd, const std::string& payload);
std::string Exchange(int port, const std::string& payload);

// The target of the relay. Each accepted connection gets a thread that, by mode:
//   Transform:    answers every byte it reads with its Transformed byte, until the peer closes;
//   SendAndClose: sends `greeting` and closes;
//   Hold:         reads until the peer closes and answers nothing.
// Received() is everything read, over all connections.
class TBackend {
public:
    enum class TMode { Transform, SendAndClose, Hold };
    explicit TBackend(TMode mode = TMode::Transform, std::string greeting = {});
    ~TBackend();
    int Port() const { return port_; }
    std::string Received();
    int Accepts() const { return accepts_.load(); }

private:
    void AcceptLoop();
    void Serve(TFd conn);

    TMode mode_;
    std::string greeting_;
    TFd listener_;
    int wake_[2] = {-1, -1};  // a pipe whose read end turns readable when the test ends
    int port_ = 0;
    std::mutex mutex_;
    std::string received_;
    std::atomic<int> accepts_{0};
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

}  // namespace enginetest
