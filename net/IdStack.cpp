#include "net/IdStack.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <dirent.h>
#include <strings.h>
#include <sys/resource.h>

#include "net/IdException.h"
#include "net/IdGlobal.h"
#include "net/IdStackPosix.h"

namespace {

thread_local int tlLastErrorCode = 0;

struct TErrorEntry {
    int Code;
    const char* Text;
};

constexpr TErrorEntry ErrorTable[] = {
    {10004, "Interrupted system call."},
    {10009, "Bad file number."},
    {10013, "Access denied."},
    {10014, "Bad address."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Operation would block. "},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on non-socket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported on socket."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send or receive after socket is closed."},
    {10059, "Too many references, cannot splice."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10062, "Too many levels of symbolic links."},
    {10063, "File name too long."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10066, "Directory not empty"},
};

struct TErrnoEntry {
    int Errno;
    int Code;
};

constexpr TErrnoEntry ErrnoTable[] = {
    {EINTR, 10004},           {EBADF, 10009},           {EACCES, 10013},
    {EFAULT, 10014},          {EINVAL, 10022},          {EMFILE, 10024},
    {EAGAIN, 10035},          {EWOULDBLOCK, 10035},     {EINPROGRESS, 10036},
    {EALREADY, 10037},        {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},        {ENETUNREACH, 10051},
    {ENETRESET, 10052},       {ECONNABORTED, 10053},    {ECONNRESET, 10054},
    {ENOBUFS, 10055},         {EISCONN, 10056},         {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},       {EPIPE, 10058},           {ETOOMANYREFS, 10059},
    {ETIMEDOUT, 10060},       {ECONNREFUSED, 10061},    {ELOOP, 10062},
    {ENAMETOOLONG, 10063},    {EHOSTDOWN, 10064},       {EHOSTUNREACH, 10065},
    {ENOTEMPTY, 10066},
};

// A decimal integer as the conversion routines accept it: optional sign, digits only.
bool ParseInteger(const std::string& AText, long& AValue)
{
    if (AText.empty() || AText.size() > 11)
        return false;
    std::size_t i = (AText[0] == '-' || AText[0] == '+') ? 1 : 0;
    if (i == AText.size())
        return false;
    long value = 0;
    for (; i < AText.size(); ++i) {
        if (AText[i] < '0' || AText[i] > '9')
            return false;
        value = value * 10 + (AText[i] - '0');
    }
    AValue = AText[0] == '-' ? -value : value;
    return true;
}

}  // namespace

EIdSocketError::EIdSocketError(int ALastError)
    : EIdException(TIdStack::ErrorText(ALastError)), FLastError(ALastError)
{}

// Never destroyed, so that threads still ending while the process exits can use it.
TIdStack& GStack()
{
    static auto* stack = new TIdStackPosix;
    return *stack;
}

std::string TIdStack::ResolveHost(const std::string& AHost)
{
    if (strcasecmp(AHost.c_str(), "LOCALHOST") == 0)
        return "127.0.0.1";
    if (IsDottedQuad(AHost))
        return AHost;
    return ResolveAll(AHost).front().ToText();
}

namespace {

// The order to try addresses in: IPv6 first, then the families take turns, each keeping the
// order the system gave (its address selection rules already ranked them). A repeated address
// goes.
std::vector<TIdIPAddress> InterleaveFamilies(const std::vector<TIdIPAddress>& AFound)
{
    std::vector<TIdIPAddress> v6, v4;
    for (const TIdIPAddress& a : AFound) {
        std::vector<TIdIPAddress>& family = a.IsV6() ? v6 : v4;
        if (std::find(family.begin(), family.end(), a) == family.end())
            family.push_back(a);
    }
    std::vector<TIdIPAddress> ordered;
    for (std::size_t i = 0; i < std::max(v6.size(), v4.size()); ++i) {
        if (i < v6.size())
            ordered.push_back(v6[i]);
        if (i < v4.size())
            ordered.push_back(v4[i]);
    }
    return ordered;
}

}  // namespace

bool TIdStack::ResolvesWithoutLookup(const std::string& AHost)
{
    return strcasecmp(AHost.c_str(), "LOCALHOST") == 0 || TIdIPAddress::Parse(AHost) ||
        TIdIPAddress::LooksLikeIPv6(AHost);
}

std::vector<TIdIPAddress> TIdStack::ResolveAll(const std::string& AHost)
{
    if (strcasecmp(AHost.c_str(), "LOCALHOST") == 0)
        return {TIdIPAddress::LoopbackV6(), TIdIPAddress::LoopbackV4()};
    if (const auto literal = TIdIPAddress::Parse(AHost))
        return {*literal};
    if (TIdIPAddress::LooksLikeIPv6(AHost)) {
        // Never handed to the resolver: a colon makes it a mistyped literal, not a name.
        const std::string scope = TIdIPAddress::ScopeProblem(AHost);
        throw EIdSocketError(Id_WSAHOST_NOT_FOUND,
                             ErrorText(Id_WSAHOST_NOT_FOUND) +
                                 (scope.empty() ? "\"" + AHost + "\" is not an IPv6 address." : scope));
    }
    std::vector<TIdIPAddress> found = InterleaveFamilies(LookupHost(AHost));
    if (found.empty())
        CheckResult(-1);
    return found;
}

bool TIdStack::IsDottedQuad(const std::string& AText)
{
    std::string rest = AText;
    for (int part = 0; part < 4; ++part) {
        std::string token = part < 3 ? FetchToken(rest, ".", true) : rest;
        long value = 0;
        if (!ParseInteger(token, value) || value < 0 || value > 255)
            return false;
    }
    return true;
}

std::string TIdStack::AddressToText(const std::array<uint8_t, 4>& AAddress)
{
    return std::to_string(AAddress[0]) + "." + std::to_string(AAddress[1]) + "." +
        std::to_string(AAddress[2]) + "." + std::to_string(AAddress[3]);
}

std::array<uint8_t, 4> TIdStack::TextToAddress(const std::string& AText)
{
    std::array<uint8_t, 4> address{};
    std::string rest = AText;
    for (auto& byte : address) {
        const std::string token = FetchToken(rest, ".", true);
        long value = 0;
        if (!ParseInteger(token, value))
            throw EConvertError("'" + token + "' is not a valid integer value");
        byte = static_cast<uint8_t>(value);
    }
    return address;
}

uint16_t TIdStack::HostToNetShort(uint16_t AValue)
{
    return htons(AValue);
}

uint16_t TIdStack::NetToHostShort(uint16_t AValue)
{
    return ntohs(AValue);
}

int TIdStack::LastErrorCode()
{
    return tlLastErrorCode;
}

void TIdStack::SetLastErrorCode(int ACode)
{
    tlLastErrorCode = ACode;
}

bool TIdStack::CheckResult(int AResult, std::initializer_list<int> AIgnored)
{
    if (AResult != -1)
        return false;
    const int code = LastErrorCode();
    for (int ignored : AIgnored)
        if (ignored == code)
            return true;
    RaiseError(code);
}

void TIdStack::RaiseError(int AErrorCode)
{
    throw EIdSocketError(AErrorCode);
}

std::string TIdStack::ErrorText(int AErrorCode)
{
    const char* text = "";
    for (const auto& entry : ErrorTable)
        if (entry.Code == AErrorCode)
            text = entry.Text;
    return "Socket Error # " + std::to_string(AErrorCode) + "\r\n" + text;
}

int TIdStack::TranslateErrno(int AErrno)
{
    for (const auto& entry : ErrnoTable)
        if (entry.Errno == AErrno)
            return entry.Code;
    return AErrno;
}

long TIdStack::RaiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return static_cast<long>(std::min<rlim_t>(limit.rlim_cur, static_cast<rlim_t>(LONG_MAX)));
}

long TIdStack::ConnectionsWithin(long ALimit)
{
    // Eight listening sockets, the daily log file and one to spare.
    constexpr long Reserved = 10;
    long inUse = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.')
                ++inUse;
        ::closedir(dir);
        --inUse;  // the one reading the folder
    }
    return std::max(0L, (ALimit - inUse - Reserved) / 2);
}
