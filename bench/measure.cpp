// kevo-measure: runs a program once, as kevo-edit-bench times its runs, and
// prints one line for scripts: wall time in ms, CPU time (user and system)
// in ms, peak resident memory in KiB, the exit status (-1 for a signal) and
// the bytes the program wrote to the kept output, separated by tabs.
//
//   kevo-measure --stdout FILE PROGRAM [ARG...]    keep standard output
//   kevo-measure --stderr FILE PROGRAM [ARG...]    keep standard error
//
// PROGRAM is a path, not looked up in PATH. Standard input is /dev/null,
// the output not kept goes to /dev/null. FILE is replaced, so it must be a
// regular file or not exist.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "bench/child_process.h"
#include "cli/standard_descriptors.h"
#include "container/kevo_container.h"

int main(int argc, char** argv)
{
    if (!kevo_openStandardDescriptors()) {
        return 1;
    }
    const std::string kept = argc > 1 ? argv[1] : "";
    if (argc < 4 || (kept != "--stdout" && kept != "--stderr")) {
        std::fprintf(stderr, "usage: kevo-measure --stdout|--stderr FILE PROGRAM [ARG...]\n");
        return 2;
    }
    const std::string path = argv[2];
    // The kept output is removed before each run: never a device or a link.
    struct stat existing;
    if (lstat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
        std::fprintf(stderr, "kevo-measure: %s is not a regular file\n", path.c_str());
        return 2;
    }
    const std::vector<std::string> args(argv + 3, argv + argc);
    kevo_bench::ChildRun run;
    if (!kevo_bench::runChild(args, kept == "--stdout" ? STDOUT_FILENO : STDERR_FILENO, path,
                              &run)) {
        std::fprintf(stderr, "kevo-measure: cannot run %s: %s\n", argv[3], std::strerror(errno));
        return 1;
    }
    struct stat output;
    const long long bytes = stat(path.c_str(), &output) == 0 ? output.st_size : -1;
    std::printf("%.3f\t%.3f\t%ld\t%d\t%lld\n", run.milliseconds, run.cpuMilliseconds,
                run.maxRssKiB, run.status, bytes);
    return 0;
}
