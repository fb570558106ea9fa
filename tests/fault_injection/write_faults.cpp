// A library for LD_PRELOAD that makes the rewrite of a file fail in one
// chosen way, so that whole-program tests can show what kevo-modify does
// when the disk lets it down. Only streams opened for writing are touched;
// reading goes on as normal.
//
// KEVO_WRITE_FAULT names the fault:
//   open-eacces   opening a file for writing is refused with EACCES, as for a
//                 file made read-only between the read and the rewrite
//   write-eio     fwrite fails with EIO once KEVO_WRITE_FAULT_AFTER calls
//                 (default 0) have succeeded, and every call after that
//   flush-enospc  fflush drops what is buffered and fails with ENOSPC, as on a
//                 full disk
//   fsync-eio     fsync of the stream's descriptor fails with EIO
//   close-eio     fclose closes the stream, then reports EIO
// Unset or empty, nothing fails. Any other name ends the process at load, so
// a misspelt fault cannot pass for a run without one.
//
// glibc's stdio calls write() internally without going through the dynamic
// linker, so the faults are injected at the stdio level. A failed fwrite sets
// the stream's error flag directly in glibc's FILE, as glibc itself does when
// its write() fails.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <stdio_ext.h>
#include <unistd.h>

namespace {

enum class Fault { None, OpenRefused, WriteFails, FlushFails, FsyncFails, CloseFails };

struct FaultName {
    const char* name;
    Fault fault;
};

const FaultName kFaultNames[] = {
    {"open-eacces", Fault::OpenRefused}, {"write-eio", Fault::WriteFails},
    {"flush-enospc", Fault::FlushFails}, {"fsync-eio", Fault::FsyncFails},
    {"close-eio", Fault::CloseFails},
};

// The tool holds one stream for writing at a time; a few more slots cost
// nothing and need no allocation.
constexpr int kMaxWriteStreams = 8;
// Exit status of a run whose fault library cannot do its work.
constexpr int kShimFailed = 70;

Fault gFault = Fault::None;
long gWritesBeforeFault = 0;
FILE* gWriteStreams[kMaxWriteStreams];

void die(const char* message)
{
    const ssize_t ignored = write(STDERR_FILENO, message, std::strlen(message));
    (void)ignored;
    _exit(kShimFailed);
}

__attribute__((constructor)) void readFaultChoice()
{
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
    const char* after = std::getenv("KEVO_WRITE_FAULT_AFTER");
    gWritesBeforeFault = after ? std::strtol(after, nullptr, 10) : 0;
}

template <typename Function>
Function real(const char* name)
{
    void* symbol = dlsym(RTLD_NEXT, name);
    if (!symbol) {
        die("write_faults: a stdio routine is missing\n");
    }
    return reinterpret_cast<Function>(symbol);
}

bool opensForWriting(const char* mode)
{
    return std::strpbrk(mode, "wa+") != nullptr;
}

int slotOf(const FILE* stream)
{
    for (int i = 0; stream && i < kMaxWriteStreams; ++i) {
        if (gWriteStreams[i] == stream) {
            return i;
        }
    }
    return -1;
}

void remember(FILE* stream)
{
    for (FILE*& slot : gWriteStreams) {
        if (!slot) {
            slot = stream;
            return;
        }
    }
    die("write_faults: too many streams open for writing\n");
}

bool isWriteStream(const FILE* stream)
{
    return slotOf(stream) >= 0;
}

bool isWriteDescriptor(int fd)
{
    for (FILE* stream : gWriteStreams) {
        if (stream && fileno(stream) == fd) {
            return true;
        }
    }
    return false;
}

void markFailed(FILE* stream, int reason)
{
    stream->_flags |= _IO_ERR_SEEN;
    errno = reason;
}

}  // namespace

extern "C" FILE* fopen(const char* path, const char* mode)
{
    static const auto realFopen = real<FILE* (*)(const char*, const char*)>("fopen");
    const bool forWriting = opensForWriting(mode);
    if (forWriting && gFault == Fault::OpenRefused) {
        errno = EACCES;
        return nullptr;
    }
    FILE* stream = realFopen(path, mode);
    if (stream && forWriting) {
        remember(stream);
    }
    return stream;
}

extern "C" size_t fwrite(const void* bytes, size_t size, size_t count, FILE* stream)
{
    static const auto realFwrite = real<size_t (*)(const void*, size_t, size_t, FILE*)>("fwrite");
    if (gFault == Fault::WriteFails && isWriteStream(stream)) {
        if (gWritesBeforeFault <= 0) {
            markFailed(stream, EIO);
            return 0;
        }
        --gWritesBeforeFault;
    }
    return realFwrite(bytes, size, count, stream);
}

extern "C" int fflush(FILE* stream)
{
    static const auto realFflush = real<int (*)(FILE*)>("fflush");
    if (gFault == Fault::FlushFails && isWriteStream(stream)) {
        __fpurge(stream);
        markFailed(stream, ENOSPC);
        return EOF;
    }
    return realFflush(stream);
}

extern "C" int fsync(int fd)
{
    static const auto realFsync = real<int (*)(int)>("fsync");
    if (gFault == Fault::FsyncFails && isWriteDescriptor(fd)) {
        errno = EIO;
        return -1;
    }
    return realFsync(fd);
}

extern "C" int fclose(FILE* stream)
{
    static const auto realFclose = real<int (*)(FILE*)>("fclose");
    const int slot = slotOf(stream);
    if (slot < 0) {
        return realFclose(stream);
    }
    gWriteStreams[slot] = nullptr;
    const int result = realFclose(stream);
    if (gFault == Fault::CloseFails) {
        errno = EIO;
        return EOF;
    }
    return result;
}
