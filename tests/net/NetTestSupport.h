// Loopback helpers for the network tests: plain POSIX sockets for the far end (so a test never
// checks the layer against itself), bounded waits, and descriptor and thread counts.
#pragma once

#include <arpa/inet.h>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "IdSync.h"

namespace nettest {

using namespace std::chrono_literals;

// Polls APred until it holds or ALimit passes, serving synchronized calls meanwhile.
inline bool WaitUntil(const std::function<bool()>& APred, std::chrono::milliseconds ALimit = 10s)
{
    const auto deadline = std::chrono::steady_clock::now() + ALimit;
    while (!APred()) {
        ServePending();
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

inline int CountEntries(const char* ADir)
{
    int n = 0;
    if (DIR* d = opendir(ADir)) {
        while (dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

inline int OpenFds() { return CountEntries("/proc/self/fd") - 1; }   // minus the DIR's own
inline int LiveThreads() { return CountEntries("/proc/self/task"); }

inline sockaddr_in Loopback(int APort)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(APort));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// One end of a loopback TCP connection, closed on destruction.
class RawSocket {
public:
    RawSocket() = default;
    explicit RawSocket(int AFd) : FFd(AFd) {}
    RawSocket(RawSocket&& o) noexcept : FFd(o.FFd) { o.FFd = -1; }
    RawSocket& operator=(RawSocket&& o) noexcept { Close(); FFd = o.FFd; o.FFd = -1; return *this; }
    ~RawSocket() { Close(); }

    // Connects to 127.0.0.1:APort; false when refused or out of descriptors.
    bool Connect(int APort)
    {
        FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (FFd < 0)
            return false;
        const sockaddr_in a = Loopback(APort);
        if (::connect(FFd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
            Close();
            return false;
        }
        return true;
    }
    bool SendAll(const std::string& AData)
    {
        std::size_t done = 0;
        while (done < AData.size()) {
            const ssize_t n = ::send(FFd, AData.data() + done, AData.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    // Reads until ACount bytes arrived, the peer closed, or ALimit passed.
    std::string Receive(std::size_t ACount, std::chrono::milliseconds ALimit = 10s)
    {
        std::string out;
        const auto deadline = std::chrono::steady_clock::now() + ALimit;
        char buf[65536];
        while (out.size() < ACount) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{FFd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            const ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }
    // True when the peer closed (or reset) within ALimit; data before that is discarded.
    bool SeesClose(std::chrono::milliseconds ALimit = 10s)
    {
        const auto deadline = std::chrono::steady_clock::now() + ALimit;
        char buf[4096];
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{FFd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return false;
            if (::recv(FFd, buf, sizeof buf, 0) <= 0)
                return true;
        }
    }
    // Closes with an RST instead of a FIN.
    void Reset()
    {
        linger l{1, 0};
        ::setsockopt(FFd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Close();
    }
    void Close()
    {
        if (FFd >= 0)
            ::close(FFd);
        FFd = -1;
    }
    int Fd() const { return FFd; }

private:
    int FFd = -1;
};

// A plain listening socket on 127.0.0.1 with a system-chosen port.
class RawListener {
public:
    explicit RawListener(int ABacklog = 16)
    {
        FSock = RawSocket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a = Loopback(0);
        ::bind(FSock.Fd(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(FSock.Fd(), ABacklog);
        socklen_t len = sizeof a;
        ::getsockname(FSock.Fd(), reinterpret_cast<sockaddr*>(&a), &len);
        FPort = ntohs(a.sin_port);
    }
    int Port() const { return FPort; }
    int Fd() const { return FSock.Fd(); }
    RawSocket Accept() { return RawSocket(::accept4(FSock.Fd(), nullptr, nullptr, SOCK_CLOEXEC)); }
    // Connections completed and waiting in the accept queue.
    int Queued() const
    {
        tcp_info info{};
        socklen_t len = sizeof info;
        ::getsockopt(FSock.Fd(), IPPROTO_TCP, TCP_INFO, &info, &len);
        return static_cast<int>(info.tcpi_unacked);
    }

private:
    RawSocket FSock;
    int FPort = 0;
};

// A port on 127.0.0.1 that refuses connections: bound for the object's lifetime, never
// listening, so no other program can take it meanwhile.
class RefusingPort {
public:
    RefusingPort()
    {
        FSock = RawSocket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a = Loopback(0);
        ::bind(FSock.Fd(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(FSock.Fd(), reinterpret_cast<sockaddr*>(&a), &len);
        FPort = ntohs(a.sin_port);
    }
    int Port() const { return FPort; }

private:
    RawSocket FSock;
    int FPort = 0;
};

} // namespace nettest
