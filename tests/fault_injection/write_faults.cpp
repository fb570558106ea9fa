// A library for LD_PRELOAD that makes an editing tool's work on its file
// (kevo-modify's, kevo-edit's) fail, or race with another process, at a
// chosen point, so that whole-program tests can show what the tool does when
// the disk, the lock or another program lets it down. Only what is done
// through a descriptor opened for writing is touched; reading goes on as
// normal.
//
// KEVO_WRITE_FAULT names the fault:
//   open-eacces         opening a file for writing is refused with EACCES, as
//                       for a read-only file
//   write-eio           pwrite or pwritev2 fails with EIO once
//                       KEVO_WRITE_FAULT_AFTER calls of either (default 0)
//                       have succeeded, and every call after that
//   fsync-enospc        fsync fails with ENOSPC, as a file system that
//                       allocates late reports a full disk
//   fsync-eio           fsync fails with EIO
//   fsync-einval        fsync fails with EINVAL, as a network file system
//                       that refuses a sync may say
//   atomic-enospc       a pwritev2 with RWF_ATOMIC fails with ENOSPC before
//                       writing anything, as on a copy-on-write file system
//                       whose free space is in pieces
//   close-eio           closing a descriptor that was written closes it,
//                       then reports EIO
//   lock-enolck         every lock request fails with ENOLCK, as where the
//                       lock manager cannot be reached
//   lock-wait-fails     the lock is reported busy, then waiting for it fails
//                       with ENOLCK
//   replace-after-lock  once the lock is granted, at the first flush of
//                       standard error (the tool's, after the header as
//                       read is printed), the file named by KEVO_REPLACEMENT
//                       is renamed over the path that was opened for
//                       writing, as another program saving its own version
//                       would
//   replace-before-sync the same rename, made just before the first fsync:
//                       after the edit is written, before it is synced
// Unset or empty, nothing fails. Any other name ends the process at load, so
// a misspelt fault cannot pass for a run without one.
//
// KEVO_WRITE_HOLD, when set to a folder, holds the tool at one call so that
// a test can act meanwhile (send a signal, truncate the file): before the
// call it creates HOLD/held, then waits until HOLD/go exists. Which call is
// KEVO_WRITE_HOLD_AT: "write:N" the Nth pwrite or pwritev2 (the default is
// write:1), "stat:N" the Nth stat of the path opened for writing once the
// lock is granted.
//
// KEVO_WRITE_LOG, when set, names a file to which every pwrite and pwritev2
// appends one line, "OFFSET SIZE", with " atomic" after it for a pwritev2
// with RWF_ATOMIC, so that a test can tell an untorn block from plain
// writes of the changed ranges.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

// Older C library headers do not name it yet (Linux 6.11).
#ifndef RWF_ATOMIC
#define RWF_ATOMIC 0x00000040
#endif

namespace {

enum class Fault {
    None,
    OpenRefused,
    WriteFails,
    FsyncNoSpace,
    FsyncFails,
    CloseFails,
    LockUnavailable,
    LockWaitFails,
    ReplaceAfterLock,
    ReplaceBeforeSync,
    FsyncInvalid,
    AtomicNoSpace,
};

struct FaultName {
    const char* name;
    Fault fault;
};

const FaultName kFaultNames[] = {
    {"open-eacces", Fault::OpenRefused},        {"write-eio", Fault::WriteFails},
    {"fsync-enospc", Fault::FsyncNoSpace},      {"fsync-eio", Fault::FsyncFails},
    {"close-eio", Fault::CloseFails},           {"lock-enolck", Fault::LockUnavailable},
    {"lock-wait-fails", Fault::LockWaitFails},  {"replace-after-lock", Fault::ReplaceAfterLock},
    {"replace-before-sync", Fault::ReplaceBeforeSync},
    {"fsync-einval", Fault::FsyncInvalid},      {"atomic-enospc", Fault::AtomicNoSpace},
};

// Exit status of a run whose fault library cannot do its work.
constexpr int kShimFailed = 70;
constexpr int kMaxDescriptors = 1024;
constexpr size_t kMaxPath = 4096;

Fault gFault = Fault::None;
long gWritesBeforeFault = 0;
const char* gLogPath = nullptr;
const char* gReplacement = nullptr;
char gWritePath[kMaxPath];
bool gWritten[kMaxDescriptors];
bool gLockGranted = false;
const char* gHoldFolder = nullptr;
char gHoldCall[16] = "write";
long gHoldAt = 1;
long gWrites = 0;
long gStats = 0;
// How long a held call waits for the test before the run is given up.
constexpr int kHoldSeconds = 20;

void die(const char* message)
{
    const ssize_t ignored = write(STDERR_FILENO, message, std::strlen(message));
    (void)ignored;
    _exit(kShimFailed);
}

__attribute__((constructor)) void readFaultChoice()
{
    gLogPath = std::getenv("KEVO_WRITE_LOG");
    gHoldFolder = std::getenv("KEVO_WRITE_HOLD");
    const char* holdAt = std::getenv("KEVO_WRITE_HOLD_AT");
    if (holdAt && std::sscanf(holdAt, "%15[a-z]:%ld", gHoldCall, &gHoldAt) != 2) {
        die("write_faults: KEVO_WRITE_HOLD_AT is not CALL:N\n");
    }
    gReplacement = std::getenv("KEVO_REPLACEMENT");
    const char* name = std::getenv("KEVO_WRITE_FAULT");
    if (!name || !*name) {
        return;
    }
    for (const FaultName& entry : kFaultNames) {
        if (std::strcmp(name, entry.name) == 0) {
            gFault = entry.fault;
        }
    }
    if (gFault == Fault::None) {
        die("write_faults: unknown KEVO_WRITE_FAULT\n");
    }
    if ((gFault == Fault::ReplaceAfterLock || gFault == Fault::ReplaceBeforeSync) &&
        !gReplacement) {
        die("write_faults: a replacement fault needs KEVO_REPLACEMENT\n");
    }
    const char* after = std::getenv("KEVO_WRITE_FAULT_AFTER");
    gWritesBeforeFault = after ? std::strtol(after, nullptr, 10) : 0;
}

template <typename Function>
Function real(const char* name)
{
    void* symbol = dlsym(RTLD_NEXT, name);
    if (!symbol) {
        die("write_faults: a routine to wrap is missing\n");
    }
    return reinterpret_cast<Function>(symbol);
}

bool forWriting(int flags)
{
    return (flags & O_ACCMODE) != O_RDONLY;
}

void logWrite(off_t offset, size_t size, bool atomic = false)
{
    if (!gLogPath) {
        return;
    }
    FILE* log = std::fopen(gLogPath, "a");
    if (!log) {
        die("write_faults: cannot open KEVO_WRITE_LOG\n");
    }
    std::fprintf(log, "%lld %zu%s\n", static_cast<long long>(offset), size,
                 atomic ? " atomic" : "");
    std::fclose(log);
}

// What write-eio does to a write before it reaches the kernel; false with
// errno set when the write is to fail. Either kind of write counts towards
// KEVO_WRITE_FAULT_AFTER.
bool writeGoesThrough(int fd)
{
    if (gFault == Fault::WriteFails) {
        if (gWritesBeforeFault <= 0) {
            errno = EIO;
            return false;
        }
        --gWritesBeforeFault;
    }
    if (fd >= 0 && fd < kMaxDescriptors) {
        gWritten[fd] = true;
    }
    return true;
}

bool isLockRequest(int command)
{
    return command == F_OFD_SETLK || command == F_OFD_SETLKW;
}

// What the fault does to a lock request before it reaches the kernel; -1
// with errno set when it fails it, 0 when the request goes through.
int lockFault()
{
    if (gFault == Fault::LockUnavailable) {
        errno = ENOLCK;
        return -1;
    }
    if (gFault == Fault::LockWaitFails) {
        // Busy at the first try; the wait that follows, blocking or polled,
        // fails.
        static bool tried = false;
        errno = tried ? ENOLCK : EAGAIN;
        tried = true;
        return -1;
    }
    return 0;
}

bool exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

// Holds the tool when this is the call KEVO_WRITE_HOLD_AT names.
void holdAt(const char* call, long count)
{
    if (!gHoldFolder || std::strcmp(call, gHoldCall) != 0 || count != gHoldAt) {
        return;
    }
    const std::string folder(gHoldFolder);
    FILE* held = std::fopen((folder + "/held").c_str(), "w");
    if (!held) {
        die("write_faults: cannot create KEVO_WRITE_HOLD/held\n");
    }
    std::fclose(held);
    const timespec pause{0, 1000 * 1000};
    for (long waited = 0; !exists(folder + "/go"); ++waited) {
        if (waited > kHoldSeconds * 1000L) {
            die("write_faults: KEVO_WRITE_HOLD/go never came\n");
        }
        nanosleep(&pause, nullptr);
    }
}

void replaceOnce()
{
    static bool replaced = false;
    if (replaced) {
        return;
    }
    replaced = true;
    if (std::rename(gReplacement, gWritePath) != 0) {
        die("write_faults: cannot rename KEVO_REPLACEMENT over the file\n");
    }
}

}  // namespace

// The tool calls the plain names; glibc's own stdio does not come here.
extern "C" int open(const char* path, int flags, ...)
{
    static const auto realOpen = real<int (*)(const char*, int, ...)>("open");
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
    va_end(args);
    if (forWriting(flags)) {
        if (gFault == Fault::OpenRefused) {
            errno = EACCES;
            return -1;
        }
        std::snprintf(gWritePath, sizeof gWritePath, "%s", path);
    }
    return realOpen(path, flags, mode);
}

extern "C" ssize_t pwrite(int fd, const void* bytes, size_t size, off_t offset)
{
    static const auto realPwrite = real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    holdAt("write", ++gWrites);
    logWrite(offset, size);
    if (!writeGoesThrough(fd)) {
        return -1;
    }
    return realPwrite(fd, bytes, size, offset);
}

extern "C" ssize_t pwritev2(int fd, const iovec* parts, int count, off_t offset, int flags)
{
    static const auto realPwritev2 =
        real<ssize_t (*)(int, const iovec*, int, off_t, int)>("pwritev2");
    size_t size = 0;
    for (int i = 0; i < count; ++i) {
        size += parts[i].iov_len;
    }
    holdAt("write", ++gWrites);
    logWrite(offset, size, (flags & RWF_ATOMIC) != 0);
    if (gFault == Fault::AtomicNoSpace && (flags & RWF_ATOMIC) != 0) {
        errno = ENOSPC;
        return -1;
    }
    if (!writeGoesThrough(fd)) {
        return -1;
    }
    return realPwritev2(fd, parts, count, offset, flags);
}

extern "C" int fsync(int fd)
{
    static const auto realFsync = real<int (*)(int)>("fsync");
    if (gFault == Fault::ReplaceBeforeSync) {
        replaceOnce();
    }
    if (gFault == Fault::FsyncNoSpace || gFault == Fault::FsyncFails ||
        gFault == Fault::FsyncInvalid) {
        errno = gFault == Fault::FsyncNoSpace ? ENOSPC
                : gFault == Fault::FsyncFails ? EIO
                                              : EINVAL;
        return -1;
    }
    return realFsync(fd);
}

extern "C" int stat(const char* path, struct stat* info)
{
    static const auto realStat = real<int (*)(const char*, struct stat*)>("stat");
    if (gLockGranted && std::strcmp(path, gWritePath) == 0) {
        holdAt("stat", ++gStats);
    }
    return realStat(path, info);
}

extern "C" int close(int fd)
{
    static const auto realClose = real<int (*)(int)>("close");
    const bool written = fd >= 0 && fd < kMaxDescriptors && gWritten[fd];
    if (written) {
        gWritten[fd] = false;
    }
    const int result = realClose(fd);
    if (written && gFault == Fault::CloseFails) {
        errno = EIO;
        return -1;
    }
    return result;
}

extern "C" int fflush(FILE* stream)
{
    static const auto realFflush = real<int (*)(FILE*)>("fflush");
    if (gFault == Fault::ReplaceAfterLock && gLockGranted && stream == stderr) {
        replaceOnce();
    }
    return realFflush(stream);
}

extern "C" int fcntl(int fd, int command, ...)
{
    static const auto realFcntl = real<int (*)(int, int, ...)>("fcntl");
    va_list args;
    va_start(args, command);
    void* argument = va_arg(args, void*);
    va_end(args);
    if (isLockRequest(command) && lockFault() != 0) {
        return -1;
    }
    const int result = realFcntl(fd, command, argument);
    gLockGranted = gLockGranted || (result == 0 && isLockRequest(command));
    return result;
}
