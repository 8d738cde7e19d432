// Memory and processor time of a relay's processes, read from /proc.
//
// A forking relay spreads its connections over child processes, so the figure covers the
// given processes and all their descendants. RSS counts shared pages once per process; PSS
// divides them among the sharers and is the fairer sum for a process tree.
#pragma once

#include <vector>

namespace load {

struct MemUsage {
    long rssKb = 0;
    long pssKb = 0;
    int processes = 0;
};

// Sums Rss and Pss of /proc/PID/smaps_rollup over roots and their descendants.
MemUsage readTreeMemory(const std::vector<int>& roots);

// User and system CPU seconds of roots and their descendants, all threads (also those that
// have ended) included; children that have ended and been reaped are not.
double readTreeCpuSeconds(const std::vector<int>& roots);

}  // namespace load
