// Helpers shared by the window-level end-to-end cases, which run the real window in this
// process. Main thread only.
#pragma once

#include <QCoreApplication>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <vector>

namespace window_run {

// A loopback port for a channel's Listen Port (which cannot be 0). The socket that took it
// stays bound (SO_REUSEADDR, never listening) until the process ends: the program binds beside
// it (it sets SO_REUSEADDR too), while a bind to port 0 anywhere else skips the port, so a test
// running in parallel cannot take it between this choice and the program's bind. A port held
// so refuses connections.
inline int FreePort()
{
    static std::vector<int> held;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    held.push_back(fd);
    return ntohs(a.sin_port);
}

// Runs the event loop until done() or the deadline: the connection threads' hand-overs to the
// main thread need it.
inline bool PumpUntil(const std::function<bool()> &done, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

} // namespace window_run
