// Test seam for the name-resolution cases, loaded into the program with LD_PRELOAD, so that no
// query ever leaves the machine:
// - a lookup of any name ending in ".slow.test" takes two seconds and then fails as an
//   unknown name;
// - "dual.test" has two addresses, 127.0.0.1 first and then ::1 (IPv4 first on purpose: the
//   program must try IPv6 first all the same);
// every other lookup goes to the C library unchanged.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

using getaddrinfo_fn = int (*)(const char*, const char*, const addrinfo*, addrinfo**);

namespace {

bool EndsWith(const char* node, const char* suffix)
{
    const size_t n = std::strlen(node), s = std::strlen(suffix);
    return n >= s && std::strcmp(node + n - s, suffix) == 0;
}

// One entry as the C library makes them: the entry and its address in one block, so that its
// freeaddrinfo frees both.
template <typename Address>
addrinfo* Entry(int family, const Address& address)
{
    auto* block = static_cast<char*>(std::calloc(1, sizeof(addrinfo) + sizeof address));
    auto* ai = reinterpret_cast<addrinfo*>(block);
    ai->ai_family = family;
    ai->ai_socktype = SOCK_STREAM;
    ai->ai_protocol = IPPROTO_TCP;
    ai->ai_addrlen = sizeof address;
    ai->ai_addr = reinterpret_cast<sockaddr*>(block + sizeof(addrinfo));
    std::memcpy(ai->ai_addr, &address, sizeof address);
    return ai;
}

int DualStackName(const addrinfo* hints, addrinfo** res)
{
    const int family = hints ? hints->ai_family : AF_UNSPEC;
    sockaddr_in four{};
    four.sin_family = AF_INET;
    four.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in6 six{};
    six.sin6_family = AF_INET6;
    six.sin6_addr = in6addr_loopback;
    addrinfo* first = family == AF_INET6 ? nullptr : Entry(AF_INET, four);
    addrinfo* second = family == AF_INET ? nullptr : Entry(AF_INET6, six);
    if (first)
        first->ai_next = second;
    *res = first ? first : second;
    return 0;
}

}  // namespace

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** res)
{
    if (node && EndsWith(node, ".slow.test")) {
        timespec pause{2, 0};
        while (nanosleep(&pause, &pause) != 0) {}
        return EAI_NONAME;
    }
    if (node && std::strcmp(node, "dual.test") == 0)
        return DualStackName(hints, res);
    auto next = reinterpret_cast<getaddrinfo_fn>(dlsym(RTLD_NEXT, "getaddrinfo"));
    return next(node, service, hints, res);
}
