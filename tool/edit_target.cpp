#include "tool/edit_target.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How often a path that was replaced while this run waited for its lock is
// followed to the file it names now. Past that, the last file opened is the
// one edited.
constexpr int kMaxReopens = 8;

// O_NONBLOCK: if a FIFO took the path's place since the stat, the open must
// not wait for a writer before fstat can tell.
constexpr int kOpenFlags = O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// Reading a FIFO waits for a writer and a character device may never end;
// neither holds a header that can be written back where it was read.
bool rewritableInPlace(mode_t mode)
{
    return !S_ISFIFO(mode) && !S_ISSOCK(mode) && !S_ISCHR(mode);
}

void printNotRegular(const char* path)
{
    std::fprintf(stderr, "# ERROR: cannot modify %s in place, it is not a regular file\n", path);
}

void printCannotLock(const char* path, int reason)
{
    std::fprintf(stderr,
                 "# WARNING: cannot lock %s (%s), editing without waiting for other processes\n",
                 path, std::strerror(reason));
    std::fflush(stderr);
}

// A write lock over the whole file, held by the open file description: no
// other descriptor's close in this process can drop it.
int setWholeFileLock(int fd, int command)
{
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    whole.l_start = 0;
    whole.l_len = 0;
    int result;
    do {
        result = fcntl(fd, command, &whole);
    } while (result != 0 && errno == EINTR);
    return result;
}

bool sameFile(const struct stat& info, dev_t device, ino_t inode)
{
    return info.st_dev == device && info.st_ino == inode;
}

}  // namespace

kevo_editTarget::~kevo_editTarget()
{
    release();
}

int kevo_editTarget::acquire(const char* path)
{
    bool announced = false;
    for (int attempt = 1; attempt <= kMaxReopens; ++attempt) {
        const Opening opening = openChecked(path);
        if (opening != Opening::Opened) {
            return opening == Opening::Refused ? 0 : 1;
        }
        // A file that cannot be written will not be edited, so there is
        // nothing to wait for.
        if (!writable_ || !lock(path, &announced)) {
            return 1;
        }
        struct stat now;
        if (attempt == kMaxReopens ||
            (stat(path, &now) == 0 && sameFile(now, device_, inode_))) {
            return 1;
        }
        release();
    }
    return 1;
}

FILE* kevo_editTarget::openStream() const
{
    if (fd_ < 0 || lseek(fd_, 0, SEEK_SET) != 0) {
        return nullptr;
    }
    // A stream of its own, so the reader may close it; the copy shares the
    // description, and with it the lock.
    const int copy = fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        return nullptr;
    }
    FILE* stream = fdopen(copy, "rb");
    if (!stream) {
        ::close(copy);
    }
    return stream;
}

int kevo_editTarget::writable() const
{
    return fd_ >= 0 && writable_ ? 1 : 0;
}

int kevo_editTarget::writeChanges(const kevo_file& record, int32_t streamID,
                                  int32_t metaID) const
{
    if (!writable()) {
        errno = EBADF;
        return 0;
    }
    // Written through a copy of the descriptor so that its close, which on
    // a network file system reports what the server refused, can be checked
    // while the held description keeps the lock.
    const int copy = fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        return 0;
    }
    const kevo_atomPlace edited{streamID, metaID};
    bool ok = kevo_writeHeaderChanges(copy, &record, &edited, 1, KEVO_CHANGE_AS_REWRITE) == 1;
    // EINVAL: a block device or file system without stable storage to sync;
    // what could be written has been.
    if (ok && fsync(copy) != 0 && errno != EINVAL) {
        ok = false;
    }
    const int reason = errno;
    if (::close(copy) != 0 && ok) {
        return 0;
    }
    errno = reason;
    return ok ? 1 : 0;
}

kevo_editTarget::Opening kevo_editTarget::openChecked(const char* path)
{
    // stat first: opening a device can itself have effects.
    struct stat info;
    if (stat(path, &info) == 0 && !rewritableInPlace(info.st_mode)) {
        printNotRegular(path);
        return Opening::Refused;
    }
    int fd = ::open(path, O_RDWR | kOpenFlags);
    writable_ = fd >= 0;
    if (fd < 0) {
        fd = ::open(path, O_RDONLY | kOpenFlags);
    }
    if (fd < 0) {
        return Opening::Unopened;
    }
    if (fstat(fd, &info) != 0) {
        ::close(fd);
        return Opening::Unopened;
    }
    if (!rewritableInPlace(info.st_mode)) {
        ::close(fd);
        printNotRegular(path);
        return Opening::Refused;
    }
    // Reads block again from here on, as on any file opened without it.
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) {
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    fd_ = fd;
    device_ = info.st_dev;
    inode_ = info.st_ino;
    return Opening::Opened;
}

// 1 with the lock held; 0 after the warning, when it cannot be had.
int kevo_editTarget::lock(const char* path, bool* announced) const
{
    if (setWholeFileLock(fd_, F_OFD_SETLK) == 0) {
        return 1;
    }
    if (errno != EAGAIN && errno != EACCES) {
        printCannotLock(path, errno);
        return 0;
    }
    if (!*announced) {
        std::fprintf(stderr, "# INFO: waiting for another process to finish with %s\n", path);
        std::fflush(stderr);
        *announced = true;
    }
    if (setWholeFileLock(fd_, F_OFD_SETLKW) == 0) {
        return 1;
    }
    printCannotLock(path, errno);
    return 0;
}

void kevo_editTarget::release()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    writable_ = false;
}
