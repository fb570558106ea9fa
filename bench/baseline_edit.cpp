// kevo-baseline-edit: the least any in-place editor of a KEVO header must do,
// as a yardstick for kevo-modify. It opens the file, reads the header bytes
// (all of them: an editor has to walk them to find the atom and the header's
// end), writes the four payload bytes back at their offset, syncs the file
// as kevo-modify does, and closes it. It neither parses nor prints the
// header; the caller names the header length and the payload offset.
//
//   kevo-baseline-edit <file> <header bytes> <payload offset> <value>
//
// Exit status 0 when the four bytes are written and synced, 1 otherwise.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "bench/count_argument.h"
#include "container/little_endian.h"
#include "cli/standard_descriptors.h"

namespace {

using kevo_bench::parseCount;

constexpr int kArgumentCount = 5;
constexpr size_t kPayloadBytes = 4;
constexpr uint8_t kMagic[4] = {'K', 'E', 'V', 'O'};

// The value as kevo-modify takes it: a signed or unsigned 32-bit number,
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

bool readWhole(int fd, uint8_t* out, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t got = read(fd, out + done, size - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

int fail(const char* what, const char* path, const char* reason)
{
    std::fprintf(stderr, "kevo-baseline-edit: %s: %s: %s\n", what, path, reason);
    return 1;
}

int failWithErrno(const char* what, const char* path)
{
    return fail(what, path, std::strerror(errno));
}

// Reads the header into `header` and writes the four payload bytes back.
int edit(int fd, uint8_t* header, size_t headerBytes, size_t offset, uint32_t value,
         const char* path)
{
    errno = 0;
    if (!readWhole(fd, header, headerBytes)) {
        return fail("cannot read the header", path,
                    errno != 0 ? std::strerror(errno) : "the file is shorter");
    }
    if (std::memcmp(header, kMagic, sizeof kMagic) != 0) {
        return fail("cannot edit", path, "not a KEVO file");
    }
    kevo_putLE32(header + offset, value);
    if (pwrite(fd, header + offset, kPayloadBytes, static_cast<off_t>(offset)) !=
        static_cast<ssize_t>(kPayloadBytes)) {
        return failWithErrno("cannot write the payload", path);
    }
    if (fsync(fd) != 0) {
        return failWithErrno("cannot sync", path);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!kevo_openStandardDescriptors()) {
        return 1;
    }
    if (argc != kArgumentCount) {
        std::fprintf(stderr,
                     "usage: kevo-baseline-edit <file> <header bytes> <payload offset> <value>\n");
        return 1;
    }
    const char* path = argv[1];
    long long headerBytes = 0;
    long long offset = 0;
    uint32_t value = 0;
    if (!parseCount(argv[2], INT32_MAX, &headerBytes) || !parseCount(argv[3], INT32_MAX, &offset) ||
        !parseValue(argv[4], &value) || headerBytes < static_cast<long long>(sizeof kMagic) ||
        offset > headerBytes - static_cast<long long>(kPayloadBytes)) {
        return fail("cannot edit", path, "header bytes, payload offset or value out of range");
    }
    const int fd = open(path, O_RDWR);
    if (fd < 0) {
        return failWithErrno("cannot open", path);
    }
    uint8_t* header = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(headerBytes)));
    const int status = header ? edit(fd, header, static_cast<size_t>(headerBytes),
                                     static_cast<size_t>(offset), value, path)
                              : fail("cannot edit", path, "out of memory for the header");
    std::free(header);
    if (close(fd) != 0 && status == 0) {
        return failWithErrno("cannot close", path);
    }
    return status;
}
