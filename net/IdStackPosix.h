// The socket stack on POSIX sockets: poll instead of select (so descriptors above 1023 work),
// MSG_NOSIGNAL on every send, close-on-exec on every socket, getaddrinfo for host names.
#pragma once

#include "net/IdStack.h"

class TIdStackPosix : public TIdStack {
public:
    int NewSocket(int ASocketType, int AProtocol, TIdIPVersion AVersion,
                  bool ANonBlocking) override;
    int Bind(int ASocket, const std::string& AIP, int APort) override;
    int Listen(int ASocket, int ABacklog) override;
    int Accept(int ASocket, std::string& APeerIP, int& APeerPort) override;
    int Connect(int ASocket, const std::string& AIP, int APort,
                const std::function<bool()>& AStillWanted, int AWatchSocket) override;
    bool PeerHasLeft(int ASocket) override;
    int Recv(int ASocket, void* ABuffer, int ALength) override;
    int Send(int ASocket, const void* ABuffer, int ALength) override;
    int RecvIfReady(int ASocket, void* ABuffer, int ALength) override;
    int SendIfReady(int ASocket, const void* ABuffer, int ALength) override;
    int Select(TIdSocketList& AReadList, int ATimeout) override;
    int ConnectNoWait(int ASocket, const std::string& AIP, int APort) override;
    int ConnectOutcome(int ASocket) override;
    int ConnectFirst(int ASocket, const std::vector<TIdIPAddress>& ATargets, int APort,
                     const std::function<bool()>& AStillWanted, int AWatchSocket,
                     int AAttemptDelayMs) override;
    int SelectMicros(TIdSocketList& AReadList, std::int64_t ATimeoutUs) override;
    int SetSockOpt(int ASocket, int ALevel, int AOptName, const void* AOptVal,
                   int AOptLen) override;
    int Shutdown(int ASocket, int ADirection) override;
    int CloseSocket(int ASocket) override;
    void GetSockName(int ASocket, std::string& AIP, int& APort) override;
    void GetPeerName(int ASocket, std::string& AIP, int& APort) override;
    int SetNonBlocking(int ASocket, bool ANonBlocking) override;
    int UnacknowledgedBytes(int ASocket) override;

    // Run by TIdComponent when the first network object appears / the last one goes.
    void Startup();
    void Cleanup();

protected:
    std::vector<TIdIPAddress> LookupHost(const std::string& AHost) override;

private:
    // Record the failed call's error for LastErrorCode and return -1.
    static int Fail(int AErrno);
    static int FailErrno();
    static int TakeConnectError(int ASocket);
    static int TakeReady(TIdSocketList& AReadList, const struct pollfd* AEntries,
                         std::size_t ACount, int AResult);
    int WaitConnected(int ASocket, const std::function<bool()>& AStillWanted, int AWatchSocket);
};
