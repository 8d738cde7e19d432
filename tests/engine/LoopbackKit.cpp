#include "LoopbackKit.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <random>
#include <stdexcept>

namespace enginetest {

std::string Transformed(std::string s) {
    for (char& c : s) c = static_cast<char>(c ^ 0x5A);
    return s;
}

std::string RandomBytes(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; i += 8) {
        const std::uint64_t v = rng();
        for (std::size_t k = 0; k < 8 && i + k < n; ++k) s[i + k] = static_cast<char>(v >> (8 * k));
    }
    return s;
}

std::uint64_t Digest(const std::string& s) {
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    return h ^ s.size();
}

void TFd::Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

namespace {

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

TFd ListenLoopback(int& port) {
    TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd.Get(), 128) != 0 ||
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error("cannot listen on loopback");
    port = ntohs(a.sin_port);
    return fd;
}

// Waits for the first of the descriptors to turn readable; -1 at the deadline.
int WaitReadable(std::vector<int> fds, Clock::time_point deadline) {
    std::vector<pollfd> p;
    for (int fd : fds) p.push_back({fd, POLLIN, 0});
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const int rc = ::poll(p.data(), p.size(), left.count() < 0 ? 0 : static_cast<int>(left.count()));
        if (rc < 0 && errno == EINTR) continue;
        for (std::size_t i = 0; rc > 0 && i < p.size(); ++i)
            if (p[i].revents) return static_cast<int>(i);
        return -1;
    }
}

// One recv, retried on EINTR: the byte count, 0 at the end, -1 on error.
ssize_t RecvOnce(int fd, char* buf, std::size_t size) {
    ssize_t n;
    do n = ::recv(fd, buf, size, 0);
    while (n < 0 && errno == EINTR);
    return n;
}

}  // namespace

int UnusedPort() {
    // Bound for the rest of the process and never listening: it refuses every connect, and no
    // test running in parallel can be given the port meanwhile.
    static std::vector<TFd> held;
    TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error("cannot bind on loopback");
    held.push_back(std::move(fd));
    return ntohs(a.sin_port);
}

TFd ConnectTo(int port) {
    TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = Loopback(port);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("cannot connect on loopback");
    return fd;
}

TFd ConnectFrom(const std::string& source, int port) {
    TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in from = Loopback(0);
    ::inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    sockaddr_in a = Loopback(port);
    // The port is picked at connect time, from the whole space of the four-tuple: thousands
    // of connects from one source while other tests hold ports must not run out of them.
    const int noPort = 1;
    ::setsockopt(fd.Get(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &noPort, sizeof noPort);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("cannot connect from " + source + ": " + std::strerror(errno));
    return fd;
}

bool WasReset(int fd, Clock::time_point deadline) {
    char buf[4096];
    while (WaitReadable({fd}, deadline) == 0) {
        const ssize_t n = RecvOnce(fd, buf, sizeof buf);
        if (n < 0) return errno == ECONNRESET;
        if (n == 0) return false;
    }
    return false;
}

bool SendAll(int fd, const std::string& data) {
    for (std::size_t sent = 0; sent < data.size();) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::string RecvAtMost(int fd, std::size_t n, Clock::time_point deadline) {
    std::string out;
    char buf[65536];
    while (out.size() < n && WaitReadable({fd}, deadline) == 0) {
        const ssize_t got = RecvOnce(fd, buf, std::min(sizeof buf, n - out.size()));
        if (got <= 0) break;
        out.append(buf, static_cast<std::size_t>(got));
    }
    return out;
}

bool WaitForClose(int fd, Clock::time_point deadline) {
    char buf[4096];
    while (WaitReadable({fd}, deadline) == 0)
        if (RecvOnce(fd, buf, sizeof buf) <= 0) return true;
    return false;
}

std::string ExchangeOn(TFd& fd, const std::string& payload) {
    std::thread sender([&] { SendAll(fd.Get(), payload); });
    std::string back = RecvAtMost(fd.Get(), payload.size(), Clock::now() + kDeadline);
    ::shutdown(fd.Get(), SHUT_RDWR);  // frees a sender that a broken relay left blocked
    sender.join();
    return back;
}

std::string Exchange(int port, const std::string& payload) {
    TFd fd = ConnectTo(port);
    return ExchangeOn(fd, payload);
}

TBackend::TBackend(TMode mode, std::string greeting) : mode_(mode), greeting_(std::move(greeting)) {
    listener_ = ListenLoopback(port_);
    if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

TBackend::~TBackend() {
    ::close(wake_[1]);  // every poll on wake_[0] now reports the end
    acceptor_.join();
    for (auto& w : workers_) w.join();
    ::close(wake_[0]);
}

std::string TBackend::Received() {
    std::lock_guard lock(mutex_);
    return received_;
}

void TBackend::AcceptLoop() {
    const auto forever = Clock::time_point::max();
    while (WaitReadable({listener_.Get(), wake_[0]}, forever) == 0) {
        TFd conn(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (conn.Get() >= 0) ++accepts_;
        if (conn.Get() >= 0)
            workers_.emplace_back([this, c = std::move(conn)]() mutable { Serve(std::move(c)); });
    }
}

void TBackend::Serve(TFd conn) {
    if (mode_ == TMode::SendAndClose) {
        SendAll(conn.Get(), greeting_);
        return;
    }
    // The relay handles one direction at a time and blocks in its write, so the backend keeps
    // reading while its answers wait: a writer thread of its own sends them.
    std::mutex queueMutex;
    std::condition_variable queued;
    std::string queue;
    bool readerDone = false;
    std::thread writer([&] {
        std::unique_lock lock(queueMutex);
        for (;;) {
            queued.wait(lock, [&] { return !queue.empty() || readerDone; });
            if (queue.empty()) return;
            std::string out = std::exchange(queue, {});
            lock.unlock();
            const bool sent = SendAll(conn.Get(), out);
            lock.lock();
            if (!sent) return;
        }
    });
    char buf[65536];
    ssize_t n;
    while (WaitReadable({conn.Get(), wake_[0]}, Clock::time_point::max()) == 0 &&
           (n = RecvOnce(conn.Get(), buf, sizeof buf)) > 0) {
        std::string piece(buf, static_cast<std::size_t>(n));
        {
            std::lock_guard lock(mutex_);
            received_ += piece;
        }
        if (mode_ == TMode::Hold) continue;
        std::lock_guard lock(queueMutex);
        queue += Transformed(std::move(piece));
        queued.notify_one();
    }
    ::shutdown(conn.Get(), SHUT_RDWR);  // the test is over or the peer left: wake the writer
    {
        std::lock_guard lock(queueMutex);
        readerDone = true;
    }
    queued.notify_one();
    writer.join();
}

}  // namespace enginetest
