#include "decoder/channel_buffer.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

template <typename T>
kevo_channelBuffer<T>::kevo_channelBuffer(bool repairEnabled, int32_t inputs, int32_t capacity,
                                          double rate, int32_t interruptCount, const char* name,
                                          const char* shortName)
    : stateA(0),
      stateFlag(true),
      interruptCount(interruptCount),
      inputs(inputs),
      stateB(0),
      repairBuffer(nullptr),
      stateC(0),
      rate(rate),
      noRate(rate <= 0.0),
      markA(-1.0),
      markB(-1.0),
      repairEnabled(repairEnabled),
      capacity(capacity),
      stateD(0)
{
    // Checked before anything is allocated, so a refused channel costs
    // nothing but its message.
    if (inputs <= 0) {
        std::fprintf(stderr, "# ERROR: invalid number of inputs specified %d\n", inputs);
        std::exit(-1);
    }
    if (repairEnabled) {
        allocateRepairBuffer();
    }
    assignNames(name, shortName);
}

template <typename T>
kevo_channelBuffer<T>::~kevo_channelBuffer()
{
    if (repairBuffer) {
        std::free(repairBuffer);
        repairBuffer = nullptr;
    }
}

template <typename T>
int64_t kevo_channelBuffer<T>::repairBufferBytes(int32_t inputs, int32_t capacity)
{
    // One element more than all inputs together can hold.
    const int64_t elements = static_cast<int64_t>(inputs) * capacity + 1;
    return elements * static_cast<int64_t>(sizeof(T));
}

template <typename T>
void kevo_channelBuffer<T>::allocateRepairBuffer()
{
    const int64_t bytes = repairBufferBytes(inputs, capacity);
    // Inputs are known to be positive here, so only a negative capacity
    // leaves nothing to ask malloc for.
    if (bytes <= 0) {
        std::fprintf(stderr,
                     "# ERROR: invalid repair buffer size requested, %d inputs of capacity %d\n",
                     inputs, capacity);
        std::exit(-1);
    }
    // Sizes past a signed 32-bit int are refused like a failed malloc.
    if (bytes <= INT32_MAX) {
        repairBuffer = static_cast<T*>(std::malloc(static_cast<size_t>(bytes)));
    }
    if (!repairBuffer) {
        std::fprintf(stderr, "# ERROR: unable to allocate an internal buffer to store repair data\n");
        std::fprintf(stderr, "# ERROR: malloc failed asking for %" PRId64 " bytes\n", bytes);
        std::exit(-1);
    }
    repairValue = 1;
}

// A channel without names is still a whole channel; the names are only
// labels, so a missing one is reported and left empty.
template <typename T>
void kevo_channelBuffer<T>::assignNames(const char* name, const char* shortName)
{
    if (!name || !shortName) {
        std::fprintf(stderr, "# ERROR: channel buffer built without a %s, left empty\n",
                     !name && !shortName ? "name or short name" : !name ? "name" : "short name");
    }
    this->name = name ? name : "";
    this->shortName = shortName ? shortName : "";
}

template class kevo_channelBuffer<double>;
template class kevo_channelBuffer<uint8_t>;
