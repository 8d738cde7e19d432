// A blocking TCP connection: one socket handle (Binding), an input buffer and the four
// operations the mapping engine relays with: ReadAvailable, Write, Connected, Disconnect.
//
// Byte strings are std::string holding arbitrary bytes, zero bytes included.
//
// Threads: every operation runs on the thread that owns the connection (for an accepted
// connection its peer thread, for an outbound client the thread that connected it). The one
// exception is Disconnect (and Abort), which another thread may call at any time, for example
// the server's deactivation on the main thread: the owner then wakes from any wait on the
// socket and sees a closed connection or an EIdSocketError on its next step.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "net/IdComponent.h"
#include "net/IdSocketHandle.h"

// Hooks a connection or server could route its traffic through; this program sets none.
class TIdConnectionIntercept;

enum class TWorkMode { wmRead, wmWrite };

class TIdTCPConnection : public TIdComponent {
public:
    explicit TIdTCPConnection(TIdBaseComponent* AOwner = nullptr);
    ~TIdTCPConnection() override;

    // Waits without limit for data and returns every byte then buffered: between 1 and
    // RecvBufferSize fresh bytes, plus any left over. Returns an empty string when the
    // connection is closed or the peer closed its side (the connection then closes itself and
    // OnDisconnected fires). Raises EIdSocketError on a reset (10054) and other errors.
    virtual std::string ReadAvailable();
    // ReadAvailable without copying: the bytes usually stay in the receive buffer. The view is
    // valid until the next read on this connection.
    std::string_view ReadAvailableInPlace();
    // Sends every byte (nothing for an empty string). Raises EIdConnClosedGracefully on a
    // closed connection and EIdSocketError when the platform refuses (never SIGPIPE).
    virtual void Write(std::string_view AOut);
    // Closes the connection when the peer's close has been seen; true while the socket is open.
    virtual bool Connected();
    // Closes an open socket and fires OnDisconnected once per open socket. Thread safe.
    virtual void Disconnect();
    // Disconnect with a reset (RST) instead of the orderly close (TIdSocketHandle::CloseWithReset):
    // the peer gets what it has received so far, then 10054. Owner thread.
    void DisconnectWithReset();

    virtual void NotifyDisconnected();
    virtual void ResetState();
    virtual void CheckDisconnect(bool ARaiseExceptionIfDisconnected = true,
                                 bool AIgnoreBuffer = false);
    // Removes and returns the first ACount buffered bytes; EIdNotEnoughDataInBuffer if fewer.
    virtual std::string ExtractBytes(std::size_t ACount);
    // One receive of at most RecvBufferSize bytes appended to the input buffer; 0 when the time
    // ran out or the connection is closed.
    virtual int ReceiveOnce(bool ARaiseExceptionIfDisconnected, int ATimeout);

    // Wakes the owner from any wait on this connection's socket without closing it; the owner's
    // pending operation then fails or reads the end. Thread safe.
    void Abort();

    TIdSocketHandle* Binding() const { return FBinding.get(); }
    const std::string& InputBuffer() const { return FInputBuffer; }
    bool ClosedGracefully() const { return FClosedGracefully.load(); }
    int RecvBufferSize() const { return FRecvBufferSize; }
    // Takes effect at the next receive (the receive buffer is allocated again only then).
    void SetRecvBufferSize(int ASize) { FRecvBufferSize = ASize; }
    int SendBufferSize() const { return FSendBufferSize; }
    void SetSendBufferSize(int ASize) { FSendBufferSize = ASize; }

    // Fired on whichever thread disconnects an open socket.
    std::function<void(TIdTCPConnection* ASender)> OnDisconnected;

    // Kept at their defaults by this program and without effect here.
    bool ASCIIFilter = false;
    TIdConnectionIntercept* Intercept = nullptr;
    bool InterceptEnabled = false;
    std::function<void(TIdTCPConnection* ASender, TWorkMode AMode, int64_t ACount)> OnWork;
    std::function<void(TIdTCPConnection* ASender, TWorkMode AMode, int64_t ACountMax)> OnWorkBegin;
    std::function<void(TIdTCPConnection* ASender, TWorkMode AMode)> OnWorkEnd;

private:
    static constexpr int kNothingReceived = -1;
    void AllocateRecvBuffer();
    // Waits at most ATimeout ms and receives once into the receive buffer: the count received,
    // 0 when the peer closed its side, kNothingReceived when the time ran out or the socket was
    // found shut down with bytes still buffered.
    int ReceiveIntoRecvBuffer(int ATimeout);

    std::unique_ptr<TIdSocketHandle> FBinding;
    std::string FInputBuffer;
    std::string FHandedOver;  // what ReadAvailableInPlace returned from FInputBuffer
    std::unique_ptr<char[]> FRecvBuffer;  // allocated at the first receive, never cleared
    int FRecvBufferCapacity = 0;  // its size: RecvBufferSize may change later
    std::atomic<bool> FClosedGracefully{false};
    int FRecvBufferSize = 32768;
    int FSendBufferSize = 32768;
};
