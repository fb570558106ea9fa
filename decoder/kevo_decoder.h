// The sensor decoder: prepares the decoding of a recording's sensor streams.
// Built over a parsed header, it finds which of four optional sources the
// header holds (PAV2 board, ROK board, SiRF GPS stream, camera stream) and
// sets each found one up: channel rates from the board descriptors, sample
// blocks carved into per-channel slices, channel buffers, and a capture
// buffer for the GPS bytes. It decodes no packets and opens no file.
//
// It borrows the record only while it is being built; its teardown never
// reads the record, which may already be gone by then.
#pragma once

#include <cstdint>
#include <map>

#include "container/kevo_container.h"
#include "decoder/channel_buffer.h"

// One sensor board's part of the decoder: N channels, each with a raw and a
// value slice carved from two shared blocks.
template <int32_t N>
struct kevo_boardBlock {
    static constexpr int32_t kChannels = N;

    bool found = false;
    bool requested = true;
    int16_t* rawSlices[N] = {};
    double* valueSlices[N] = {};
    int32_t calValues[6] = {-1, -1, -1, -1, -1, -1};  // c1 to c6, PAV2 only
    int32_t interruptCount = 0;
    bool channelEnabled[N] = {};
    double sampleRates[N] = {};
    int16_t* rawBlock = nullptr;    // malloc'ed, N slices
    double* valueBlock = nullptr;   // malloc'ed, N slices
    kevo_sampleChannel* channels[N] = {};
};

// The PAV2 board alone reports a microphone gain.
struct kevo_pav2BoardBlock : kevo_boardBlock<15> {
    int32_t micGain = -1;
};

using kevo_rokBoardBlock = kevo_boardBlock<10>;

class kevo_sensorDecoder {
public:
    // Sets the decoder up over `record`. A null record prints its
    // "# ERROR:" line and leaves the decoder empty. Ends the process with
    // status -12 when a sample block or the GPS capture buffer cannot be
    // allocated, and with status -1 when a channel cannot be built.
    explicit kevo_sensorDecoder(kevo_file* record);

    // Frees the blocks, channels and capture buffer; leaves the record alone.
    ~kevo_sensorDecoder();

    kevo_sensorDecoder(const kevo_sensorDecoder&) = delete;
    kevo_sensorDecoder& operator=(const kevo_sensorDecoder&) = delete;

    static constexpr int32_t kMaxStreams = 19;
    static constexpr int32_t kSliceLength = 256;
    static constexpr int32_t kSampleCapacity = 204800;
    static constexpr int32_t kCaptureBytes = 81920;

    struct GpsPart {
        bool found = false;
        bool requested = true;
        kevo_byteChannel* channel = nullptr;  // owned
    };

    struct CameraPart {
        bool found = false;
        bool requested = true;
    };

    kevo_file* fileRecord = nullptr;  // borrowed, valid during set-up only
    uint64_t headerValue = 0;
    kevo_pav2BoardBlock pav2Block;
    kevo_rokBoardBlock rokBlock;
    GpsPart sirfGps;
    CameraPart camera;
    std::map<int32_t, bool> kindPresent;

private:
    // Puts the channel flags, rates and pointers and the block pointers back
    // to "nothing set up".
    void setDefaults();

    void setupFromHeader(kevo_file& record);
    void recordStreamKinds(const kevo_file& record);
    void setupPav2Board(kevo_file& record);
    void setupRokBoard(kevo_file& record);
    void setupSirfGps();
};
