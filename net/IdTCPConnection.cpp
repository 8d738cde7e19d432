#include "net/IdTCPConnection.h"

#include "net/IdAntiFreeze.h"
#include "net/IdException.h"
#include "net/IdStack.h"

TIdTCPConnection::TIdTCPConnection(TIdBaseComponent* AOwner)
    : TIdComponent(AOwner), FBinding(std::make_unique<TIdSocketHandle>())
{}

// The binding goes with the connection and closes an open socket without OnDisconnected.
TIdTCPConnection::~TIdTCPConnection() = default;

void TIdTCPConnection::NotifyDisconnected()
{
    if (OnDisconnected)
        OnDisconnected(this);
}

void TIdTCPConnection::ResetState()
{
    FBinding->CloseSocket(true);
    FInputBuffer.clear();
    FClosedGracefully = false;
}

void TIdTCPConnection::CheckDisconnect(bool ARaiseExceptionIfDisconnected, bool AIgnoreBuffer)
{
    if (!FClosedGracefully && FBinding->HandleAllocated())
        return;
    if (FBinding->HandleAllocated())
        Disconnect();
    if (ARaiseExceptionIfDisconnected && (FInputBuffer.empty() || AIgnoreBuffer))
        throw EIdConnClosedGracefully();
}

bool TIdTCPConnection::Connected()
{
    CheckDisconnect(false, false);
    return FBinding->HandleAllocated();
}

void TIdTCPConnection::Disconnect()
{
    if (FBinding->CloseSocket(true)) {
        FClosedGracefully = true;
        NotifyDisconnected();
    }
}

void TIdTCPConnection::DisconnectWithReset()
{
    if (!FBinding->HandleAllocated())
        return;
    FBinding->CloseWithReset();
    FClosedGracefully = true;
    NotifyDisconnected();
}

void TIdTCPConnection::Abort()
{
    FBinding->ShutdownBoth();
}

std::string TIdTCPConnection::ExtractBytes(std::size_t ACount)
{
    if (ACount > FInputBuffer.size())
        throw EIdNotEnoughDataInBuffer();
    if (ACount == FInputBuffer.size())
        return std::move(FInputBuffer);  // the relay's common case: hand the bytes over, no copy
    std::string head = FInputBuffer.substr(0, ACount);
    FInputBuffer.erase(0, ACount);
    return head;
}

void TIdTCPConnection::AllocateRecvBuffer()
{
    if (FRecvBuffer && FRecvBufferCapacity == FRecvBufferSize)
        return;
    FRecvBufferCapacity = FRecvBufferSize > 0 ? FRecvBufferSize : 1;
    FRecvBuffer =
        std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(FRecvBufferCapacity));
}

int TIdTCPConnection::ReceiveIntoRecvBuffer(int ATimeout)
{
    AllocateRecvBuffer();
    // Data already pending makes the wait return at once; trying the receive first spares that
    // poll on every step of a busy relay.
    int received = FBinding->RecvIfReady(FRecvBuffer.get(), FRecvBufferCapacity);
    if (received == -1 && GStack().LastErrorCode() == Id_WSAEWOULDBLOCK) {
        // Another thread's Disconnect can land between the receive above and the wait, which
        // then finds the handle closed. A close a moment earlier fails that receive, one a
        // moment later wakes the wait and fails the receive below, both with 10009: this one
        // must end the same way, not as an end of the connection by its peer.
        bool ready = false;
        try {
            ready = FBinding->WaitForData(ATimeout);
        } catch (const EIdConnClosedGracefully&) {
            GStack().RaiseError(Id_WSAEBADF);
        }
        if (!ready)
            return kNothingReceived;
        received = FBinding->Recv(FRecvBuffer.get(), FRecvBufferCapacity);
    }
    FClosedGracefully = received == 0;
    if (received == -1) {
        const int code = GStack().LastErrorCode();
        if (code != Id_WSAESHUTDOWN)
            GStack().RaiseError(code);
        if (FBinding->HandleAllocated())
            Disconnect();
        if (FInputBuffer.empty())
            GStack().RaiseError(code);
        return kNothingReceived;
    }
    return received;
}

int TIdTCPConnection::ReceiveOnce(bool ARaiseExceptionIfDisconnected, int ATimeout)
{
    CheckDisconnect(ARaiseExceptionIfDisconnected, false);
    if (!Connected())
        return 0;
    const int received = ReceiveIntoRecvBuffer(ATimeout);
    if (received == kNothingReceived)
        return 0;
    FInputBuffer.append(FRecvBuffer.get(), static_cast<std::size_t>(received));
    CheckDisconnect(ARaiseExceptionIfDisconnected, false);
    return received;
}

std::string TIdTCPConnection::ReadAvailable()
{
    if (!Connected())
        return {};
    ReceiveOnce(false, InfiniteTimeout);
    return ExtractBytes(FInputBuffer.size());
}

std::string_view TIdTCPConnection::ReadAvailableInPlace()
{
    if (!FInputBuffer.empty() || !Connected()) {
        FHandedOver = ReadAvailable();
        return FHandedOver;
    }
    const int received = ReceiveIntoRecvBuffer(InfiniteTimeout);
    if (received == 0)
        CheckDisconnect(false, false);  // the peer closed its side: close ours
    if (received <= 0)
        return {};
    return {FRecvBuffer.get(), static_cast<std::size_t>(received)};
}

void TIdTCPConnection::Write(std::string_view AOut)
{
    if (AOut.empty())
        return;
    CheckDisconnect(true, true);
    std::size_t pos = 0;
    while (pos < AOut.size()) {
        const int sent = FBinding->Send(AOut.data() + pos, static_cast<int>(AOut.size() - pos));
        FClosedGracefully = sent == 0;
        TIdAntiFreezeBase::DoProcess(false, false);
        CheckDisconnect(true, false);
        if (sent == -1) {
            const int code = GStack().LastErrorCode();
            if (code == Id_WSAESHUTDOWN)
                Disconnect();
            GStack().RaiseError(code);
        }
        pos += static_cast<std::size_t>(sent);
    }
}
