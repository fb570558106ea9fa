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
    this->name = name;
    this->shortName = shortName;
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
    // Sizes past a signed 32-bit int, and sizes of nothing or less (a
    // negative capacity), are refused like a failed malloc.
    if (bytes > 0 && bytes <= INT32_MAX) {
        repairBuffer = static_cast<T*>(std::malloc(static_cast<size_t>(bytes)));
    }
    if (!repairBuffer) {
        std::fprintf(stderr, "# ERROR: unable to allocate an internal buffer to store repair data\n");
        std::fprintf(stderr, "# ERROR: malloc failed asking for %" PRId64 " bytes\n", bytes);
        std::exit(-1);
    }
    repairValue = 1;
}

template class kevo_channelBuffer<double>;
template class kevo_channelBuffer<uint8_t>;
