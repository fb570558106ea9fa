// Process set-up that every program of the project does first: descriptors
// 0, 1 and 2 opened onto /dev/null where they are closed. Inline and free of
// the C++ runtime, so that the benchmarks' yardsticks, which must stay the
// least an editor does, can take it without linking anything.
#pragma once

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

// Opens /dev/null onto each of the descriptors 0, 1 and 2 that is closed, so
// that no file opened later can become standard input, output or error and
// receive what is meant for them. Standard input is opened write-only and the
// other two read-only: each then still fails as a closed one would. Call it
// first in main, before anything is opened. Returns 0 when /dev/null cannot
// be opened.
inline int kevo_openStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free descriptor is this one, since those below it are
        // open by now.
        const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (opened != fd) {
            if (opened >= 0) {
                ::close(opened);
            }
            return 0;
        }
    }
    return 1;
}
