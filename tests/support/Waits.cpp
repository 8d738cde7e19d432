#include "support/Waits.h"

#include <dirent.h>

#include <thread>

namespace testkit {

bool PollUntil(const std::function<bool()>& ADone, std::chrono::milliseconds ALimit,
               const std::function<void()>& AMeanwhile)
{
    const auto deadline = Clock::now() + ALimit;
    while (!ADone()) {
        if (Clock::now() > deadline)
            return false;
        if (AMeanwhile)
            AMeanwhile();
        std::this_thread::sleep_for(1ms);  // the pace of the polling, not a synchronisation
    }
    return true;
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
