#include "IdTCPConnection.h"

#include "IdAntiFreeze.h"
#include "IdException.h"
#include "IdStack.h"

TIdTCPConnection::TIdTCPConnection(TIdBaseComponent* AOwner)
    : TIdComponent(AOwner), FBinding(std::make_unique<TIdSocketHandle>())
{
}

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

void TIdTCPConnection::Abort()
{
    FBinding->ShutdownBoth();
}

std::string TIdTCPConnection::ExtractBytes(std::size_t ACount)
{
    if (ACount > FInputBuffer.size())
        throw EIdNotEnoughDataInBuffer();
    if (ACount == FInputBuffer.size())
        return std::move(FInputBuffer);   // the relay's common case: hand the bytes over, no copy
    std::string head = FInputBuffer.substr(0, ACount);
    FInputBuffer.erase(0, ACount);
    return head;
}

int TIdTCPConnection::ReceiveOnce(bool ARaiseExceptionIfDisconnected, int ATimeout)
{
    CheckDisconnect(ARaiseExceptionIfDisconnected, false);
    if (!Connected())
        return 0;
    if (!FBinding->WaitForData(ATimeout))
        return 0;
    if (!FRecvBuffer)
        FRecvBuffer = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(FRecvBufferSize));
    const int received = FBinding->Recv(FRecvBuffer.get(), FRecvBufferSize);
    FClosedGracefully = received == 0;
    if (received == -1) {
        const int code = GStack().LastErrorCode();
        if (code != Id_WSAESHUTDOWN)
            GStack().RaiseError(code);
        if (FBinding->HandleAllocated())
            Disconnect();
        if (FInputBuffer.empty())
            GStack().RaiseError(code);
        return 0;
    }
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

void TIdTCPConnection::Write(const std::string& AOut)
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
