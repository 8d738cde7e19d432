#include "support/Backend.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <condition_variable>
#include <stdexcept>

namespace testkit {

std::string Transformed(std::string AData)
{
    for (char& c : AData)
        c = static_cast<char>(c ^ 0x5A);
    return AData;
}

std::string UpperCased(std::string AData)
{
    for (char& c : AData)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return AData;
}

TBackend::TBackend(TMode AMode, std::string AGreeting)
    : FMode(AMode), FGreeting(std::move(AGreeting)), FTransform(Transformed)
{
    if (FMode == TMode::Echo)
        FTransform = [](std::string AData) { return AData; };
    Start();
}

TBackend::TBackend(TTransform ATransform)
    : FMode(TMode::Transform), FTransform(std::move(ATransform))
{
    Start();
}

void TBackend::Start()
{
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC) != 0)
        throw std::runtime_error("no pipe for the backend");
    FWakeRead = TFd(wake[0]);
    FWakeWrite = TFd(wake[1]);
    FAcceptor = std::thread([this] { AcceptLoop(); });
}

TBackend::~TBackend()
{
    Stop();
}

std::string TBackend::Received()
{
    std::lock_guard lock(FLock);
    return FReceived;
}

bool TBackend::Stalled()
{
    std::lock_guard lock(FLock);
    for (TConnection& c : FConnections) {
        pollfd p{c.Socket.Get(), POLLOUT, 0};
        if (c.Socket.Get() >= 0 && ::poll(&p, 1, 0) == 0)
            return true;
    }
    return false;
}

void TBackend::Stop()
{
    {
        std::lock_guard lock(FLock);
        if (FStopped)
            return;
        FStopped = true;
        // Wakes every thread in a read or a write; each then closes its own socket.
        for (TConnection& c : FConnections)
            if (c.Socket.Get() >= 0)
                ::shutdown(c.Socket.Get(), SHUT_RDWR);
    }
    FWakeWrite.Reset();  // the acceptor's poll reports the end
    FAcceptor.join();
    std::list<TConnection> connections;
    {
        std::lock_guard lock(FLock);
        connections.swap(FConnections);
    }
    for (TConnection& c : connections)
        c.Thread.join();
}

void TBackend::AcceptLoop()
{
    for (;;) {
        pollfd p[2] = {{FListener.Fd(), POLLIN, 0}, {FWakeRead.Get(), POLLIN, 0}};
        const int rc = ::poll(p, 2, -1);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0 || p[1].revents)
            return;
        TFd socket = FListener.Accept();
        if (socket.Get() < 0)
            continue;
        ++FAccepts;
        if (FMode == TMode::Reset) {
            CloseWithReset(socket);
            continue;
        }
        std::lock_guard lock(FLock);
        JoinFinished();
        if (FStopped)
            return;
        TConnection& c = FConnections.emplace_back();
        c.Socket = std::move(socket);
        c.Thread = std::thread([this, &c] { Serve(c); });
    }
}

// Called under FLock: a finished thread has set Done as its last step under the lock.
void TBackend::JoinFinished()
{
    for (auto it = FConnections.begin(); it != FConnections.end();) {
        if (!it->Done) {
            ++it;
            continue;
        }
        it->Thread.join();
        it = FConnections.erase(it);
    }
}

void TBackend::Serve(TConnection& AConnection)
{
    const int fd = AConnection.Socket.Get();  // only Finish, on this thread, closes it
    if (FMode == TMode::SendAndClose)
        SendAll(fd, FGreeting);
    else if (FMode == TMode::Flood)
        Flood(fd);
    else
        Answer(fd);
    Finish(AConnection);
}

void TBackend::Flood(int AFd)
{
    for (std::size_t sent = 0; sent < kFloodLimit && !FGreeting.empty(); sent += FGreeting.size()) {
        if (!SendAll(AFd, FGreeting))
            return;
        FFlooded += FGreeting.size();
    }
}

void TBackend::Finish(TConnection& AConnection)
{
    std::lock_guard lock(FLock);
    AConnection.Socket.Reset();
    AConnection.Done = true;
}

// Reads until the peer closes. A relay handles one direction at a time and blocks in its write,
// so the answers go out from a writer thread of their own while the reading goes on.
void TBackend::Answer(int AFd)
{
    std::mutex queueLock;
    std::condition_variable queued;
    std::string queue;  // guarded by queueLock, as is readerDone
    bool readerDone = false;
    std::thread writer;
    if (FMode != TMode::Hold)
        writer = std::thread([&] {
            std::unique_lock lock(queueLock);
            for (;;) {
                queued.wait(lock, [&] { return !queue.empty() || readerDone; });
                if (queue.empty())
                    return;
                const std::string out = std::exchange(queue, {});
                lock.unlock();
                const bool sent = SendAll(AFd, out);
                lock.lock();
                if (!sent)
                    return;
            }
        });
    char buf[65536];
    for (;;) {
        const ssize_t n = ::recv(AFd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::string piece(buf, static_cast<std::size_t>(n));
        {
            std::lock_guard lock(FLock);
            FReceived += piece;
        }
        if (FMode == TMode::Hold)
            continue;
        std::string answer = FTransform(std::move(piece));
        std::lock_guard lock(queueLock);
        queue += answer;
        queued.notify_one();
    }
    ::shutdown(AFd, SHUT_RDWR);  // the peer left or the test ends: wakes a blocked writer
    {
        std::lock_guard lock(queueLock);
        readerDone = true;
    }
    queued.notify_one();
    if (writer.joinable())
        writer.join();
}

}  // namespace testkit
