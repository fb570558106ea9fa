#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "reader/kevo_reader.h"

namespace {

constexpr int32_t kDefaultCapacity = 1024;
// Allocated beyond the usable area; alignment takes up to 8 bytes of it.
constexpr size_t kAllocationSlack = 128;
constexpr uintptr_t kBlockAlignment = 8;

}  // namespace

kevo_bufferedInput::kevo_bufferedInput(FILE* stream, int32_t length)
{
    setDefaults();
    if (!stream) {
        std::fprintf(stderr, "# ERROR: input block given no stream to read from\n");
        return;
    }
    source = stream;
    capacity = length;
    halfCapacity = length / 2;
    allocate(length);
}

kevo_bufferedInput::~kevo_bufferedInput()
{
    std::free(allocation);
    allocation = nullptr;
    block = nullptr;
}

void kevo_bufferedInput::setDefaults()
{
    std::free(allocation);
    source = nullptr;
    block = nullptr;
    allocation = nullptr;
    consumed = 0;
    marker = 0;
    filled = 0;
    capacity = kDefaultCapacity;
    halfCapacity = kDefaultCapacity / 2;
    reading = false;
}

void kevo_bufferedInput::allocate(int32_t length)
{
    std::free(allocation);
    block = nullptr;
    capacity = length;
    const size_t usable = length > 0 ? static_cast<size_t>(length) : 0;
    allocation = static_cast<uint8_t*>(std::malloc(usable + kAllocationSlack));
    if (allocation) {
        const uintptr_t address = reinterpret_cast<uintptr_t>(allocation);
        block = allocation + (alignedStart(address) - address);
    }
    consumed = 0;
    filled = 0;
    reading = false;
    marker = -1;
}

uintptr_t kevo_bufferedInput::alignedStart(uintptr_t allocationAddress)
{
    return allocationAddress + kBlockAlignment - (allocationAddress % kBlockAlignment);
}
