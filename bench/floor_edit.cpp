// kevo-floor-edit: the least any editor of many KEVO headers must do in one
// process, as a yardstick for kevo-edit over many files. For each file in
// turn it opens it read-write, reads its first 4 KiB (a whole header of the
// sample recordings, and the block the kernel reads either way), writes the
// four payload bytes at their offset, syncs the file and closes it. It
// neither locks, parses nor prints anything but its failures; a failing
// file is named and the run goes on with the next.
//
//   kevo-floor-edit <payload offset> <value> <file>...
//
// Exit status 0 when every file was written and synced, 1 when any was not,
// 2 for a usage error.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "bench/count_argument.h"
#include "container/little_endian.h"
#include "cli/standard_descriptors.h"

namespace {

using kevo_bench::parseCount;

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kFirstFile = 3;
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

}  // namespace

int main(int argc, char** argv)
{
    if (!kevo_openStandardDescriptors()) {
        return kExitFailed;
    }
    long long offset = 0;
    uint32_t value = 0;
    // The payload must lie within the block that is read.
    if (argc <= kFirstFile ||
        !parseCount(argv[1], static_cast<long long>(kBlockBytes - kPayloadBytes), &offset) ||
        !parseValue(argv[2], &value)) {
        std::fprintf(stderr, "usage: kevo-floor-edit <payload offset> <value> <file>...\n"
                             "  the payload offset at most %zu\n",
                     kBlockBytes - kPayloadBytes);
        return kExitUsage;
    }
    int status = kExitDone;
    for (int i = kFirstFile; i < argc; ++i) {
        if (!editFile(argv[i], static_cast<size_t>(offset), value)) {
            status = kExitFailed;
        }
    }
    return status;
}
