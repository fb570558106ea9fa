#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include "edit/kevo_edit.h"

// Atomic writes came with Linux 6.11; the C library's and the kernel's
// headers of older systems do not name them yet.
#ifndef RWF_ATOMIC
#define RWF_ATOMIC 0x00000040
#endif
#ifndef STATX_DIOALIGN
#define STATX_DIOALIGN 0x00002000U
#endif
#ifndef STATX_WRITE_ATOMIC
#define STATX_WRITE_ATOMIC 0x00010000U
#endif
#ifndef STATX_ATTR_WRITE_ATOMIC
#define STATX_ATTR_WRITE_ATOMIC 0x00400000
#endif

namespace {

// The kernel's struct statx as Linux 6.11 and later fill it; older headers
// end before the atomic-write fields, and an older kernel leaves them zero
// and their mask bit clear.
struct KernelStatx {
    struct Timestamp {
        int64_t seconds;
        uint32_t nanoseconds;
        int32_t reserved;
    };
    uint32_t mask;
    uint32_t blockSize;
    uint64_t attributes;
    uint32_t links;
    uint32_t user;
    uint32_t group;
    uint16_t mode;
    uint16_t spare0;
    uint64_t inode;
    uint64_t size;
    uint64_t blocks;
    uint64_t attributesMask;
    Timestamp accessed;
    Timestamp born;
    Timestamp changed;
    Timestamp modified;
    uint32_t rdevMajor;
    uint32_t rdevMinor;
    uint32_t devMajor;
    uint32_t devMinor;
    uint64_t mountID;
    uint32_t directMemoryAlign;
    uint32_t directOffsetAlign;
    uint64_t subvolume;
    uint32_t atomicUnitMin;
    uint32_t atomicUnitMax;
    uint32_t spare1[4];
    uint64_t spare2[8];
};
static_assert(sizeof(KernelStatx) == 256, "struct statx is 256 bytes");
static_assert(offsetof(KernelStatx, atomicUnitMin) == 0xa8, "struct statx's atomic-write fields");

// Where one atomic write can hold every changed byte: a block of a power of
// two bytes, aligned to its own size.
struct UntornBlock {
    uint64_t start;
    size_t size;
    size_t memoryAlign;
};

enum class Untorn { Written, NotOffered, Failed };

// The first changed byte and the one past the last, in whatever order the
// ranges come.
void spanOf(const std::vector<kevo_headerRange>& ranges, uint64_t* first, uint64_t* end)
{
    *first = UINT64_MAX;
    *end = 0;
    for (const kevo_headerRange& range : ranges) {
        *first = range.offset < *first ? range.offset : *first;
        *end = range.offset + range.size > *end ? range.offset + range.size : *end;
    }
}

// The smallest naturally aligned block, no smaller than the unit minimum,
// that holds every range; false when the file system offers no atomic
// writes, no direct I/O alignment, or no unit that large.
bool findUntornBlock(int fd, const std::vector<kevo_headerRange>& ranges, UntornBlock* block)
{
    KernelStatx info{};
    const unsigned wanted = STATX_SIZE | STATX_DIOALIGN | STATX_WRITE_ATOMIC;
    if (syscall(SYS_statx, fd, "", AT_EMPTY_PATH, wanted, &info) != 0) {
        return false;
    }
    const bool offered = (info.mask & STATX_WRITE_ATOMIC) != 0 &&
                         (info.attributes & STATX_ATTR_WRITE_ATOMIC) != 0 &&
                         (info.mask & STATX_DIOALIGN) != 0 && info.directMemoryAlign > 0 &&
                         info.directOffsetAlign > 0 && info.atomicUnitMin > 0 &&
                         info.atomicUnitMax >= info.atomicUnitMin;
    if (!offered) {
        return false;
    }
    uint64_t first = 0;
    uint64_t end = 0;
    spanOf(ranges, &first, &end);
    const uint64_t last = end - 1;
    uint64_t size = info.atomicUnitMin;
    while (first / size != last / size) {
        size *= 2;
        if (size > info.atomicUnitMax) {
            return false;
        }
    }
    const uint64_t start = first - first % size;
    // The block is written whole, so it must already lie inside the file:
    // an edit never changes the file's length.
    if (start % info.directOffsetAlign != 0 || size % info.directOffsetAlign != 0 ||
        start + size > info.size) {
        return false;
    }
    const size_t pointerAlign = sizeof(void*);
    *block = UntornBlock{start, static_cast<size_t>(size),
                         info.directMemoryAlign > pointerAlign ? info.directMemoryAlign
                                                               : pointerAlign};
    return true;
}

bool readWhole(int fd, uint8_t* out, size_t size, uint64_t offset)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t got = pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
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

struct FreeAligned {
    void operator()(uint8_t* block) const { std::free(block); }
};

// The block is read through the page cache, patched, and written back with
// O_DIRECT, which atomic writes need, set on the description for this write
// alone: the other reads of the held file stay buffered.
Untorn writeUntorn(int fd, const std::vector<kevo_headerRange>& ranges, const UntornBlock& block)
{
    void* memory = nullptr;
    if (posix_memalign(&memory, block.memoryAlign, block.size) != 0) {
        return Untorn::NotOffered;
    }
    const std::unique_ptr<uint8_t, FreeAligned> bytes(static_cast<uint8_t*>(memory));
    if (!readWhole(fd, bytes.get(), block.size, block.start)) {
        return Untorn::NotOffered;
    }
    for (const kevo_headerRange& range : ranges) {
        std::memcpy(bytes.get() + (range.offset - block.start), range.bytes, range.size);
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_DIRECT) != 0) {
        return Untorn::NotOffered;
    }
    iovec whole{bytes.get(), block.size};
    ssize_t written;
    do {
        written = pwritev2(fd, &whole, 1, static_cast<off_t>(block.start), RWF_ATOMIC);
    } while (written < 0 && errno == EINTR);
    const int reason = errno;
    const bool restored = fcntl(fd, F_SETFL, flags) == 0;
    // Only a device that failed the write may have left the block
    // anywhere; every other error comes before anything is written: the
    // file system or the device cannot do it after all (EINVAL,
    // EOPNOTSUPP), or a copy-on-write file system has no free extent as
    // large as the block (ENOSPC, EDQUOT) while an overwrite in place still
    // fits. Plain writes can still do the edit.
    if (written < 0 && reason != EIO && restored) {
        return Untorn::NotOffered;
    }
    if (written < 0) {
        errno = reason;
        return Untorn::Failed;
    }
    if (static_cast<size_t>(written) != block.size || !restored) {
        errno = EIO;
        return Untorn::Failed;
    }
    return Untorn::Written;
}

bool writeWhole(int fd, const uint8_t* bytes, size_t size, uint64_t offset)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t put =
            pwrite(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            errno = put == 0 ? EIO : errno;
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

uint64_t pageSize()
{
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<uint64_t>(size) : 4096;
}

// The kernel copies a write into the page cache a page at a time and
// checks for a fatal signal only between pages, so ranges that share a page
// and go out as one write are all new or all old, whatever kills the
// process. The bytes between them are read first and written back as they
// are. Ranges that do not share a page are written in file order.
bool writeByPage(int fd, std::vector<kevo_headerRange> ranges)
{
    std::sort(ranges.begin(), ranges.end(),
              [](const kevo_headerRange& a, const kevo_headerRange& b) {
                  return a.offset < b.offset;
              });
    const uint64_t page = pageSize();
    std::vector<uint8_t> span;
    for (size_t i = 0; i < ranges.size();) {
        const uint64_t first = ranges[i].offset;
        uint64_t end = first + ranges[i].size;
        size_t next = i + 1;
        for (; next < ranges.size(); ++next) {
            const uint64_t rangeEnd = ranges[next].offset + ranges[next].size;
            if ((rangeEnd - 1) / page != first / page) {
                break;
            }
            end = std::max(end, rangeEnd);
        }
        span.resize(static_cast<size_t>(end - first));
        if (next - i > 1 && !readWhole(fd, span.data(), span.size(), first)) {
            errno = errno != 0 ? errno : EIO;
            return false;
        }
        for (size_t j = i; j < next; ++j) {
            std::memcpy(span.data() + (ranges[j].offset - first), ranges[j].bytes, ranges[j].size);
        }
        if (!writeWhole(fd, span.data(), span.size(), first)) {
            return false;
        }
        i = next;
    }
    return true;
}

// A page whose write-back failed can stay in the cache, clean and holding
// the new bytes, so that reading the file shows what the disk does not
// hold. Dropping the cache makes the next read, in this run or a later
// one, come from the disk.
void forgetCachedPages(int fd)
{
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
}

int failed(kevo_writeOutcome* outcome, kevo_writeStep step, int error)
{
    outcome->step = step;
    outcome->error = error;
    errno = error;
    return 0;
}

}  // namespace

int kevo_heldFile::writeRanges(const std::vector<kevo_headerRange>& ranges,
                               kevo_writeOutcome* outcome) const
{
    *outcome = kevo_writeOutcome{};
    if (!writable()) {
        return failed(outcome, KEVO_WRITE_FAILED, EBADF);
    }
    if (ranges.empty()) {
        return 1;
    }
    for (const kevo_headerRange& range : ranges) {
        if (range.size > sizeof range.bytes) {
            return failed(outcome, KEVO_WRITE_FAILED, EINVAL);
        }
    }
    // Another program that does not take the lock may have truncated,
    // rewritten or replaced the file since it was read: the offsets read
    // then say nothing of it now.
    const kevo_writeStep before = checkUnchanged(false);
    if (before != KEVO_WRITE_OK) {
        return failed(outcome, before, errno);
    }
    // Written through a copy of the descriptor so that its close, which on
    // a network file system reports what the server refused, can be checked
    // while the held description keeps the lock.
    const int copy = fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        return failed(outcome, KEVO_WRITE_FAILED, errno);
    }
    outcome->written = true;
    UntornBlock block{};
    Untorn untorn = findUntornBlock(copy, ranges, &block) ? writeUntorn(copy, ranges, block)
                                                          : Untorn::NotOffered;
    if (untorn == Untorn::NotOffered && !writeByPage(copy, ranges)) {
        untorn = Untorn::Failed;
    }
    if (untorn == Untorn::Failed) {
        const int reason = errno;
        ::close(copy);
        forgetCachedPages(fd_);
        return failed(outcome, KEVO_WRITE_FAILED, reason);
    }
    outcome->untorn = untorn == Untorn::Written;
    if (!kevo_syncAndClose(copy)) {
        const int reason = errno;
        forgetCachedPages(fd_);
        return failed(outcome, KEVO_SYNC_FAILED, reason);
    }
    const kevo_writeStep after = checkUnchanged(true);
    return after == KEVO_WRITE_OK ? 1 : failed(outcome, after, errno);
}

std::string kevo_describeWrite(const kevo_writeOutcome& outcome)
{
    const std::string reason = std::strerror(outcome.error);
    const char* const consequence =
        outcome.written ? "; the edit went to the file that was read, which is no longer at "
                          "this path"
                        : "; nothing was written";
    switch (outcome.step) {
    case KEVO_WRITE_OK:
        break;
    case KEVO_WRITE_FAILED:
        return "cannot write: " + reason;
    case KEVO_SYNC_FAILED:
        return "cannot sync to disk: " + reason;
    case KEVO_FILE_RESIZED:
        return outcome.written ? "changed size during the edit; another program truncated or "
                                 "extended it while the values were written"
                               : "changed size during the edit; nothing was written";
    case KEVO_FILE_REWRITTEN:
        return "was written by another program during the edit; nothing was written";
    case KEVO_PATH_REPLACED:
        return std::string("was replaced by another file during the edit") + consequence;
    case KEVO_PATH_GONE:
        return std::string("vanished from this path during the edit (removed, or its file "
                           "system unmounted)") +
               consequence;
    }
    return "";
}
