#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "edit/kevo_edit.h"

int kevo_closeSynced(kevo_file* record)
{
    if (!record->file) {
        errno = EBADF;
        return 0;
    }
    FILE* stream = record->file;
    record->file = nullptr;

    bool ok = std::fflush(stream) == 0;
    // A write that failed earlier left only the error flag; errno may still
    // hold its reason, which says more than a generic I/O error.
    if (ok && std::ferror(stream)) {
        errno = errno != 0 ? errno : EIO;
        ok = false;
    }
    // The stream's buffer is out; a copy of its descriptor is synced and
    // closed last, so that its close is the one that reports what a network
    // file system refused, and every sync goes through one routine.
    const int copy = ok ? fcntl(fileno(stream), F_DUPFD_CLOEXEC, 0) : -1;
    ok = ok && copy >= 0;
    const int savedErrno = errno;
    const bool closed = std::fclose(stream) == 0;
    if (!ok) {
        errno = savedErrno;
        return 0;
    }
    return kevo_syncAndClose(copy) && closed ? 1 : 0;
}

int kevo_syncAndClose(int fd)
{
    // EINVAL from a terminal or a pipe: there is no stable storage to sync,
    // and what could be written has been. A regular file always has some,
    // and a network file system that refuses its sync may say EINVAL too.
    bool ok = fsync(fd) == 0;
    int reason = errno;
    struct stat info;
    if (!ok && reason == EINVAL && fstat(fd, &info) == 0 && !S_ISREG(info.st_mode)) {
        ok = true;
    }
    reason = ok ? 0 : reason;
    if (::close(fd) != 0 && ok) {
        return 0;
    }
    errno = reason;
    return ok ? 1 : 0;
}

