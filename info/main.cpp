// Any C library header defines __GLIBC__ where the library is glibc.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "info/kevo_info.h"

namespace {

#if defined(__GLIBC__)
// A header of a million atoms is two million small allocations, some 55 MB
// of heap. Touched a 4 KiB page at a time, that heap cost 14,000 page
// faults, half the time of printing such a header on the virtual machines
// we run on. The heap is set up once, in one step large enough for such a
// header, and the kernel is asked to back it with huge pages past its first
// two: a small header never reaches them, so it costs what it always did.
constexpr size_t kHugePage = 2 * 1024 * 1024;
constexpr int kHeapStep = 64 * 1024 * 1024;
// The atom and stream arrays stay on the heap too, below this size.
constexpr int kOwnMappingAbove = 16 * 1024 * 1024;

uintptr_t hugePageBelow(uintptr_t address)
{
    return address & ~(uintptr_t{kHugePage} - 1);
}

void prepareHeap()
{
    mallopt(M_MMAP_THRESHOLD, kOwnMappingAbove);
    mallopt(M_TOP_PAD, kHeapStep);
    mallopt(M_TRIM_THRESHOLD, kHeapStep);
    // Larger than what is left of the heap the runtime started with, so the
    // heap grows here, by the whole step.
    void* probe = std::malloc(kHugePage);
    if (!probe) {
        return;
    }
    const uintptr_t start = hugePageBelow(reinterpret_cast<uintptr_t>(probe)) + 2 * kHugePage;
    const uintptr_t end = hugePageBelow(reinterpret_cast<uintptr_t>(sbrk(0)));
    if (end > start) {
        madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
    }
    std::free(probe);
}
#endif

}  // namespace

// Standard output is unbuffered: the dump and the JSON gather their own text
// and write it in blocks that end at a line end, each then one write call,
// so a listing that is stopped part-way ends with a whole line.
int main(int argc, char** argv)
{
#if defined(__GLIBC__)
    prepareHeap();
#endif
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    return kevo_infoMain(argc, argv);
}
