// Loopback sockets for the tests, on plain POSIX calls so that a test never checks the network
// layer against itself. Everything binds 127.0.0.1 (a client may pick another address of
// 127.0.0.0/8 as its source), a listener takes port 0 and reads its port back, and every read
// has a deadline.
//
//   TListener far;                          // or a TBackend that answers by itself
//   TFd client = ConnectTo(far.Port());
//   TFd served = far.Accept();
//   SendAll(client.Get(), "ping");
//   EXPECT_EQ(RecvAtMost(served.Get(), 4), "ping");
//
// Any thread; one descriptor is used by one thread at a time.
#pragma once

#include <netinet/in.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/Waits.h"

namespace testkit {

// An owned descriptor, closed on destruction or Reset (an orderly close: FIN).
class TFd {
public:
    explicit TFd(int AFd = -1) : FFd(AFd) {}
    TFd(TFd&& AOther) noexcept : FFd(std::exchange(AOther.FFd, -1)) {}
    TFd& operator=(TFd&& AOther) noexcept
    {
        std::swap(FFd, AOther.FFd);
        return *this;
    }
    ~TFd() { Reset(); }
    int Get() const { return FFd; }
    void Reset();

private:
    int FFd;
};

sockaddr_in Loopback(int APort);

// A listening socket on 127.0.0.1 with a port the system chose.
class TListener {
public:
    explicit TListener(int ABacklog = 128);
    int Port() const { return FPort; }
    int Fd() const { return FSocket.Get(); }
    TFd Accept();
    // Connections whose handshake is done and that wait in the accept queue.
    int Queued() const;

private:
    TFd FSocket;
    int FPort = 0;
};

// A listener that accepts nothing, its queue of one taken by a connection of its own: the
// system drops every further SYN, so a connect to it stays pending as to a host that never
// answers.
class TSilentListener : public TListener {
public:
    TSilentListener();

private:
    TFd FFiller;
};

// A port on 127.0.0.1 that nothing else gets while the process runs: its socket stays bound
// (SO_REUSEADDR, never listening), so a connect to it is refused, a bind to port 0 elsewhere
// skips it, and the program under test can bind it beside this socket (it sets SO_REUSEADDR too).
int FreePort();

// Connects to 127.0.0.1:APort; throws std::runtime_error when that fails.
TFd ConnectTo(int APort);
// The same, but an empty TFd (Get() < 0) when refused or out of descriptors.
TFd TryConnect(int APort);
// Connects to 127.0.0.1:APort from the loopback address ASource (127.0.0.2, ...); throws.
TFd ConnectFrom(const std::string& ASource, int APort);
// The same without throwing: -1 and the connect's errno in AError when it fails. A server that
// resets at once can make the connect itself fail with ECONNRESET: the reset arrives between
// the handshake and the moment the blocked connect looks at the socket again.
TFd TryConnectFrom(const std::string& ASource, int APort, int& AError);
// IPv6 loopback: a listener on [::1] (IPv6 only) with a port the system chose, and
// connects to [::1]:APort, or to ::ffff:127.0.0.1 (an IPv4 client through an IPv6 socket).
class TListener6 {
public:
    TListener6();
    int Port() const { return FPort; }
    TFd Accept();

private:
    TFd FSocket;
    int FPort = 0;
};
TFd TryConnect6(int APort);
TFd ConnectTo6(int APort);
// True when this machine has an IPv6 loopback address to test with.
bool HaveIPv6Loopback();

// Closes with an RST instead of a FIN.
void CloseWithReset(TFd& AFd);

bool SendAll(int AFd, const std::string& AData);

// What a reader got until the connection ended, AEnough bytes came or the deadline passed: the
// bytes and how it ended (0: orderly, an errno such as ECONNRESET, ETIMEDOUT when it had not).
struct TEnding {
    std::string Bytes;
    int Error = ETIMEDOUT;
};
TEnding ReadToEnd(int AFd, Clock::time_point ADeadline = Clock::now() + kDeadline,
                  std::size_t AEnough = SIZE_MAX);
// Reads until AMax bytes came, the peer closed, or the deadline passed.
std::string RecvAtMost(int AFd, std::size_t AMax,
                       Clock::time_point ADeadline = Clock::now() + kDeadline);
// True when the peer closed (or reset) the connection before the deadline; data is dropped.
bool WaitForClose(int AFd, Clock::time_point ADeadline = Clock::now() + kDeadline);
// True when the peer reset the connection before the deadline; data is dropped.
bool WasReset(int AFd, Clock::time_point ADeadline = Clock::now() + kDeadline);

// Sends APayload from a second thread while reading as many bytes back; returns them, fewer
// only when the connection ended or no byte came for kDeadline. No half-close: a relay ends
// the whole connection when its client's side closes.
std::string ExchangeOn(TFd& AFd, const std::string& APayload);
std::string Exchange(int APort, const std::string& APayload);
// ExchangeOn on every connection at once, APayloads[i] on AConnections[i].
std::vector<std::string> ExchangeAll(std::vector<TFd>& AConnections,
                                     const std::vector<std::string>& APayloads);

// Bytes that show loss, reordering and truncation: the same for the same seed.
std::string RandomBytes(std::size_t ASize, std::uint64_t ASeed);
std::uint64_t Digest(const std::string& AData);

}  // namespace testkit
