// kevo-floor-edit: the least any editor of many KEVO headers must do in one
// process, as a yardstick for kevo-edit over many files. For each file in
// turn it opens it read-write, reads its first 4 KiB (a whole header of the
// sample recordings, and the block the kernel reads either way), writes the
// four payload bytes at their offset, syncs the file and closes it. It
// neither locks, parses nor prints anything but its failures; a failing
// file is named and the run goes on with the next.
//
// With --threads N the same work is spread over N threads, each taking the
// next file not yet taken, as a yardstick for kevo-edit --jobs N: a file
// system can commit syncs that overlap together, so this is the least that
// N files in flight at once must do. Failures are then named in the order
// they happen.
//
//   kevo-floor-edit [--threads N] <payload offset> <value> <file>...
//
// Exit status 0 when every file was written and synced, 1 when any was not,
// 2 for a usage error.
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "bench/count_argument.h"
#include "container/little_endian.h"
#include "cli/standard_descriptors.h"

namespace {

using kevo_bench::parseCount;

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr long long kMostThreads = 1024;
constexpr size_t kBlockBytes = 4096;
constexpr size_t kPayloadBytes = 4;
constexpr uint8_t kMagic[4] = {'K', 'E', 'V', 'O'};

// The value as kevo-edit takes it: a signed or unsigned 32-bit number,
// stored as its bit pattern.
bool parseValue(const char* text, uint32_t* value)
{
    const bool negative = *text == '-';
    long long magnitude = 0;
    if (!parseCount(negative ? text + 1 : text, negative ? 0x80000000LL : 0xFFFFFFFFLL,
                    &magnitude)) {
        return false;
    }
    *value = static_cast<uint32_t>(negative ? -magnitude : magnitude);
    return true;
}

// Reads up to `size` bytes, fewer only at the end of the file; -1 on an
// error, with errno saying why.
ssize_t readUpTo(int fd, uint8_t* out, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t got = read(fd, out + done, size - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return -1;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

bool fail(const char* what, const char* path, const char* reason)
{
    std::fprintf(stderr, "kevo-floor-edit: %s: %s: %s\n", what, path, reason);
    return false;
}

bool failWithErrno(const char* what, const char* path)
{
    return fail(what, path, std::strerror(errno));
}

bool editOpen(int fd, size_t offset, uint32_t value, const char* path)
{
    uint8_t block[kBlockBytes];
    const ssize_t got = readUpTo(fd, block, sizeof block);
    if (got < 0) {
        return failWithErrno("cannot read the header", path);
    }
    if (static_cast<size_t>(got) < offset + kPayloadBytes) {
        return fail("cannot read the header", path, "the file is shorter");
    }
    if (std::memcmp(block, kMagic, sizeof kMagic) != 0) {
        return fail("cannot edit", path, "not a KEVO file");
    }
    kevo_putLE32(block + offset, value);
    if (pwrite(fd, block + offset, kPayloadBytes, static_cast<off_t>(offset)) !=
        static_cast<ssize_t>(kPayloadBytes)) {
        return failWithErrno("cannot write the payload", path);
    }
    if (fsync(fd) != 0) {
        return failWithErrno("cannot sync", path);
    }
    return true;
}

bool editFile(const char* path, size_t offset, uint32_t value)
{
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return failWithErrno("cannot open", path);
    }
    const bool edited = editOpen(fd, offset, value, path);
    if (close(fd) != 0 && edited) {
        return failWithErrno("cannot close", path);
    }
    return edited;
}

// The files of one run and the next one not yet taken, shared by the
// threads that edit them.
struct Run {
    char** files = nullptr;
    size_t count = 0;
    size_t offset = 0;
    uint32_t value = 0;
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
};

void* editFilesOfRun(void* shared)
{
    Run& run = *static_cast<Run*>(shared);
    for (size_t i = run.next++; i < run.count; i = run.next++) {
        if (!editFile(run.files[i], run.offset, run.value)) {
            run.failed = true;
        }
    }
    return nullptr;
}

// The calling thread is one of the `threads`, so one thread starts none.
// pthreads and a fixed array rather than std::thread and a vector keep the
// yardstick on the C library alone, as it is without --threads. A thread
// that cannot be started leaves its share to the others, and the run fails.
bool editAll(Run* run, size_t threads)
{
    pthread_t started[kMostThreads];
    size_t count = 0;
    bool allStarted = true;
    while (count + 1 < threads && count + 1 < run->count) {
        const int error = pthread_create(&started[count], nullptr, editFilesOfRun, run);
        if (error != 0) {
            std::fprintf(stderr, "kevo-floor-edit: cannot start a thread: %s\n",
                         std::strerror(error));
            allStarted = false;
            break;
        }
        ++count;
    }
    editFilesOfRun(run);
    for (size_t i = 0; i < count; ++i) {
        pthread_join(started[i], nullptr);
    }
    return allStarted && !run->failed;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!kevo_openStandardDescriptors()) {
        return kExitFailed;
    }
    int first = 1;
    long long threads = 1;
    bool threadsUsable = true;
    if (argc > 2 && std::strcmp(argv[1], "--threads") == 0) {
        threadsUsable = parseCount(argv[2], kMostThreads, &threads) && threads > 0;
        first = 3;
    }
    long long offset = 0;
    uint32_t value = 0;
    // The payload must lie within the block that is read.
    if (!threadsUsable || argc <= first + 2 ||
        !parseCount(argv[first], static_cast<long long>(kBlockBytes - kPayloadBytes), &offset) ||
        !parseValue(argv[first + 1], &value)) {
        std::fprintf(stderr,
                     "usage: kevo-floor-edit [--threads N] <payload offset> <value> <file>...\n"
                     "  the payload offset at most %zu, N from 1 to %lld\n",
                     kBlockBytes - kPayloadBytes, kMostThreads);
        return kExitUsage;
    }
    Run run;
    run.files = argv + first + 2;
    run.count = static_cast<size_t>(argc - first - 2);
    run.offset = static_cast<size_t>(offset);
    run.value = value;
    return editAll(&run, static_cast<size_t>(threads)) ? kExitDone : kExitFailed;
}
