#include "bench/child_process.h"

#include <cerrno>
#include <chrono>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kevo_bench {
namespace {

constexpr int kExecFailed = 127;

double toMilliseconds(const struct timeval& time)
{
    return static_cast<double>(time.tv_sec) * 1000 + static_cast<double>(time.tv_usec) / 1000;
}

// In the child: only async-signal-safe calls.
[[noreturn]] void execChild(char* const* argv, int keptFd, const char* keptPath)
{
    const int null = open("/dev/null", O_RDWR);
    const int kept = open(keptPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int discardedFd = keptFd == 1 ? 2 : 1;
    if (null < 0 || kept < 0 || dup2(null, 0) < 0 || dup2(null, discardedFd) < 0 ||
        dup2(kept, keptFd) < 0) {
        _exit(kExecFailed);
    }
    execv(argv[0], argv);
    _exit(kExecFailed);
}

}  // namespace

bool runChild(const std::vector<std::string>& args, int keptFd, const std::string& keptPath,
              ChildRun* run)
{
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    unlink(keptPath.c_str());

    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) {
        return false;
    }
    if (pid == 0) {
        execChild(argv.data(), keptFd, keptPath.c_str());
    }
    int status = 0;
    struct rusage usage;
    pid_t waited;
    do {
        waited = wait4(pid, &status, 0, &usage);
    } while (waited < 0 && errno == EINTR);
    const auto stop = std::chrono::steady_clock::now();
    if (waited != pid) {
        return false;
    }
    run->milliseconds = std::chrono::duration<double, std::milli>(stop - start).count();
    run->cpuMilliseconds = toMilliseconds(usage.ru_utime) + toMilliseconds(usage.ru_stime);
    run->maxRssKiB = usage.ru_maxrss;
    run->status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

}  // namespace kevo_bench
