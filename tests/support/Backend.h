// The far end of a relay under test: a server on 127.0.0.1 port 0 that answers the way a test
// needs. A transforming answer proves that the bytes crossed the relay to the target and back,
// rather than being echoed on the way.
//
//   TBackend target;                              // answers each byte with its Transformed byte
//   TBackend upper(UpperCased);                   // any other transform
//   TBackend source(TBackend::TMode::SendAndClose, RandomBytes(1 << 20, 5));
//
// Each connection is served by a thread of its own. Stop (or the destructor) closes the
// listener, ends every connection and joins every thread. Port, Received and Accepts from any
// thread; construction and Stop on one.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "support/Loopback.h"

namespace testkit {

// The default backend's transform (each byte XOR 0x5A), and the upper-casing one.
std::string Transformed(std::string AData);
std::string UpperCased(std::string AData);

class TBackend {
public:
    // What each accepted connection gets:
    //   Transform:    every byte read answered with its transformed byte, until the peer closes;
    //   Echo:         the same with the bytes unchanged;
    //   SendAndClose: the greeting, then an orderly close;
    //   Flood:        the greeting again and again until the peer goes (or kFloodLimit bytes),
    //                 so that every buffer on the way fills whatever sizes the kernel gives them;
    //   Hold:         reads until the peer closes and answers nothing;
    //   Reset:        an RST at once.
    enum class TMode { Transform, Echo, SendAndClose, Flood, Hold, Reset };
    static constexpr std::size_t kFloodLimit = std::size_t{1} << 30;
    using TTransform = std::function<std::string(std::string)>;

    explicit TBackend(TMode AMode = TMode::Transform, std::string AGreeting = {});
    explicit TBackend(TTransform ATransform);
    ~TBackend();
    TBackend(const TBackend&) = delete;
    TBackend& operator=(const TBackend&) = delete;

    int Port() const { return FListener.Port(); }
    // Everything read, over all connections.
    std::string Received();
    int Accepts() const { return FAccepts.load(); }
    // Bytes a Flood backend has sent so far, over all connections.
    std::size_t Flooded() const { return FFlooded.load(); }
    // True while a connection cannot send: its send buffer is full because the far end takes
    // no more, so everything on the way is full too.
    bool Stalled();
    void Stop();

private:
    struct TConnection {
        std::thread Thread;
        TFd Socket;  // closed under FLock, so that Stop never shuts down a reused number
        bool Done = false;  // guarded by FLock
    };

    void Start();
    void AcceptLoop();
    void Serve(TConnection& AConnection);
    void Answer(int AFd);
    void Flood(int AFd);
    void Finish(TConnection& AConnection);
    void JoinFinished();

    TMode FMode;
    std::string FGreeting;
    TTransform FTransform;
    TListener FListener;
    TFd FWakeRead, FWakeWrite;  // a pipe whose read end turns readable at Stop
    std::atomic<int> FAccepts{0};
    std::atomic<std::size_t> FFlooded{0};
    // Guards the three fields below: the connection threads add to FReceived and finish their
    // entries, the acceptor adds entries, Stop ends them.
    std::mutex FLock;
    std::string FReceived;
    std::list<TConnection> FConnections;
    bool FStopped = false;
    std::thread FAcceptor;  // started last, by the constructors
};

}  // namespace testkit
