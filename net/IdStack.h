// The process-wide socket stack: the one place that calls the platform's socket functions.
//
// Every operation is a thin, stateless wrapper: it returns the platform result (-1 on failure)
// and leaves the failure's error number, translated to the layer's table (10004..10066), for
// LastErrorCode on the same thread. CheckResult turns a -1 into EIdSocketError. All operations
// are thread safe; the stack keeps no state apart from the per-thread last error.
//
//   TIdStack& stack = GStack();
//   TIdSocketList list{a, b};
//   if (stack.Select(list, 1000) > 0 && SocketListContains(list, b)) ...
#pragma once

#include <cerrno>

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "net/IdIPAddress.h"

// A read list for Select: platform socket numbers, at most 64.
using TIdSocketList = std::vector<int>;

inline bool SocketListContains(const TIdSocketList& AList, int ASocket)
{
    for (int s : AList)
        if (s == ASocket)
            return true;
    return false;
}

constexpr int Id_SOCK_STREAM = 1;
constexpr int Id_IPPROTO_IP = 0;
constexpr int Id_SD_Receive = 0;  // Shutdown direction: stop receiving (wakes readers)
constexpr int Id_SD_Send = 1;  // Shutdown direction: stop sending
constexpr int Id_SD_Both = 2;  // Shutdown direction: stop both (wakes every waiter)
constexpr int Id_Select_MaxSockets = 64;
// The system's largest accept queue: a burst of clients waits in it instead of having its SYNs
// dropped and resent a second or three later (Linux caps it at net.core.somaxconn).
constexpr int Id_ListenBacklog = SOMAXCONN;

// Socket error numbers the layer compares against.
constexpr int Id_WSAEINTR = 10004;
constexpr int Id_WSAEBADF = 10009;
constexpr int Id_WSAEMFILE = 10024;
constexpr int Id_WSAEWOULDBLOCK = 10035;
constexpr int Id_WSAEINPROGRESS = 10036;
constexpr int Id_WSAENOTSOCK = 10038;
constexpr int Id_WSAEAFNOSUPPORT = 10047;
constexpr int Id_WSAEADDRINUSE = 10048;
constexpr int Id_WSAEADDRNOTAVAIL = 10049;
constexpr int Id_WSAECONNABORTED = 10053;
constexpr int Id_WSAECONNRESET = 10054;
constexpr int Id_WSAENOBUFS = 10055;
constexpr int Id_WSAESHUTDOWN = 10058;
constexpr int Id_WSAECONNREFUSED = 10061;
constexpr int Id_WSAENOPROTOOPT = 10042;
constexpr int Id_WSAEOPNOTSUPP = 10045;
constexpr int Id_WSAENETDOWN = 10050;
constexpr int Id_WSAENETUNREACH = 10051;
constexpr int Id_WSAENOTCONN = 10057;
constexpr int Id_WSAEHOSTDOWN = 10064;
constexpr int Id_WSAEHOSTUNREACH = 10065;
// Failures without a number of their own in the table keep their errno value (see
// TranslateErrno); named here so that code compares layer numbers only.
constexpr int Id_ErrnoEPROTO = EPROTO;
constexpr int Id_ErrnoEPERM = EPERM;
constexpr int Id_ErrnoENONET = ENONET;
constexpr int Id_ErrnoENFILE = ENFILE;
constexpr int Id_ErrnoENOMEM = ENOMEM;
// Host lookup failures (outside the error table, so their ErrorText is empty).
constexpr int Id_WSAHOST_NOT_FOUND = 11001;
constexpr int Id_WSATRY_AGAIN = 11002;
constexpr int Id_WSANO_RECOVERY = 11003;
constexpr int Id_WSANO_DATA = 11004;

class TIdStack {
public:
    virtual ~TIdStack() = default;

    // Creates a socket of the family (close-on-exec, non-blocking when asked); raises
    // EIdInvalidSocket on failure, and EIdSocketError 10047 saying so when the machine has no
    // IPv6.
    virtual int NewSocket(int ASocketType = Id_SOCK_STREAM, int AProtocol = Id_IPPROTO_IP,
                          TIdIPVersion AVersion = TIdIPVersion::V4, bool ANonBlocking = false) = 0;
    // AIP: a dotted quad or an IPv6 literal (see TIdIPAddress::Parse) of the socket's family.
    // Empty means any address of the socket's family only (0.0.0.0, or :: for IPv6 clients
    // alone); "::" itself serves clients of both families (IPv4 ones IPv4-mapped).
    virtual int Bind(int ASocket, const std::string& AIP, int APort) = 0;
    virtual int Listen(int ASocket, int ABacklog) = 0;
    // Returns the new socket (close-on-exec, blocking) or -1; fills the remote end.
    virtual int Accept(int ASocket, std::string& APeerIP, int& APeerPort) = 0;
    // Blocks until connected or failed; no timeout of its own. AStillWanted, when given, is
    // asked once the connection attempt is under way and again when it has ended; a false
    // answer ends the attempt with -1 and 10053. Another thread can end a pending attempt
    // early by shutting the socket down (TIdSocketHandle::ShutdownBoth). AWatchSocket, when
    // not -1, is a connected socket watched meanwhile (the client a relay connects for): once
    // PeerHasLeft holds for it, or it is shut down, the attempt ends with -1 and 10053 too.
    virtual int Connect(int ASocket, const std::string& AIP, int APort,
                        const std::function<bool()>& AStillWanted = {}, int AWatchSocket = -1) = 0;
    // A connect that does not wait: 0 when it completed at once, -1 with 10036 while it is
    // under way (the socket turns writable when it ends; ConnectOutcome then tells how), -1
    // with another code when it failed at once. ASocket is of AIP's family and non-blocking
    // (NewSocket's ANonBlocking), made for the event loop that waits for it;
    // SetNonBlocking(false) gives it to a thread that blocks.
    virtual int ConnectNoWait(int ASocket, const std::string& AIP, int APort) = 0;
    // How long a connect to one of several addresses goes unanswered before the next begins.
    static constexpr int AttemptDelayMs = 250;
    // Connects to the first of ATargets that answers, racing them as Happy Eyeballs does: the
    // next target starts when the ones under way have not answered within AAttemptDelayMs,
    // or at once when one fails; the first connection made wins, the others are closed before
    // a byte is sent. ASocket (unconnected, of ATargets[0]'s family, options set) makes the
    // first attempt and ends up holding the winning connection, blocking, whichever attempt
    // won. Returns the winner's index, or -1 with the code of the last failure. AStillWanted
    // and AWatchSocket as for Connect; the wait also ends when ASocket is shut down.
    virtual int ConnectFirst(int ASocket, const std::vector<TIdIPAddress>& ATargets, int APort,
                             const std::function<bool()>& AStillWanted = {},
                             int AWatchSocket = -1, int AAttemptDelayMs = AttemptDelayMs) = 0;
    // How a connect begun by ConnectNoWait ended, once its socket is writable: 0 (the socket
    // is still non-blocking) or -1 with the code.
    virtual int ConnectOutcome(int ASocket) = 0;
    // True when the peer of a connected socket has reset it, or has closed its side with
    // nothing left unread (bytes still waiting are its last word and keep it false), or when
    // this side has shut it down in both directions. Never waits.
    virtual bool PeerHasLeft(int ASocket) = 0;
    // Flags 0. Recv: 0 means the peer closed its side. Send never raises SIGPIPE.
    virtual int Recv(int ASocket, void* ABuffer, int ALength) = 0;
    virtual int Send(int ASocket, const void* ABuffer, int ALength) = 0;
    // Recv that never waits: -1 with 10035 when nothing is pending.
    virtual int RecvIfReady(int ASocket, void* ABuffer, int ALength) = 0;
    // Send that never waits: sends what fits now, -1 with 10035 when nothing fits.
    virtual int SendIfReady(int ASocket, const void* ABuffer, int ALength) = 0;
    // Waits until at least one socket of AReadList is readable (or closed, or in error), at most
    // ATimeout ms (InfiniteTimeout: no limit). Rewrites AReadList to hold exactly the ready
    // sockets, in list order. Returns their count, 0 when the time ran out, -1 on an error
    // (a negative socket number in the list fails with 10038 as an invalid socket does).
    // More than 64 sockets raise EIdStackSetSizeExceeded before anything waits.
    virtual int Select(TIdSocketList& AReadList, int ATimeout) = 0;
    // Select with the time limit in microseconds (negative: no limit), for a wait that must end
    // at a due time: whole milliseconds would miss it by up to one.
    virtual int SelectMicros(TIdSocketList& AReadList, std::int64_t ATimeoutUs) = 0;
    virtual int SetSockOpt(int ASocket, int ALevel, int AOptName, const void* AOptVal,
                           int AOptLen) = 0;
    // ADirection: Id_SD_Send or Id_SD_Both.
    virtual int Shutdown(int ASocket, int ADirection) = 0;
    virtual int CloseSocket(int ASocket) = 0;
    // Raise EIdSocketError on failure.
    virtual void GetSockName(int ASocket, std::string& AIP, int& APort) = 0;
    virtual void GetPeerName(int ASocket, std::string& AIP, int& APort) = 0;
    // Marks a listening socket non-blocking, so an accept after a vanished client cannot hang.
    virtual int SetNonBlocking(int ASocket, bool ANonBlocking) = 0;
    // Bytes sent on ASocket that the peer has not acknowledged yet, or -1.
    virtual int UnacknowledgedBytes(int ASocket) = 0;

    // "LOCALHOST" (any case) gives 127.0.0.1 without a lookup, a dotted quad is returned as it
    // is, an IPv6 literal in its short form, anything else is looked up and gives its first
    // address; a failed lookup raises EIdSocketError 11001..11004.
    std::string ResolveHost(const std::string& AHost);
    // Every address to try for AHost, in the order to try them: a literal alone; "LOCALHOST"
    // (any case) ::1 then 127.0.0.1 without a lookup; a name looked up for both families,
    // IPv6 first and the families taking turns (the system's preferred order within each).
    // A failed lookup raises EIdSocketError 11001..11004. Thread safe; may wait for the
    // network, so never on a thread that serves other connections.
    std::vector<TIdIPAddress> ResolveAll(const std::string& AHost);
    // True when ResolveAll answers AHost without asking the resolver (an address, localhost, a
    // mistyped IPv6 address): at once, never blocking.
    static bool ResolvesWithoutLookup(const std::string& AHost);
    static bool IsDottedQuad(const std::string& AText);
    static std::string AddressToText(const std::array<uint8_t, 4>& AAddress);
    // Raises EConvertError for a part that is not an integer.
    static std::array<uint8_t, 4> TextToAddress(const std::string& AText);
    static uint16_t HostToNetShort(uint16_t AValue);
    static uint16_t NetToHostShort(uint16_t AValue);

    // The translated error number of the calling thread's last failed stack call.
    static int LastErrorCode();
    // False for a result other than -1; true when the error is in AIgnored (the caller handles
    // it); raises EIdSocketError otherwise.
    static bool CheckResult(int AResult, std::initializer_list<int> AIgnored = {});
    [[noreturn]] static void RaiseError(int AErrorCode);
    // "Socket Error # %d\r\n%s" with the code and its text (empty for codes outside the table).
    static std::string ErrorText(int AErrorCode);
    // errno -> the layer's error number; an errno without counterpart keeps its own number.
    static int TranslateErrno(int AErrno);

    // Raises the process's soft descriptor limit (RLIMIT_NOFILE) to its hard limit: each
    // relayed connection holds two descriptors, and a desktop session starts programs with a
    // soft limit of 1024. Returns the soft limit in force afterwards. For program start.
    static long RaiseDescriptorLimit();
    // About how many relayed connections (two descriptors each) fit under ALimit beside the
    // descriptors the process holds now and a few kept for listeners and log files.
    static long ConnectionsWithin(long ALimit);

protected:
    // Looks AHost up for both families, in the system's order; empty after setting the last
    // error.
    virtual std::vector<TIdIPAddress> LookupHost(const std::string& AHost) = 0;
    static void SetLastErrorCode(int ACode);
};

// The process-wide stack. It lives as long as the process, so a reference taken on any
// thread stays valid; TIdComponent counts the network objects and starts it up on the first
// and tears it down after the last. Thread safe.
TIdStack& GStack();
