#include "support/Loopback.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>
#include <thread>

namespace testkit {

void TFd::Reset()
{
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
}

sockaddr_in Loopback(int APort)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(APort));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

namespace {

TFd NewSocket()
{
    TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.Get() < 0)
        throw std::runtime_error(std::string("no socket: ") + std::strerror(errno));
    return fd;
}

// Binds AFd to 127.0.0.1 port 0 and returns the port the system chose.
int BindAnyPort(const TFd& AFd)
{
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (::bind(AFd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(AFd.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error(std::string("cannot bind on loopback: ") + std::strerror(errno));
    return ntohs(a.sin_port);
}

// Waits for AFd to turn readable; false at the deadline.
bool WaitReadable(int AFd, Clock::time_point ADeadline)
{
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(ADeadline - Clock::now());
        pollfd p{AFd, POLLIN, 0};
        const int rc = ::poll(&p, 1, left.count() < 0 ? 0 : static_cast<int>(left.count()));
        if (rc < 0 && errno == EINTR)
            continue;
        return rc > 0;
    }
}

// One recv, retried on EINTR: the byte count, 0 at the end, -1 on error.
ssize_t RecvOnce(int AFd, char* ABuffer, std::size_t ASize)
{
    ssize_t n;
    do
        n = ::recv(AFd, ABuffer, ASize, 0);
    while (n < 0 && errno == EINTR);
    return n;
}

}  // namespace

TListener::TListener(int ABacklog) : FSocket(NewSocket())
{
    FPort = BindAnyPort(FSocket);
    if (::listen(FSocket.Get(), ABacklog) != 0)
        throw std::runtime_error(std::string("cannot listen on loopback: ") + std::strerror(errno));
}

TFd TListener::Accept()
{
    return TFd(::accept4(FSocket.Get(), nullptr, nullptr, SOCK_CLOEXEC));
}

int TListener::Queued() const
{
    tcp_info info{};
    socklen_t len = sizeof info;
    ::getsockopt(FSocket.Get(), IPPROTO_TCP, TCP_INFO, &info, &len);
    return static_cast<int>(info.tcpi_unacked);
}

TSilentListener::TSilentListener() : TListener(0), FFiller(ConnectTo(Port()))
{
    // The filler's handshake completes on its own; the queue is full once it waits there.
    if (!PollUntil([&] { return Queued() >= 1; }, std::chrono::seconds(10)))
        throw std::runtime_error("the silent listener's queue did not fill");
}

int FreePort()
{
    static std::vector<TFd> held;  // for the rest of the process
    TFd fd = NewSocket();
    const int one = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const int port = BindAnyPort(fd);
    held.push_back(std::move(fd));
    return port;
}

TFd TryConnect(int APort)
{
    TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in a = Loopback(APort);
    if (fd.Get() >= 0 && ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        fd.Reset();
    return fd;
}

TFd ConnectTo(int APort)
{
    TFd fd = TryConnect(APort);
    if (fd.Get() < 0)
        throw std::runtime_error("cannot connect to port " + std::to_string(APort) + ": " +
                                 std::strerror(errno));
    return fd;
}

namespace {

sockaddr_in6 Loopback6(int APort)
{
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<std::uint16_t>(APort));
    a.sin6_addr = in6addr_loopback;
    return a;
}

}  // namespace

TListener6::TListener6() : FSocket(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    sockaddr_in6 a = Loopback6(0);
    socklen_t len = sizeof a;
    if (FSocket.Get() < 0 || ::bind(FSocket.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(FSocket.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
        ::listen(FSocket.Get(), 128) != 0)
        throw std::runtime_error(std::string("cannot listen on [::1]: ") + std::strerror(errno));
    FPort = ntohs(a.sin6_port);
}

TFd TListener6::Accept()
{
    return TFd(::accept4(FSocket.Get(), nullptr, nullptr, SOCK_CLOEXEC));
}

TFd TryConnect6(int APort)
{
    TFd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in6 a = Loopback6(APort);
    if (fd.Get() >= 0 && ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        fd.Reset();
    return fd;
}

TFd ConnectTo6(int APort)
{
    TFd fd = TryConnect6(APort);
    if (fd.Get() < 0)
        throw std::runtime_error("cannot connect to [::1]:" + std::to_string(APort) + ": " +
                                 std::strerror(errno));
    return fd;
}

bool HaveIPv6Loopback()
{
    TFd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 a = Loopback6(0);
    return fd.Get() >= 0 && ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

TFd TryConnectFrom(const std::string& ASource, int APort, int& AError)
{
    TFd fd = NewSocket();
    sockaddr_in from = Loopback(0);
    ::inet_pton(AF_INET, ASource.c_str(), &from.sin_addr);
    const sockaddr_in a = Loopback(APort);
    // The port is picked at connect time, from the whole space of the four-tuple: thousands
    // of connects from one source while other tests hold ports must not run out of them.
    const int noPort = 1;
    ::setsockopt(fd.Get(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &noPort, sizeof noPort);
    AError = 0;
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        AError = errno;
        fd.Reset();
    }
    return fd;
}

TFd ConnectFrom(const std::string& ASource, int APort)
{
    int error = 0;
    TFd fd = TryConnectFrom(ASource, APort, error);
    if (fd.Get() < 0)
        throw std::runtime_error("cannot connect from " + ASource + ": " + std::strerror(error));
    return fd;
}

void CloseWithReset(TFd& AFd)
{
    const linger l{1, 0};
    ::setsockopt(AFd.Get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    AFd.Reset();
}

bool SendAll(int AFd, const std::string& AData)
{
    for (std::size_t sent = 0; sent < AData.size();) {
        const ssize_t n = ::send(AFd, AData.data() + sent, AData.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

TEnding ReadToEnd(int AFd, Clock::time_point ADeadline, std::size_t AEnough)
{
    TEnding end;
    char buf[65536];
    while (end.Bytes.size() < AEnough && WaitReadable(AFd, ADeadline)) {
        const ssize_t n = RecvOnce(AFd, buf, std::min(sizeof buf, AEnough - end.Bytes.size()));
        if (n <= 0) {
            end.Error = n == 0 ? 0 : errno;
            break;
        }
        end.Bytes.append(buf, static_cast<std::size_t>(n));
    }
    return end;
}

std::string RecvAtMost(int AFd, std::size_t AMax, Clock::time_point ADeadline)
{
    return ReadToEnd(AFd, ADeadline, AMax).Bytes;
}

bool WaitForClose(int AFd, Clock::time_point ADeadline)
{
    return ReadToEnd(AFd, ADeadline).Error != ETIMEDOUT;
}

bool WasReset(int AFd, Clock::time_point ADeadline)
{
    return ReadToEnd(AFd, ADeadline).Error == ECONNRESET;
}

std::string ExchangeOn(TFd& AFd, const std::string& APayload)
{
    std::thread sender([&] { SendAll(AFd.Get(), APayload); });
    // The deadline is for the next bytes, not for the whole answer: many megabytes through a
    // relay on a loaded machine may take longer than one deadline, and only a relay that
    // stops passing bytes is at fault.
    std::string back;
    for (;;) {
        TEnding piece =
            ReadToEnd(AFd.Get(), Clock::now() + kDeadline, APayload.size() - back.size());
        back += piece.Bytes;
        if (back.size() >= APayload.size() || piece.Error != ETIMEDOUT || piece.Bytes.empty())
            break;
    }
    ::shutdown(AFd.Get(), SHUT_RDWR);  // frees a sender that a broken relay left blocked
    sender.join();
    return back;
}

std::string Exchange(int APort, const std::string& APayload)
{
    TFd fd = ConnectTo(APort);
    return ExchangeOn(fd, APayload);
}

std::vector<std::string> ExchangeAll(std::vector<TFd>& AConnections,
                                     const std::vector<std::string>& APayloads)
{
    std::vector<std::string> answers(AConnections.size());
    std::vector<std::thread> clients;
    for (std::size_t i = 0; i < AConnections.size(); ++i)
        clients.emplace_back([&, i] { answers[i] = ExchangeOn(AConnections[i], APayloads[i]); });
    for (auto& c : clients)
        c.join();
    return answers;
}

std::string RandomBytes(std::size_t ASize, std::uint64_t ASeed)
{
    std::mt19937_64 rng(ASeed);
    std::string s(ASize, '\0');
    for (std::size_t i = 0; i < ASize; i += 8) {
        const std::uint64_t v = rng();
        for (std::size_t k = 0; k < 8 && i + k < ASize; ++k)
            s[i + k] = static_cast<char>(v >> (8 * k));
    }
    return s;
}

std::uint64_t Digest(const std::string& AData)
{
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : AData)
        h = (h ^ c) * 1099511628211ull;
    return h ^ AData.size();
}

}  // namespace testkit
