#include "net/IdStackPosix.h"

#include <algorithm>
#include <chrono>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/IdException.h"
#include "net/IdGlobal.h"

namespace {

// A dotted quad as the layer reads one: four integers 0..255, so "127.000.000.001" and
// "+127.0.0.1" are addresses too (the platform's parser refuses leading zeros and signs).
// False for any other text.
bool ParseDottedQuad(const std::string& AIP, in_addr& AAddress)
{
    if (!TIdStack::IsDottedQuad(AIP))
        return false;
    const std::array<uint8_t, 4> bytes = TIdStack::TextToAddress(AIP);
    std::memcpy(&AAddress.s_addr, bytes.data(), bytes.size());  // first part first: network order
    return true;
}

sockaddr_in MakeAddress(const std::string& AIP, int APort)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(APort));
    if (AIP.empty())
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
    else if (!ParseDottedQuad(AIP, addr.sin_addr))
        addr.sin_addr.s_addr = htonl(INADDR_NONE);
    return addr;
}

// An address that does not parse would become 255.255.255.255, which Linux lets a TCP socket
// bind to, and a port outside 0..65535 would wrap to another port: the channel would then
// listen somewhere nobody asked for. Both are refused as the system refuses an address it
// cannot use. Returns 0 or the errno to fail with.
int CheckAddress(const std::string& AIP, int APort)
{
    if (APort < 0 || APort > 65535)
        return EINVAL;
    in_addr parsed{};
    if (!AIP.empty() && !ParseDottedQuad(AIP, parsed))
        return EADDRNOTAVAIL;
    return 0;
}

void SplitAddress(const sockaddr_in& AAddr, std::string& AIP, int& APort)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &AAddr.sin_addr, text, sizeof text);
    AIP = text;
    APort = ntohs(AAddr.sin_port);
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

int TIdStackPosix::NewSocket(int ASocketType, int AProtocol)
{
    const int type = (ASocketType == Id_SOCK_STREAM ? SOCK_STREAM : ASocketType) | SOCK_CLOEXEC;
    const int s = ::socket(AF_INET, type, AProtocol);
    if (s == -1) {
        FailErrno();
        throw EIdInvalidSocket();
    }
    return s;
}

int TIdStackPosix::Bind(int ASocket, const std::string& AIP, int APort)
{
    if (const int invalid = CheckAddress(AIP, APort))
        return Fail(invalid);
    const sockaddr_in addr = MakeAddress(AIP, APort);
    if (::bind(ASocket, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == -1)
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
    sockaddr_in addr{};
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
    if (const int invalid = CheckAddress(AIP, APort))
        return Fail(invalid);
    if (SetNonBlocking(ASocket, true) == -1)
        return -1;
    const sockaddr_in addr = MakeAddress(AIP, APort);
    int result = 0;
    if (::connect(ASocket, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == -1) {
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
    if (const int invalid = CheckAddress(AIP, APort))
        return Fail(invalid);
    if (SetNonBlocking(ASocket, true) == -1)
        return -1;
    const sockaddr_in addr = MakeAddress(AIP, APort);
    int result;
    do
        result = ::connect(ASocket, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    while (result == -1 && errno == EINTR);
    if (result == -1)
        return FailErrno();  // 10036 for a connect under way
    return SetNonBlocking(ASocket, false);
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
    if (TakeConnectError(ASocket) == -1)
        return -1;
    return SetNonBlocking(ASocket, false);
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
    sockaddr_in peer{};
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
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    CheckResult(::getsockname(ASocket, reinterpret_cast<sockaddr*>(&addr), &len) == -1 ? FailErrno()
                                                                                       : 0);
    SplitAddress(addr, AIP, APort);
}

void TIdStackPosix::GetPeerName(int ASocket, std::string& AIP, int& APort)
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    CheckResult(::getpeername(ASocket, reinterpret_cast<sockaddr*>(&addr), &len) == -1 ? FailErrno()
                                                                                       : 0);
    SplitAddress(addr, AIP, APort);
}

int TIdStackPosix::SetNonBlocking(int ASocket, bool ANonBlocking)
{
    const int flags = ::fcntl(ASocket, F_GETFL);
    if (flags == -1)
        return FailErrno();
    const int wanted = ANonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (wanted != flags && ::fcntl(ASocket, F_SETFL, wanted) == -1)
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

std::string TIdStackPosix::LookupHost(const std::string& AHost)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
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
    std::string ip;
    int port = 0;
    SplitAddress(*reinterpret_cast<const sockaddr_in*>(result->ai_addr), ip, port);
    freeaddrinfo(result);
    return ip;
}
