// Test seam for the name-resolution case, loaded into the program with LD_PRELOAD: a lookup
// of any name ending in ".slow.test" takes two seconds and then fails as an unknown name, so
// no query ever leaves the machine; every other lookup goes to the C library unchanged.
#include <dlfcn.h>
#include <netdb.h>

#include <cstring>
#include <ctime>

using getaddrinfo_fn = int (*)(const char*, const char*, const addrinfo*, addrinfo**);

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** res)
{
    static const char suffix[] = ".slow.test";
    const size_t n = node ? std::strlen(node) : 0;
    if (n >= sizeof suffix - 1 && std::strcmp(node + n - (sizeof suffix - 1), suffix) == 0) {
        timespec pause{2, 0};
        while (nanosleep(&pause, &pause) != 0) {}
        return EAI_NONAME;
    }
    auto next = reinterpret_cast<getaddrinfo_fn>(dlsym(RTLD_NEXT, "getaddrinfo"));
    return next(node, service, hints, res);
}
