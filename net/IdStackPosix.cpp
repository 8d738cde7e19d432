#include "net/IdStackPosix.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/IdException.h"
#include "net/IdGlobal.h"

namespace {

// The family a socket was made for (SO_DOMAIN), AF_INET when it cannot be told.
int SocketFamily(int ASocket)
{
    int family = AF_INET;
    socklen_t len = sizeof family;
    if (::getsockopt(ASocket, SOL_SOCKET, SO_DOMAIN, &family, &len) == -1)
        return AF_INET;
    return family;
}

// AIP on a socket of AFamily: empty is any address of that family. Nothing for text that does not
// parse, or an address of the other family.
std::optional<TIdIPAddress> SocketAddress(int AFamily, const std::string& AIP)
{
    const int family = AFamily;
    if (AIP.empty())
        return family == AF_INET6 ? TIdIPAddress::AnyV6() : TIdIPAddress::AnyV4();
    auto address = TIdIPAddress::Parse(AIP);
    // An IPv4 address on an IPv6 socket is reached through its IPv4-mapped form (MakeAddress);
    // an IPv6 one cannot be reached from an IPv4 socket.
    if (address && address->IsV6() && family != AF_INET6)
        return std::nullopt;
    return address;
}

// The system's form of AAddress and APort for a socket of AFamily.
socklen_t MakeAddress(const TIdIPAddress& AAddress, int APort, int AFamily, sockaddr_storage& AOut)
{
    if (AFamily == AF_INET6 && !AAddress.IsV6()) {
        AOut = {};
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(static_cast<uint16_t>(APort));
        const auto bytes = AAddress.V6Bytes();
        std::memcpy(&in6.sin6_addr, bytes.data(), bytes.size());
        std::memcpy(&AOut, &in6, sizeof in6);
        return sizeof in6;
    }
    return AAddress.ToSockAddr(APort, AOut);
}

// An address that does not parse would become 255.255.255.255, which Linux lets a TCP socket
// bind to, and a port outside 0..65535 would wrap to another port: the channel would then
// listen somewhere nobody asked for. Both are refused as the system refuses an address it
// cannot use. Returns 0 or the errno to fail with; fills AOut when 0.
int CheckAddressFor(int AFamily, const std::string& AIP, int APort, sockaddr_storage& AOut,
                    socklen_t& ALength)
{
    if (APort < 0 || APort > 65535)
        return EINVAL;
    const auto address = SocketAddress(AFamily, AIP);
    if (!address)
        return EADDRNOTAVAIL;
    ALength = MakeAddress(*address, APort, AFamily, AOut);
    return 0;
}

int CheckAddress(int ASocket, const std::string& AIP, int APort, sockaddr_storage& AOut,
                 socklen_t& ALength)
{
    return CheckAddressFor(SocketFamily(ASocket), AIP, APort, AOut, ALength);
}

void SplitAddress(const sockaddr_storage& AAddr, std::string& AIP, int& APort)
{
    AIP = TIdIPAddress::FromSockAddr(reinterpret_cast<const sockaddr*>(&AAddr), &APort).ToText();
}

// Milliseconds left of ATimeout after AStart, for poll (-1 = no limit).
int RemainingMs(int ATimeout, uint32_t AStart)
{
    if (ATimeout == InfiniteTimeout || ATimeout < 0)
        return -1;
    const int32_t left = ATimeout - GetTickDiff(AStart, GetTickCount());
    return left > 0 ? left : 0;
}

}  // namespace

int TIdStackPosix::Fail(int AErrno)
{
    SetLastErrorCode(TranslateErrno(AErrno));
    return -1;
}

int TIdStackPosix::FailErrno()
{
    return Fail(errno);
}

void TIdStackPosix::Startup()
{
    // A send to a vanished peer must never end the process. Every send passes MSG_NOSIGNAL;
    // ignoring the signal as well guards any other write to a socket.
    struct sigaction old {};
    if (sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL)
        signal(SIGPIPE, SIG_IGN);
}

void TIdStackPosix::Cleanup()
{}

int TIdStackPosix::NewSocket(int ASocketType, int AProtocol, TIdIPVersion AVersion,
                             bool ANonBlocking)
{
    const int type = (ASocketType == Id_SOCK_STREAM ? SOCK_STREAM : ASocketType) | SOCK_CLOEXEC |
        (ANonBlocking ? SOCK_NONBLOCK : 0);
    const int family = AVersion == TIdIPVersion::V6 ? AF_INET6 : AF_INET;
    const int s = ::socket(family, type, AProtocol);
    if (s == -1) {
        const int error = errno;
        FailErrno();
        if (family == AF_INET6 && error == EAFNOSUPPORT)
            throw EIdSocketError(LastErrorCode(), ErrorText(LastErrorCode()) +
                                                      " This machine has no IPv6.");
        throw EIdInvalidSocket();
    }
    return s;
}

int TIdStackPosix::Bind(int ASocket, const std::string& AIP, int APort)
{
    sockaddr_storage addr{};
    socklen_t len = 0;
    if (const int invalid = CheckAddress(ASocket, AIP, APort, addr, len))
        return Fail(invalid);
    if (SocketFamily(ASocket) == AF_INET6) {
        // "::" serves IPv4 clients too; an empty address (any IPv6 address) leaves them to an
        // IPv4 socket beside it. Set either way: the system's default is a setting of its own.
        const int v6Only = AIP.empty() ? 1 : 0;
        if (::setsockopt(ASocket, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only) == -1)
            return FailErrno();
    }
    if (::bind(ASocket, reinterpret_cast<const sockaddr*>(&addr), len) == -1)
        return FailErrno();
    return 0;
}

int TIdStackPosix::Listen(int ASocket, int ABacklog)
{
    if (::listen(ASocket, ABacklog) == -1)
        return FailErrno();
    return 0;
}

int TIdStackPosix::Accept(int ASocket, std::string& APeerIP, int& APeerPort)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    int s;
    do
        s = ::accept4(ASocket, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
    while (s == -1 && errno == EINTR);
    if (s == -1)
        return FailErrno();
    SplitAddress(addr, APeerIP, APeerPort);
    return s;
}

int TIdStackPosix::Connect(int ASocket, const std::string& AIP, int APort,
                           const std::function<bool()>& AStillWanted, int AWatchSocket)
{
    // Non-blocking connect plus poll: the same unlimited wait as a blocking connect, but
    // another thread can end it by shutting the socket down, and AStillWanted can refuse it.
    sockaddr_storage addr{};
    socklen_t len = 0;
    if (const int invalid = CheckAddress(ASocket, AIP, APort, addr, len))
        return Fail(invalid);
    if (SetNonBlocking(ASocket, true) == -1)
        return -1;
    int result = 0;
    if (::connect(ASocket, reinterpret_cast<const sockaddr*>(&addr), len) == -1) {
        if (errno == EINPROGRESS || errno == EINTR)
            result = WaitConnected(ASocket, AStillWanted, AWatchSocket);
        else
            result = FailErrno();
    }
    const int saved = LastErrorCode();
    SetNonBlocking(ASocket, false);
    if (result == -1)
        SetLastErrorCode(saved);
    return result;
}

int TIdStackPosix::ConnectNoWait(int ASocket, const std::string& AIP, int APort)
{
    sockaddr_storage addr{};
    socklen_t len = 0;
    // The socket was made for the target's family: no need to ask it.
    const int family = TIdIPAddress::LooksLikeIPv6(AIP) ? AF_INET6 : AF_INET;
    if (const int invalid = CheckAddressFor(family, AIP, APort, addr, len))
        return Fail(invalid);
    int result;
    do
        result = ::connect(ASocket, reinterpret_cast<const sockaddr*>(&addr), len);
    while (result == -1 && errno == EINTR);
    if (result == -1)
        return FailErrno();  // 10036 for a connect under way
    return 0;
}

// How a connect under way ended: 0, or -1 with its code.
int TIdStackPosix::TakeConnectError(int ASocket)
{
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(ASocket, SOL_SOCKET, SO_ERROR, &error, &len) == -1)
        return FailErrno();
    return error != 0 ? Fail(error) : 0;
}

int TIdStackPosix::ConnectOutcome(int ASocket)
{
    return TakeConnectError(ASocket);
}

namespace {

// One connection attempt of a race: its socket and the target it tries.
struct TAttempt {
    int Socket;
    std::size_t Target;
};

// A socket for a later attempt: of the target's family, non-blocking, with Nagle's algorithm
// as the first attempt's socket has it. -1 after recording the error.
int NewRacingSocket(int AFirstSocket, const TIdIPAddress& ATarget)
{
    const int s = ::socket(ATarget.Family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s == -1)
        return -1;
    int noDelay = 0;
    socklen_t len = sizeof noDelay;
    if (::getsockopt(AFirstSocket, IPPROTO_TCP, TCP_NODELAY, &noDelay, &len) == 0 && noDelay)
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    return s;
}

}  // namespace

int TIdStackPosix::ConnectFirst(int ASocket, const std::vector<TIdIPAddress>& ATargets, int APort,
                                const std::function<bool()>& AStillWanted, int AWatchSocket,
                                int AAttemptDelayMs)
{
    if (ATargets.empty() || APort < 0 || APort > 65535)
        return Fail(EINVAL);
    if (SetNonBlocking(ASocket, true) == -1)
        return -1;
    using Clock = std::chrono::steady_clock;
    std::vector<TAttempt> running;
    std::size_t next = 0;
    int lastError = ECONNREFUSED;
    Clock::time_point nextStart = Clock::now();
    // Closes every attempt but AKeep (the first socket is the caller's: it stays open).
    const auto closeOthers = [&](int AKeep) {
        for (const TAttempt& a : running)
            if (a.Socket != AKeep && a.Socket != ASocket)
                ::close(a.Socket);
        running.clear();
    };
    // Starts the next target; true when it connected at once (it is then running.back()).
    const auto startNext = [&]() {
        const std::size_t index = next++;
        const int s = index == 0 ? ASocket : NewRacingSocket(ASocket, ATargets[index]);
        if (s == -1) {
            lastError = errno;
            return false;
        }
        sockaddr_storage addr{};
        const socklen_t len = MakeAddress(ATargets[index], APort, SocketFamily(s), addr);
        int rc;
        do
            rc = ::connect(s, reinterpret_cast<const sockaddr*>(&addr), len);
        while (rc == -1 && errno == EINTR);
        if (rc == 0 || errno == EINPROGRESS) {
            running.push_back({s, index});
            nextStart = Clock::now() + std::chrono::milliseconds(AAttemptDelayMs);
            return rc == 0;
        }
        lastError = errno;
        if (s != ASocket)
            ::close(s);
        return false;
    };
    // The watched client as WaitConnected watches it: a reset or shutdown ends the race, a
    // close after sending does not (those bytes still go to the target), and is asked once.
    bool watchClose = true;
    const auto WatchedLeft = [&](const pollfd& AEntry) {
        if (AEntry.revents & (POLLHUP | POLLERR | POLLNVAL))
            return true;
        if (!(AEntry.revents & POLLRDHUP))
            return false;
        watchClose = false;
        return PeerHasLeft(AWatchSocket);
    };
    std::optional<TAttempt> winner;
    if (AStillWanted && !AStillWanted())
        return Fail(ECONNABORTED);
    while (!winner) {
        // No attempt left under way: the next starts at once (a refusal moves on without
        // waiting out the delay).
        if (running.empty()) {
            if (next == ATargets.size())
                break;
            if (startNext())
                winner = running.back();
            continue;
        }
        const bool moreToStart = next < ATargets.size();
        const auto untilNext = std::chrono::duration_cast<std::chrono::milliseconds>(
            nextStart - Clock::now());
        // Without a wake-up of its own (the first socket may have failed already) the wait is
        // cut into slices that ask AStillWanted again.
        constexpr int StillWantedSliceMs = 100;
        const int timeout = moreToStart
            ? static_cast<int>(std::clamp<long long>(untilNext.count(), 0, StillWantedSliceMs))
            : StillWantedSliceMs;
        std::vector<pollfd> fds;
        for (const TAttempt& a : running)
            fds.push_back({a.Socket, POLLOUT, 0});
        if (AWatchSocket >= 0)
            fds.push_back({AWatchSocket, static_cast<short>(watchClose ? POLLRDHUP : 0), 0});
        const int n = ::poll(fds.data(), fds.size(), timeout);
        if (n == -1 && errno != EINTR) {
            lastError = errno;
            break;
        }
        if ((AStillWanted && !AStillWanted()) || (AWatchSocket >= 0 && WatchedLeft(fds.back()))) {
            lastError = ECONNABORTED;
            break;
        }
        std::vector<TAttempt> still;
        for (std::size_t i = 0; i < running.size(); ++i) {
            if (fds[i].revents == 0) {
                still.push_back(running[i]);
                continue;
            }
            int error = 0;
            socklen_t len = sizeof error;
            if (::getsockopt(running[i].Socket, SOL_SOCKET, SO_ERROR, &error, &len) == -1)
                error = errno;
            if (error == 0 && !winner) {
                winner = running[i];
                continue;
            }
            if (error != 0)
                lastError = error;
            if (running[i].Socket != ASocket)
                ::close(running[i].Socket);
        }
        running = std::move(still);
        if (!winner && moreToStart && Clock::now() >= nextStart && !running.empty() &&
            startNext())
            winner = running.back();
    }
    closeOthers(winner ? winner->Socket : -1);
    if (!winner) {
        SetNonBlocking(ASocket, false);
        return Fail(lastError);
    }
    if (winner->Socket != ASocket) {
        // The winner takes the first socket's number, so that the caller's handle (and any
        // thread that may shut it down) names the connection that is kept.
        const int moved = ::dup3(winner->Socket, ASocket, O_CLOEXEC);
        ::close(winner->Socket);
        if (moved == -1)
            return FailErrno();
    }
    if (SetNonBlocking(ASocket, false) == -1)
        return -1;
    return static_cast<int>(winner->Target);
}

int TIdStackPosix::WaitConnected(int ASocket, const std::function<bool()>& AStillWanted,
                                 int AWatchSocket)
{
    // Asked after connect() has put the socket into its connecting state: a shutdown by
    // another thread from here on ends the poll below.
    if (AStillWanted && !AStillWanted())
        return Fail(ECONNABORTED);
    // The watched socket wakes the wait when its peer closes (POLLRDHUP) and when it is reset
    // or shut down (POLLHUP and POLLERR come without being asked for). Readable bytes do not
    // wake it: a client may well speak first.
    pollfd fds[2] = {{ASocket, POLLOUT, 0}, {AWatchSocket, POLLRDHUP, 0}};
    const nfds_t count = AWatchSocket >= 0 ? 2 : 1;
    for (;;) {
        const int n = ::poll(fds, count, -1);
        if (n == -1 && errno == EINTR)
            continue;
        if (n == -1)
            return FailErrno();
        if (fds[0].revents != 0)
            break;
        if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) || PeerHasLeft(AWatchSocket))
            return Fail(ECONNABORTED);
        // Closed after sending: those bytes still go to the target once it answers. Only a
        // reset can follow a close, and that still wakes the wait.
        fds[1].events = 0;
    }
    if (AStillWanted && !AStillWanted())
        return Fail(ECONNABORTED);
    if (TakeConnectError(ASocket) == -1)
        return -1;
    sockaddr_storage peer{};
    socklen_t peerLen = sizeof peer;
    if (::getpeername(ASocket, reinterpret_cast<sockaddr*>(&peer), &peerLen) == -1)
        return FailErrno();
    return 0;
}

bool TIdStackPosix::PeerHasLeft(int ASocket)
{
    pollfd pfd{ASocket, POLLRDHUP, 0};
    if (::poll(&pfd, 1, 0) != 1)
        return false;
    // POLLHUP: reset, or shut down in both directions on this side.
    if (pfd.revents & (POLLHUP | POLLERR))
        return true;
    int unread = 0;
    return (pfd.revents & POLLRDHUP) && ::ioctl(ASocket, FIONREAD, &unread) == 0 && unread == 0;
}

namespace {

ssize_t RecvRetryingInterrupts(int ASocket, void* ABuffer, int ALength, int AFlags)
{
    ssize_t n;
    do
        n = ::recv(ASocket, ABuffer, static_cast<size_t>(ALength), AFlags);
    while (n == -1 && errno == EINTR);
    return n;
}

}  // namespace

int TIdStackPosix::Recv(int ASocket, void* ABuffer, int ALength)
{
    const ssize_t n = RecvRetryingInterrupts(ASocket, ABuffer, ALength, 0);
    if (n == -1)
        return FailErrno();
    return static_cast<int>(n);
}

int TIdStackPosix::RecvIfReady(int ASocket, void* ABuffer, int ALength)
{
    const ssize_t n = RecvRetryingInterrupts(ASocket, ABuffer, ALength, MSG_DONTWAIT);
    if (n == -1)
        return FailErrno();
    return static_cast<int>(n);
}

namespace {

ssize_t SendRetryingInterrupts(int ASocket, const void* ABuffer, int ALength, int AFlags)
{
    ssize_t n;
    do
        n = ::send(ASocket, ABuffer, static_cast<size_t>(ALength), AFlags | MSG_NOSIGNAL);
    while (n == -1 && errno == EINTR);
    return n;
}

}  // namespace

int TIdStackPosix::Send(int ASocket, const void* ABuffer, int ALength)
{
    const ssize_t n = SendRetryingInterrupts(ASocket, ABuffer, ALength, 0);
    if (n == -1)
        return FailErrno();
    return static_cast<int>(n);
}

int TIdStackPosix::SendIfReady(int ASocket, const void* ABuffer, int ALength)
{
    const ssize_t n = SendRetryingInterrupts(ASocket, ABuffer, ALength, MSG_DONTWAIT);
    if (n == -1)
        return FailErrno();
    return static_cast<int>(n);
}

namespace {

// The read list as poll entries; false when a socket number is negative.
bool ToPollEntries(const TIdSocketList& AReadList, pollfd* AEntries)
{
    if (AReadList.size() > static_cast<std::size_t>(Id_Select_MaxSockets))
        throw EIdStackSetSizeExceeded();
    bool valid = true;
    for (std::size_t i = 0; i < AReadList.size(); ++i) {
        AEntries[i] = pollfd{AReadList[i], POLLIN, 0};
        valid = valid && AReadList[i] >= 0;
    }
    return valid;
}

}  // namespace

// Rewrites AReadList to the ready entries after a wait that returned AResult.
int TIdStackPosix::TakeReady(TIdSocketList& AReadList, const pollfd* AEntries, std::size_t ACount,
                             int AResult)
{
    if (AResult == -1)
        return FailErrno();
    for (std::size_t i = 0; i < ACount; ++i) {
        if (AEntries[i].revents & POLLNVAL)
            return Fail(EBADF);
        if (AEntries[i].revents & (POLLIN | POLLHUP | POLLERR))
            AReadList.push_back(AEntries[i].fd);
    }
    return static_cast<int>(AReadList.size());
}

int TIdStackPosix::Select(TIdSocketList& AReadList, int ATimeout)
{
    pollfd fds[Id_Select_MaxSockets];
    const std::size_t count = AReadList.size();
    const bool valid = ToPollEntries(AReadList, fds);
    AReadList.clear();
    if (!valid)
        return Fail(ENOTSOCK);
    const uint32_t start = GetTickCount();
    int n;
    do
        n = ::poll(fds, count, RemainingMs(ATimeout, start));
    while (n == -1 && errno == EINTR);
    return TakeReady(AReadList, fds, count, n);
}

int TIdStackPosix::SelectMicros(TIdSocketList& AReadList, std::int64_t ATimeoutUs)
{
    pollfd fds[Id_Select_MaxSockets];
    const std::size_t count = AReadList.size();
    const bool valid = ToPollEntries(AReadList, fds);
    AReadList.clear();
    if (!valid)
        return Fail(ENOTSOCK);
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + microseconds(std::max<std::int64_t>(ATimeoutUs, 0));
    int n;
    do {
        timespec left{};
        if (ATimeoutUs >= 0) {
            const auto rest = std::max(nanoseconds(0), deadline - steady_clock::now());
            left.tv_sec = static_cast<time_t>(duration_cast<seconds>(rest).count());
            left.tv_nsec = static_cast<long>((rest % seconds(1)).count());
        }
        n = ::ppoll(fds, count, ATimeoutUs >= 0 ? &left : nullptr, nullptr);
    } while (n == -1 && errno == EINTR);
    return TakeReady(AReadList, fds, count, n);
}

int TIdStackPosix::SetSockOpt(int ASocket, int ALevel, int AOptName, const void* AOptVal,
                              int AOptLen)
{
    if (::setsockopt(ASocket, ALevel, AOptName, AOptVal, static_cast<socklen_t>(AOptLen)) == -1)
        return FailErrno();
    return 0;
}

int TIdStackPosix::Shutdown(int ASocket, int ADirection)
{
    const int how = ADirection == Id_SD_Both ? SHUT_RDWR
        : ADirection == Id_SD_Send           ? SHUT_WR
                                             : SHUT_RD;
    if (::shutdown(ASocket, how) == -1)
        return FailErrno();
    return 0;
}

int TIdStackPosix::CloseSocket(int ASocket)
{
    // Linux releases the descriptor even when close reports EINTR; never retry it.
    if (::close(ASocket) == -1 && errno != EINTR)
        return FailErrno();
    return 0;
}

void TIdStackPosix::GetSockName(int ASocket, std::string& AIP, int& APort)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    CheckResult(::getsockname(ASocket, reinterpret_cast<sockaddr*>(&addr), &len) == -1 ? FailErrno()
                                                                                       : 0);
    SplitAddress(addr, AIP, APort);
}

void TIdStackPosix::GetPeerName(int ASocket, std::string& AIP, int& APort)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    CheckResult(::getpeername(ASocket, reinterpret_cast<sockaddr*>(&addr), &len) == -1 ? FailErrno()
                                                                                       : 0);
    SplitAddress(addr, AIP, APort);
}

int TIdStackPosix::SetNonBlocking(int ASocket, bool ANonBlocking)
{
    // Of the flags F_SETFL sets, a socket of this stack only ever has O_NONBLOCK (never
    // O_APPEND or O_ASYNC), so there is nothing to read first: one system call, not two, for
    // each of the two switches around every connect.
    if (::fcntl(ASocket, F_SETFL, ANonBlocking ? O_NONBLOCK : 0) == -1)
        return FailErrno();
    return 0;
}

int TIdStackPosix::UnacknowledgedBytes(int ASocket)
{
    int queued = 0;
    if (::ioctl(ASocket, SIOCOUTQ, &queued) == -1)
        return FailErrno();
    return queued;
}

std::vector<TIdIPAddress> TIdStackPosix::LookupHost(const std::string& AHost)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    const int rc = ::getaddrinfo(AHost.c_str(), nullptr, &hints, &result);
    if (rc != 0 || result == nullptr) {
        int code = Id_WSANO_RECOVERY;
        switch (rc) {
            case EAI_NONAME: code = Id_WSAHOST_NOT_FOUND; break;
            case EAI_AGAIN: code = Id_WSATRY_AGAIN; break;
            case EAI_FAIL: code = Id_WSANO_RECOVERY; break;
#ifdef EAI_NODATA
            case EAI_NODATA: code = Id_WSANO_DATA; break;
#endif
            case EAI_ADDRFAMILY: code = Id_WSANO_DATA; break;
            default: break;
        }
        if (result)
            freeaddrinfo(result);
        SetLastErrorCode(code);
        return {};
    }
    std::vector<TIdIPAddress> found;
    for (const addrinfo* entry = result; entry; entry = entry->ai_next)
        if (entry->ai_family == AF_INET || entry->ai_family == AF_INET6)
            found.push_back(TIdIPAddress::FromSockAddr(entry->ai_addr));
    freeaddrinfo(result);
    if (found.empty())
        SetLastErrorCode(Id_WSANO_DATA);
    return found;
}
