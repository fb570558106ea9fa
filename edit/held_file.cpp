#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "edit/kevo_edit.h"

namespace {

// How often a path that was replaced while this run waited for its lock is
// followed to the file it names now. Past that, the last file opened is the
// one held.
constexpr int kMaxReopens = 8;

// O_NONBLOCK: if a FIFO took the path's place since the stat, the open must
// not wait for a writer before fstat can tell.
constexpr int kOpenFlags = O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// A bounded wait polls: the blocking lock call takes no timeout, and a
// timer signal would be process-wide state. It starts quick, for locks held
// for the length of one edit, and backs off.
constexpr long kFirstPollNanoseconds = 1000 * 1000;
constexpr long kLongestPollNanoseconds = 50 * 1000 * 1000;
constexpr long kNanosecondsPerSecond = 1000 * 1000 * 1000;
constexpr double kLongestPause =
    static_cast<double>(kLongestPollNanoseconds) / kNanosecondsPerSecond;

// Reading a FIFO waits for a writer and a character device may never end;
// neither holds a header that can be written back where it was read.
bool rewritableInPlace(mode_t mode)
{
    return !S_ISFIFO(mode) && !S_ISSOCK(mode) && !S_ISCHR(mode);
}

// A lock over the whole file, shared or exclusive as `type` says, held by
// the open file description.
int setWholeFileLock(int fd, int command, short type)
{
    struct flock whole {};
    whole.l_type = type;
    whole.l_whence = SEEK_SET;
    whole.l_start = 0;
    whole.l_len = 0;
    int result;
    do {
        result = fcntl(fd, command, &whole);
    } while (result != 0 && errno == EINTR);
    return result;
}

bool isEditMode(kevo_holdMode mode)
{
    return mode == KEVO_HOLD_WRITE || mode == KEVO_HOLD_WRITE_IF_ALLOWED;
}

bool busy(int error)
{
    return error == EAGAIN || error == EACCES;
}

double secondsSince(const timespec& start)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) +
           static_cast<double>(now.tv_nsec - start.tv_nsec) / kNanosecondsPerSecond;
}

// 0 with the lock held, EAGAIN when the bound passed first (a negative
// bound never passes), EINTR when *stop became non-zero, or the errno of a
// lock that cannot be had.
int pollForLock(int fd, short type, double seconds, const volatile std::sig_atomic_t* stop)
{
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    long pause = kFirstPollNanoseconds;
    for (;;) {
        if (setWholeFileLock(fd, F_OFD_SETLK, type) == 0) {
            return 0;
        }
        if (!busy(errno)) {
            return errno;
        }
        if (stop && *stop) {
            return EINTR;
        }
        const double left = seconds < 0 ? kLongestPause : seconds - secondsSince(start);
        if (left <= 0) {
            return EAGAIN;
        }
        const double pauseSeconds = static_cast<double>(pause) / kNanosecondsPerSecond;
        const long nanoseconds =
            left < pauseSeconds ? static_cast<long>(left * kNanosecondsPerSecond) : pause;
        const timespec step{0, nanoseconds};
        nanosleep(&step, nullptr);
        pause = pause * 2 < kLongestPollNanoseconds ? pause * 2 : kLongestPollNanoseconds;
    }
}

bool sameFile(const struct stat& info, dev_t device, ino_t inode)
{
    return info.st_dev == device && info.st_ino == inode;
}

// A report printed into the very file it reports on would land after its
// packet data, or inside the edit's own dump.
bool isStandardOutputOrError(const struct stat& info)
{
    for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat stream;
        if (fstat(fd, &stream) == 0 && S_ISREG(stream.st_mode) &&
            sameFile(stream, info.st_dev, info.st_ino)) {
            return true;
        }
    }
    return false;
}

}  // namespace

kevo_heldFile::~kevo_heldFile()
{
    release();
}

kevo_holdResult kevo_heldFile::hold(const char* path, kevo_holdMode mode,
                                    const kevo_lockWait& wait)
{
    release();
    path_ = path;
    bool announced = false;
    // The bound is on the whole wait: a path replaced while this waited is
    // followed with what is left of it, not with a fresh one.
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    kevo_lockWait left = wait;
    for (int attempt = 1; attempt <= kMaxReopens; ++attempt) {
        const kevo_holdResult opened = openChecked(mode);
        if (opened != KEVO_HOLD_OPENED) {
            return opened;
        }
        // A file that cannot be written will not be edited, and a pipe or a
        // device is not edited by anyone, so there is nothing to wait for.
        if ((!writable_ && isEditMode(mode)) || (mode == KEVO_HOLD_SHOW && !regular_)) {
            return KEVO_HOLD_OPENED;
        }
        if (wait.seconds >= 0) {
            left.seconds = std::max(0.0, wait.seconds - secondsSince(start));
        }
        const kevo_holdResult locked = lock(mode, left, &announced);
        if (locked != KEVO_HOLD_OPENED) {
            release();
            return locked;
        }
        struct stat now;
        if (lockError_ != 0 || attempt == kMaxReopens ||
            (stat(path, &now) == 0 && sameFile(now, device_, inode_))) {
            break;
        }
        release();
    }
    // What the file is once nobody else who locks can change it: the size
    // and time that writeRanges compares with.
    struct stat info;
    if (fstat(fd_, &info) != 0) {
        const int reason = errno;
        release();
        errno = reason;
        return KEVO_HOLD_FAILED;
    }
    size_ = info.st_size;
    modified_ = info.st_mtim;
    return KEVO_HOLD_OPENED;
}

FILE* kevo_heldFile::openStream() const
{
    if (fd_ < 0) {
        errno = EBADF;
        return nullptr;
    }
    // A description just opened stands at its first byte; one a stream has
    // read through is moved back.
    if (streamOpened_ && lseek(fd_, 0, SEEK_SET) != 0) {
        return nullptr;
    }
    streamOpened_ = true;
    // A stream of its own, so the reader may close it; the copy shares the
    // description, and with it the lock.
    const int copy = fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        return nullptr;
    }
    FILE* stream = fdopen(copy, "rb");
    if (!stream) {
        const int reason = errno;
        ::close(copy);
        errno = reason;
    }
    return stream;
}

FILE* kevo_heldFile::releaseToStream()
{
    if (fd_ < 0) {
        errno = EBADF;
        return nullptr;
    }
    if (streamOpened_ && lseek(fd_, 0, SEEK_SET) != 0) {
        return nullptr;
    }
    FILE* stream = fdopen(fd_, "rb");
    if (stream) {
        fd_ = -1;
        release();
    }
    return stream;
}

kevo_writeStep kevo_heldFile::checkUnchanged(bool afterOwnWrite) const
{
    // The path first, so that the file's own state is the last thing seen
    // before the write.
    struct stat info;
    if (stat(path_.c_str(), &info) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? KEVO_PATH_GONE : KEVO_WRITE_FAILED;
    }
    const bool replaced = !sameFile(info, device_, inode_);
    if (fstat(fd_, &info) != 0) {
        return KEVO_WRITE_FAILED;
    }
    if (info.st_size != size_) {
        return KEVO_FILE_RESIZED;
    }
    // The edit's own write moves the time on; the size it never changes.
    const bool touched =
        info.st_mtim.tv_sec != modified_.tv_sec || info.st_mtim.tv_nsec != modified_.tv_nsec;
    if (touched && !afterOwnWrite) {
        return KEVO_FILE_REWRITTEN;
    }
    return replaced ? KEVO_PATH_REPLACED : KEVO_WRITE_OK;
}

kevo_holdResult kevo_heldFile::openChecked(kevo_holdMode mode)
{
    const char* path = path_.c_str();
    const bool anything = mode == KEVO_HOLD_SHOW;
    // stat first: opening a device can itself have effects.
    struct stat info;
    if (!anything && stat(path, &info) == 0 && !rewritableInPlace(info.st_mode)) {
        return KEVO_HOLD_NOT_IN_PLACE;
    }
    int fd = ::open(path, (isEditMode(mode) ? O_RDWR : O_RDONLY) | kOpenFlags);
    writable_ = fd >= 0 && isEditMode(mode);
    if (fd < 0 && mode == KEVO_HOLD_WRITE_IF_ALLOWED) {
        fd = ::open(path, O_RDONLY | kOpenFlags);
    }
    if (fd < 0) {
        return KEVO_HOLD_FAILED;
    }
    if (fstat(fd, &info) != 0) {
        const int reason = errno;
        ::close(fd);
        errno = reason;
        return KEVO_HOLD_FAILED;
    }
    if (!anything && !rewritableInPlace(info.st_mode)) {
        ::close(fd);
        return KEVO_HOLD_NOT_IN_PLACE;
    }
    if (isStandardOutputOrError(info)) {
        ::close(fd);
        return KEVO_HOLD_IS_OUTPUT;
    }
    // kevo-modify and kevo-info let the reader report a directory as a file
    // without a header; the other modes say what it is.
    if (S_ISDIR(info.st_mode) && mode != KEVO_HOLD_WRITE_IF_ALLOWED && !anything) {
        ::close(fd);
        errno = EISDIR;
        return KEVO_HOLD_FAILED;
    }
    // Reads block again from here on, as on any file opened without it; a
    // regular file's reads and writes never see O_NONBLOCK, so that costs
    // nothing to leave.
    const int flags = S_ISREG(info.st_mode) ? -1 : fcntl(fd, F_GETFL);
    if (flags >= 0) {
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    fd_ = fd;
    streamOpened_ = false;
    regular_ = S_ISREG(info.st_mode);
    directory_ = S_ISDIR(info.st_mode);
    device_ = info.st_dev;
    inode_ = info.st_ino;
    return KEVO_HOLD_OPENED;
}

// KEVO_HOLD_OPENED with the lock held, or with lockError_ set when it cannot
// be had; KEVO_HOLD_LOCKED_OUT when the wait's bound passed first.
kevo_holdResult kevo_heldFile::lock(kevo_holdMode mode, const kevo_lockWait& wait,
                                    bool* announced)
{
    const short type = isEditMode(mode) ? F_WRLCK : F_RDLCK;
    lockError_ = 0;
    if (setWholeFileLock(fd_, F_OFD_SETLK, type) == 0) {
        return KEVO_HOLD_OPENED;
    }
    if (!busy(errno)) {
        lockError_ = errno;
        return KEVO_HOLD_OPENED;
    }
    if (wait.seconds == 0) {
        return KEVO_HOLD_LOCKED_OUT;
    }
    if (wait.stop && *wait.stop) {
        return KEVO_HOLD_INTERRUPTED;
    }
    if (!*announced && wait.announce) {
        wait.announce();
    }
    *announced = true;
    // The kernel's own wait queues the waiters fairly, but a signal handler
    // installed with SA_RESTART cannot end it; a caller that may want to
    // stop is polled for instead.
    if (wait.seconds < 0 && !wait.stop) {
        if (setWholeFileLock(fd_, F_OFD_SETLKW, type) != 0) {
            lockError_ = errno;
        }
        return KEVO_HOLD_OPENED;
    }
    const int error = pollForLock(fd_, type, wait.seconds, wait.stop);
    if (error == EAGAIN) {
        return KEVO_HOLD_LOCKED_OUT;
    }
    if (error == EINTR) {
        return KEVO_HOLD_INTERRUPTED;
    }
    lockError_ = error;
    return KEVO_HOLD_OPENED;
}

void kevo_heldFile::release()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    writable_ = false;
    lockError_ = 0;
}
