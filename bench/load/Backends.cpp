#include "Backends.h"

#include "Socket.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace load {
namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onStopSignal(int)
{
    stopRequested = 1;
}

enum class Kind { EchoListener, SinkListener, SourceListener, Echo, Sink, Source };

// One accepted connection, or one of the listeners (three, each on 127.0.0.1 and on [::1]).
struct Peer {
    Peer(Kind k, Fd f) : kind(k), fd(std::move(f)) {}
    Kind kind;
    Fd fd;
    std::string out;  // bytes still to be written: echoed data or sink answers
    size_t outPos = 0;
    unsigned char header[8]{};
    size_t headerLen = 0;
    uint64_t volume = 0;
    uint64_t done = 0;
    uint64_t nextAck = kSinkAckStep;
    uint32_t events = 0;  // what epoll watches now
    bool headerComplete() const { return headerLen == sizeof header; }
};

constexpr size_t kBufferSize = 256 * 1024;

class BackendLoop {
public:
    bool open(BackendPorts& ports);
    int run(double maxSeconds);

private:
    bool addListener(Kind kind, uint16_t& port);
    void watchListener(Kind kind, Fd fd);
    void watch(Peer* peer, uint32_t events, int op);
    void acceptAll(Peer* listener);
    void onEvent(Peer* peer, uint32_t events);
    bool readInput(Peer* peer);
    void consume(Peer* peer, const char* data, size_t len);
    bool flushOut(Peer* peer);
    bool sendSource(Peer* peer);
    void updateInterest(Peer* peer);
    void drop(Peer* peer);

    Fd epoll_;
    std::unordered_map<int, std::unique_ptr<Peer>> peers_;
    std::vector<char> buffer_ = std::vector<char>(kBufferSize);
    std::vector<char> pattern_ = std::vector<char>(kBufferSize, 'x');
};

bool BackendLoop::open(BackendPorts& ports)
{
    epoll_ = Fd(epoll_create1(EPOLL_CLOEXEC));
    return epoll_ && addListener(Kind::EchoListener, ports.echo) &&
        addListener(Kind::SinkListener, ports.sink) &&
        addListener(Kind::SourceListener, ports.source);
}

bool BackendLoop::addListener(Kind kind, uint16_t& port)
{
    Fd fd = listenLoopback(4096, port);
    if (!fd)
        return false;
    watchListener(kind, std::move(fd));
    // The same port on [::1] for the IPv6 rows; a machine without IPv6 has none of them.
    if (Fd six = listenLoopback6(4096, port))
        watchListener(kind, std::move(six));
    return true;
}

void BackendLoop::watchListener(Kind kind, Fd fd)
{
    setNonBlocking(fd.get(), true);
    auto peer = std::make_unique<Peer>(kind, std::move(fd));
    watch(peer.get(), EPOLLIN, EPOLL_CTL_ADD);
    int key = peer->fd.get();
    peers_.emplace(key, std::move(peer));
}

void BackendLoop::watch(Peer* peer, uint32_t events, int op)
{
    // Unchanged interest costs no system call: the echo path is measured in microseconds.
    if (op == EPOLL_CTL_MOD && peer->events == events)
        return;
    peer->events = events;
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = peer;
    epoll_ctl(epoll_.get(), op, peer->fd.get(), &ev);
}

int BackendLoop::run(double maxSeconds)
{
    const double deadline = nowSeconds() + maxSeconds;
    std::vector<epoll_event> events(256);
    while (!stopRequested && nowSeconds() < deadline) {
        int n = epoll_wait(epoll_.get(), events.data(), static_cast<int>(events.size()), 200);
        if (n < 0 && errno != EINTR)
            return 1;
        for (int i = 0; i < n; ++i)
            onEvent(static_cast<Peer*>(events[i].data.ptr), events[i].events);
    }
    return 0;
}

void BackendLoop::acceptAll(Peer* listener)
{
    for (;;) {
        int fd = accept4(listener->fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // EMFILE and aborted connections end this round; the listener stays.
            return;
        }
        Kind kind = listener->kind == Kind::EchoListener ? Kind::Echo
            : listener->kind == Kind::SinkListener       ? Kind::Sink
                                                         : Kind::Source;
        auto peer = std::make_unique<Peer>(kind, Fd(fd));
        watch(peer.get(), EPOLLIN, EPOLL_CTL_ADD);
        peers_.emplace(fd, std::move(peer));
    }
}

void BackendLoop::onEvent(Peer* peer, uint32_t events)
{
    if (peer->kind == Kind::EchoListener || peer->kind == Kind::SinkListener ||
        peer->kind == Kind::SourceListener) {
        acceptAll(peer);
        return;
    }
    bool alive = true;
    if (events & EPOLLOUT)
        alive = peer->kind == Kind::Source && peer->out.empty() ? sendSource(peer) : flushOut(peer);
    if (alive && (events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
        alive = readInput(peer);
    if (alive)
        updateInterest(peer);
    else
        drop(peer);
}

bool BackendLoop::readInput(Peer* peer)
{
    // An echo peer with unsent data waits for its client to read before taking more.
    if (peer->kind == Kind::Echo && peer->outPos < peer->out.size())
        return true;
    ssize_t n = ::recv(peer->fd.get(), buffer_.data(), buffer_.size(), 0);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    if (n == 0)
        return false;
    consume(peer, buffer_.data(), static_cast<size_t>(n));
    return flushOut(peer);
}

void BackendLoop::consume(Peer* peer, const char* data, size_t len)
{
    if (peer->kind == Kind::Echo) {
        peer->out.append(data, len);
        return;
    }
    while (len > 0 && !peer->headerComplete()) {
        peer->header[peer->headerLen++] = static_cast<unsigned char>(*data++);
        --len;
        if (peer->headerComplete())
            peer->volume = getU64(peer->header);
    }
    if (peer->kind != Kind::Sink || !peer->headerComplete())
        return;  // a source ignores what follows its header
    peer->done += len;
    if (peer->done >= peer->nextAck || (len > 0 && peer->done >= peer->volume)) {
        unsigned char ack[8];
        putU64(ack, peer->done);
        peer->out.append(reinterpret_cast<char*>(ack), sizeof ack);
        while (peer->nextAck <= peer->done)
            peer->nextAck += kSinkAckStep;
    }
}

bool BackendLoop::flushOut(Peer* peer)
{
    while (peer->outPos < peer->out.size()) {
        ssize_t n = ::send(peer->fd.get(), peer->out.data() + peer->outPos,
                           peer->out.size() - peer->outPos, MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        peer->outPos += static_cast<size_t>(n);
    }
    peer->out.clear();
    peer->outPos = 0;
    return true;
}

bool BackendLoop::sendSource(Peer* peer)
{
    if (peer->done >= peer->volume)
        return true;
    size_t chunk =
        static_cast<size_t>(std::min<uint64_t>(pattern_.size(), peer->volume - peer->done));
    ssize_t n = ::send(peer->fd.get(), pattern_.data(), chunk, MSG_NOSIGNAL);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    peer->done += static_cast<uint64_t>(n);
    return true;
}

void BackendLoop::updateInterest(Peer* peer)
{
    bool pendingOut = peer->outPos < peer->out.size();
    bool sourceBusy =
        peer->kind == Kind::Source && peer->headerComplete() && peer->done < peer->volume;
    uint32_t events = EPOLLIN;
    if (peer->kind == Kind::Echo && pendingOut)
        events = EPOLLOUT;
    else if (pendingOut || sourceBusy)
        events |= EPOLLOUT;
    watch(peer, events, EPOLL_CTL_MOD);
}

void BackendLoop::drop(Peer* peer)
{
    int key = peer->fd.get();
    epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, key, nullptr);
    peers_.erase(key);
}

}  // namespace

int runBackends(double maxSeconds, void (*ready)(const BackendPorts&))
{
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    BackendLoop loop;
    BackendPorts ports;
    if (!loop.open(ports)) {
        std::perror("backend listen");
        return 1;
    }
    ready(ports);
    return loop.run(maxSeconds);
}

}  // namespace load
