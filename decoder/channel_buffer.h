// A channel buffer: the set-up of one decoded data channel (its names, its
// sample rate, its board's interrupt count) and, when asked for, a repair
// buffer sized for the channel's whole capacity. One template serves both
// kinds; the element type decides only the width of a repair element.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

template <typename T>
class kevo_channelBuffer {
public:
    // Builds the channel and, when `repairEnabled`, its repair buffer of
    // `inputs` x `capacity` + 1 elements. Prints its "# ERROR:" lines and
    // ends the process with status -1 when `inputs` is 0 or below, or the
    // repair buffer's capacity is negative or the buffer cannot be had; it
    // never returns a half-built channel. A null name or short name prints one "# ERROR:"
    // line and is left empty.
    kevo_channelBuffer(bool repairEnabled, int32_t inputs, int32_t capacity, double rate,
                       int32_t interruptCount, const char* name, const char* shortName);

    // Frees the repair buffer unless its owner already did and cleared it.
    ~kevo_channelBuffer();

    kevo_channelBuffer(const kevo_channelBuffer&) = delete;
    kevo_channelBuffer& operator=(const kevo_channelBuffer&) = delete;

    // Bytes a repair buffer takes, computed wide so that no size wraps.
    static int64_t repairBufferBytes(int32_t inputs, int32_t capacity);

    // Not owned: whoever feeds the channel points it at its own data.
    T* data = nullptr;
    int32_t stateA;
    bool stateFlag;
    int32_t interruptCount;
    int32_t inputs;
    int32_t stateB;
    // Owned and malloc'ed; an owner that stores its own buffer here hands
    // it over to the destructor unless it frees it and clears the field.
    T* repairBuffer;
    std::vector<uint32_t> entries;
    int32_t stateC;
    double rate;
    bool noRate;
    double markA;
    double markB;
    std::string name;
    std::string shortName;
    T repairValue = 0;
    bool repairEnabled;
    int32_t capacity;
    int32_t stateD;

private:
    void allocateRepairBuffer();
    void assignNames(const char* name, const char* shortName);
};

using kevo_sampleChannel = kevo_channelBuffer<double>;
using kevo_byteChannel = kevo_channelBuffer<uint8_t>;

extern template class kevo_channelBuffer<double>;
extern template class kevo_channelBuffer<uint8_t>;
