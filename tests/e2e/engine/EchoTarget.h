// A loopback echo server for the in-process end-to-end tests: listens on 127.0.0.1 port 0,
// one thread per connection; Stop (or the destructor) wakes and joins every thread.
// Construct, read Port(), and use from any thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

class EchoTarget {
public:
    EchoTarget()
    {
        FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int on = 1;
        ::setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(FListen, 128) != 0)
            throw std::runtime_error("echo target cannot listen");
        socklen_t len = sizeof a;
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
        FPort = ntohs(a.sin_port);
        FAcceptor = std::thread([this] { AcceptLoop(); });
    }
    ~EchoTarget() { Stop(); }

    int Port() const { return FPort; }

    void Stop()
    {
        if (FStopped.exchange(true))
            return;
        ::shutdown(FListen, SHUT_RDWR);
        FAcceptor.join();
        ::close(FListen);
        std::vector<std::thread> workers;
        {
            std::lock_guard lock(FLock);
            for (int fd : FOpen)
                ::shutdown(fd, SHUT_RDWR);
            workers.swap(FWorkers);
        }
        for (auto& t : workers)
            t.join();
    }

private:
    void AcceptLoop()
    {
        while (!FStopped) {
            const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (FStopped)
                    return;
                continue;
            }
            std::lock_guard lock(FLock);
            FOpen.push_back(fd);
            FWorkers.emplace_back([this, fd] { Echo(fd); });
        }
    }

    void Echo(int AFd)
    {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::recv(AFd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            if (::send(AFd, buf, size_t(n), MSG_NOSIGNAL) != n)
                break;
        }
        std::lock_guard lock(FLock);
        for (auto& fd : FOpen)
            if (fd == AFd) {
                ::close(fd);
                fd = FOpen.back();
                FOpen.pop_back();
                break;
            }
    }

    int FListen = -1;
    int FPort = 0;
    std::atomic<bool> FStopped{false};
    std::thread FAcceptor;
    std::mutex FLock;
    std::vector<int> FOpen;               // guarded by FLock
    std::vector<std::thread> FWorkers;    // guarded by FLock
};

