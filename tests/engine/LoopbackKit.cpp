#include "LoopbackKit.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <random>
#include <stdexcept>

namespace enginetest {

std::string Transformed(std::string s) {
    for (char& c : s) c = Transform(c);
    return s;
}

std::string RandomBytes(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::string s(n, '\0');
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const std::uint64_t v = rng();
        for (int k = 0; k < 8; ++k) s[i + k] = static_cast<char>(v >> (8 * k));
    }
    for (; i < n; ++i) s[i] = static_cast<char>(rng());
    return s;
}

std::uint64_t Digest(const std::string& s) {
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    return h ^ s.size();
}

TFd& TFd::operator=(TFd&& o) noexcept {
    if (this != &o) {
        Reset();
        fd_ = o.Release();
    }
    return *this;
}

TFd::~TFd() { Reset(); }

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
    if (fd.Get() < 0 || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd.Get(), 128) != 0)
        throw std::runtime_error("cannot listen on loopback");
    socklen_t len = sizeof a;
    ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

bool WaitReadable(int fd, Clock::time_point deadline) {
    pollfd p{fd, POLLIN, 0};
    int rc;
    do rc = ::poll(&p, 1, MsLeft(deadline));
    while (rc < 0 && errno == EINTR);
    return rc > 0;
}

}  // namespace

int UnusedPort() {
    int port = 0;
    TFd fd = ListenLoopback(port);
    return port;  // closed on return; nothing listens there now
}

TFd ConnectTo(int port) {
    TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = Loopback(port);
    if (fd.Get() < 0 || ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("cannot connect on loopback");
    return fd;
}

bool SendAll(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
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
    while (out.size() < n && WaitReadable(fd, deadline)) {
        const ssize_t got = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        out.append(buf, static_cast<std::size_t>(got));
    }
    return out;
}

bool WaitForClose(int fd, Clock::time_point deadline) {
    char buf[4096];
    while (WaitReadable(fd, deadline)) {
        const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return true;
    }
    return false;
}

std::string Exchange(int port, const std::string& payload) {
    TFd fd = ConnectTo(port);
    return ExchangeOn(fd, payload);
}

std::string ExchangeOn(TFd& fd, const std::string& payload) {
    // No half-close: the relay ends the whole mapping when the client's side closes.
    std::thread sender([&] { SendAll(fd.Get(), payload); });
    std::string back = RecvAtMost(fd.Get(), payload.size(), Clock::now() + kDeadline);
    ::shutdown(fd.Get(), SHUT_RDWR);  // frees a sender that a broken relay left blocked
    sender.join();
    return back;
}

TBackend::TBackend(TMode mode, std::string greeting) : mode_(mode), greeting_(std::move(greeting)) {
    listener_ = ListenLoopback(port_);
    int pipefd[2];
    if (::pipe(pipefd) != 0) throw std::runtime_error("pipe");
    wakeRead_ = pipefd[0];
    wakeWrite_ = pipefd[1];
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

TBackend::~TBackend() {
    stop_ = true;
    (void)!::write(wakeWrite_, "x", 1);
    acceptor_.join();
    for (auto& w : workers_) w.join();
    ::close(wakeRead_);
    ::close(wakeWrite_);
}

std::string TBackend::Received() {
    std::lock_guard lock(mutex_);
    return received_;
}

void TBackend::AcceptLoop() {
    while (!stop_) {
        pollfd p[2] = {{listener_.Get(), POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) continue;
        if (p[1].revents) break;
        TFd conn(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (conn.Get() < 0) continue;
        ++accepted_;
        workers_.emplace_back([this, c = std::move(conn)]() mutable { Serve(std::move(c)); });
    }
}

void TBackend::Serve(TFd conn) {
    if (mode_ == TMode::Greet || mode_ == TMode::SendAndClose) SendAll(conn.Get(), greeting_);
    if (mode_ == TMode::SendAndClose) return;
    // The relay handles one direction at a time and blocks in its write, so the backend must
    // keep reading while its answers wait to be sent: a writer thread of its own sends them.
    std::mutex queueMutex;
    std::condition_variable queued;
    std::string queue;
    bool readerDone = false;
    std::thread writer([&] {
        for (;;) {
            std::string out;
            {
                std::unique_lock lock(queueMutex);
                queued.wait(lock, [&] { return !queue.empty() || readerDone; });
                if (queue.empty()) return;
                out.swap(queue);
            }
            if (!SendAll(conn.Get(), out)) return;
        }
    });
    char buf[65536];
    for (;;) {
        pollfd p[2] = {{conn.Get(), POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) continue;
        if (p[1].revents) {  // test over: wake a writer stuck in send
            ::shutdown(conn.Get(), SHUT_RDWR);
            break;
        }
        const ssize_t n = ::recv(conn.Get(), buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
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
    {
        std::lock_guard lock(queueMutex);
        readerDone = true;
        queued.notify_one();
    }
    writer.join();
}

}  // namespace enginetest
