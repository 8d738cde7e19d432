#include "ProcMemory.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>

namespace load {
namespace {

// Parent of every process now listed in /proc.
std::multimap<int, int> childrenByParent()
{
    std::multimap<int, int> children;
    DIR* dir = opendir("/proc");
    if (!dir)
        return children;
    while (dirent* entry = readdir(dir)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0)
            continue;
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            continue;
        // The command name in parentheses may hold blanks; the fields follow the last ')'.
        auto close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2)
            children.emplace(ppid, static_cast<int>(pid));
    }
    closedir(dir);
    return children;
}

void addRollup(int pid, MemUsage& usage)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    if (!in)
        return;
    std::string line;
    bool any = false;
    while (std::getline(in, line)) {
        long value = 0;
        // The first line names the address range; the fields follow as "Key:  value kB".
        if (std::sscanf(line.c_str(), "Rss: %ld", &value) == 1) {
            usage.rssKb += value;
            any = true;
        } else if (std::sscanf(line.c_str(), "Pss: %ld", &value) == 1) {
            usage.pssKb += value;
        }
    }
    if (any)
        ++usage.processes;
}

double cpuSeconds(int pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return 0;
    auto close = line.rfind(')');
    if (close == std::string::npos)
        return 0;
    // After the name: state, ppid, pgrp, session, tty, tpgid, flags, minflt, cminflt,
    // majflt, cmajflt, then utime and stime in clock ticks.
    unsigned long long utime = 0, stime = 0;
    if (std::sscanf(line.c_str() + close + 1,
                    " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
        return 0;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::vector<int> tree(const std::vector<int>& roots)
{
    auto children = childrenByParent();
    std::set<int> seen;
    std::vector<int> pending(roots.begin(), roots.end());
    std::vector<int> out;
    while (!pending.empty()) {
        int pid = pending.back();
        pending.pop_back();
        if (!seen.insert(pid).second)
            continue;
        out.push_back(pid);
        auto [first, last] = children.equal_range(pid);
        for (auto it = first; it != last; ++it)
            pending.push_back(it->second);
    }
    return out;
}

}  // namespace

double readTreeCpuSeconds(const std::vector<int>& roots)
{
    double sum = 0;
    if (roots.empty())
        return sum;
    for (int pid : tree(roots))
        sum += cpuSeconds(pid);
    return sum;
}

MemUsage readTreeMemory(const std::vector<int>& roots)
{
    MemUsage usage;
    for (int pid : tree(roots))
        addRollup(pid, usage);
    return usage;
}

}  // namespace load
