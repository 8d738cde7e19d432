#include "support/Waits.h"

#include <dirent.h>

#include <thread>

namespace testkit {

bool PollUntil(const std::function<bool()>& ADone, std::chrono::milliseconds ALimit,
               const std::function<void()>& AMeanwhile)
{
    const auto deadline = Clock::now() + ALimit;
    for (;;) {
        // The time is read before the test: a test that started past the deadline decides,
        // not one that only ended past it after this thread waited long for a core.
        const bool last = Clock::now() > deadline;
        if (ADone())
            return true;
        if (last)
            return false;
        if (AMeanwhile)
            AMeanwhile();
        std::this_thread::sleep_for(1ms);  // the pace of the polling, not a synchronisation
    }
}

namespace {

int CountEntries(const char* ADir)
{
    int n = 0;
    if (DIR* d = opendir(ADir)) {
        while (dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

}  // namespace

int OpenFds()
{
    return CountEntries("/proc/self/fd") - 1;  // less the one the count itself holds open
}

int LiveThreads()
{
    return CountEntries("/proc/self/task");
}

}  // namespace testkit
