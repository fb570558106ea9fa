#include "tool/edit_target.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How often a path that was replaced while this run waited for its lock is
// followed to the file it names now. Past that, the last file stays locked
// and the rewrite refuses, since the path no longer names it.
constexpr int kMaxReopens = 8;

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

int flockRetrying(int fd, int operation)
{
    int result;
    do {
        result = flock(fd, operation);
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
        if (!waitForLock(path, &announced)) {
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

int kevo_editTarget::holds(FILE* stream) const
{
    if (fd_ < 0) {
        return 1;
    }
    struct stat info;
    return fstat(fileno(stream), &info) == 0 && sameFile(info, device_, inode_) ? 1 : 0;
}

kevo_editTarget::Opening kevo_editTarget::openChecked(const char* path)
{
    // stat first: opening a device can itself have effects.
    struct stat info;
    if (stat(path, &info) == 0 && !rewritableInPlace(info.st_mode)) {
        printNotRegular(path);
        return Opening::Refused;
    }
    // O_NONBLOCK: if a FIFO took the path's place since the stat, the open
    // must not wait for a writer before fstat can tell.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return Opening::Unlocked;
    }
    if (fstat(fd, &info) != 0) {
        ::close(fd);
        return Opening::Unlocked;
    }
    if (!rewritableInPlace(info.st_mode)) {
        ::close(fd);
        printNotRegular(path);
        return Opening::Refused;
    }
    // A directory is left to the reader, which reports it as it always has.
    if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) {
        ::close(fd);
        return Opening::Unlocked;
    }
    fd_ = fd;
    device_ = info.st_dev;
    inode_ = info.st_ino;
    return Opening::Opened;
}

int kevo_editTarget::waitForLock(const char* path, bool* announced)
{
    if (flockRetrying(fd_, LOCK_EX | LOCK_NB) == 0) {
        return 1;
    }
    if (errno != EWOULDBLOCK) {
        return 0;
    }
    if (!*announced) {
        std::fprintf(stderr, "# INFO: waiting for another process to finish with %s\n", path);
        std::fflush(stderr);
        *announced = true;
    }
    return flockRetrying(fd_, LOCK_EX) == 0 ? 1 : 0;
}

void kevo_editTarget::release()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}
