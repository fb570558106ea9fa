// How the benchmark programs run what they time: a fresh process each time,
// its wall time from just before fork to the return of wait4, its CPU time
// and peak resident memory from that child's rusage.
#pragma once

#include <string>
#include <vector>

namespace kevo_bench {

struct ChildRun {
    double milliseconds = 0;
    double cpuMilliseconds = 0;  // user and system time together
    long maxRssKiB = 0;
    int status = -1;  // exit status 0 to 255, or -1 when a signal ended it
};

// Runs args[0] with `args`, standard input from /dev/null, the output
// descriptor `keptFd` (1 or 2) to `keptPath` and the other one to /dev/null.
// `keptPath` is removed before the clock starts, so that freeing the last
// run's pages is not charged to this one. Returns false when the process
// could not be started or waited for, with errno saying why.
bool runChild(const std::vector<std::string>& args, int keptFd, const std::string& keptPath,
              ChildRun* run);

}  // namespace kevo_bench
