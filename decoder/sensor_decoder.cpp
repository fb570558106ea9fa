#include <cstdio>
#include <cstdlib>

#include "decoder/kevo_decoder.h"

namespace {

// One row of a board's channel table. The rate is the named descriptor field
// times `rateFactor`, taken as a signed 32-bit product.
template <typename Board>
struct ChannelRow {
    const char* name;
    const char* shortName;
    int32_t Board::*rateField;
    int32_t rateFactor;
};

// The audio channel runs at ten times the microphone rate the board states.
const ChannelRow<kevo_pav2Board> kPav2Channels[15] = {
    {"pav2/audio", "audio", &kevo_pav2Board::micHz, 10},
    {"pav2/bar_press", "BarPres", &kevo_pav2Board::barometerHz, 1},
    {"pav2/compass", "compass", &kevo_pav2Board::compassHz, 1},
    {"pav2/hf_vis_light", "visFreqLight", &kevo_pav2Board::ambLightHz, 1},
    {"pav2/humidity", "ShtHumid", &kevo_pav2Board::humidityHz, 1},
    {"pav2/ir_light", "IRLight", &kevo_pav2Board::dalsHz, 1},
    {"pav2/amb_light", "AmbientLight", &kevo_pav2Board::dalsHz, 1},
    {"pav2/temp", "BarTemp", &kevo_pav2Board::barometerHz, 1},
    {"pav2/temp_sensiron", "ShtTemp", &kevo_pav2Board::humidityHz, 1},
    {"pav2/vis_light", "VisLight", &kevo_pav2Board::dalsHz, 1},
    {"pav2/x_accel", "accel", &kevo_pav2Board::accelerometerHz, 1},
    {"pav2/y_accel", "accelY", &kevo_pav2Board::accelerometerHz, 1},
    {"pav2/z_accel", "accelZ", &kevo_pav2Board::accelerometerHz, 1},
    {"pav2/mag_accel", "accelMag", &kevo_pav2Board::accelerometerHz, 1},
    {"pav2/power", "power", &kevo_pav2Board::power, 1},
};

const ChannelRow<kevo_rokBoard> kRokChannels[10] = {
    {"rok/x_gyro", "gyro", &kevo_rokBoard::gyroHz, 1},
    {"rok/y_gyro", "gyroY", &kevo_rokBoard::gyroHz, 1},
    {"rok/z_gyro", "gyroZ", &kevo_rokBoard::gyroHz, 1},
    {"rok/x_gyroTemp", "gyroTemp", &kevo_rokBoard::gyroHz, 1},
    {"rok/y_gyroTemp", "gyroTempY", &kevo_rokBoard::gyroHz, 1},
    {"rok/z_gyroTemp", "gyroTempZ", &kevo_rokBoard::gyroHz, 1},
    {"rok/x_mag", "mag", &kevo_rokBoard::magnetometerHz, 1},
    {"rok/y_mag", "magY", &kevo_rokBoard::magnetometerHz, 1},
    {"rok/z_mag", "magZ", &kevo_rokBoard::magnetometerHz, 1},
    {"rok/power", "rokpower", &kevo_rokBoard::power, 1},
};

constexpr bool kRepairSamples = true;
// The decoder hands the GPS channel its own capture buffer instead.
constexpr bool kRepairCapture = false;
constexpr int32_t kChannelInputs = 1;
constexpr double kGpsRate = 1.0;
constexpr int32_t kGpsInterruptCount = 1;
constexpr const char* kGpsShortName = "sirfGPSOutput.bin";

// A descriptor field comes from the file, so the product may not fit; it
// wraps the way 32-bit hardware wraps it instead of being undefined.
int32_t product32(int32_t value, int32_t factor)
{
    const uint32_t wrapped = static_cast<uint32_t>(static_cast<int64_t>(value) * factor);
    return wrapped <= INT32_MAX ? static_cast<int32_t>(wrapped)
                                : static_cast<int32_t>(wrapped - 0x80000000u) + INT32_MIN;
}

[[noreturn]] void exitOutOfMemory(const char* what)
{
    std::fprintf(stderr, "# ERROR: KEVO unable to allocate %s\n", what);
    std::fprintf(stderr, "# ERROR: Exiting\n");
    std::exit(-12);
}

template <int32_t N>
void clearBoard(kevo_boardBlock<N>& block)
{
    for (int32_t i = 0; i < N; ++i) {
        block.channelEnabled[i] = false;
        block.channels[i] = nullptr;
        block.sampleRates[i] = 0.0;
    }
    block.rawBlock = nullptr;
    block.valueBlock = nullptr;
}

template <int32_t N>
void allocateSampleBlocks(kevo_boardBlock<N>& block, const char* failureText)
{
    const size_t elements = static_cast<size_t>(kevo_sensorDecoder::kSliceLength) * N;
    block.rawBlock = static_cast<int16_t*>(std::malloc(elements * sizeof(int16_t)));
    block.valueBlock = static_cast<double*>(std::malloc(elements * sizeof(double)));
    if (!block.rawBlock || !block.valueBlock) {
        exitOutOfMemory(failureText);
    }
}

// Slices are carved only once both blocks exist: a failed allocation has
// already ended the process by then.
template <int32_t N, typename Board>
void setupBoard(kevo_boardBlock<N>& block, const Board& board, const ChannelRow<Board> (&rows)[N],
                const char* failureText)
{
    for (int32_t i = 0; i < N; ++i) {
        block.sampleRates[i] = product32(board.*rows[i].rateField, rows[i].rateFactor);
    }
    allocateSampleBlocks(block, failureText);
    for (int32_t i = 0; i < N; ++i) {
        block.rawSlices[i] = block.rawBlock + kevo_sensorDecoder::kSliceLength * i;
        block.valueSlices[i] = block.valueBlock + kevo_sensorDecoder::kSliceLength * i;
        block.channelEnabled[i] = true;
        block.channels[i] = new kevo_sampleChannel(kRepairSamples, kChannelInputs,
                                                   kevo_sensorDecoder::kSampleCapacity,
                                                   block.sampleRates[i], block.interruptCount,
                                                   rows[i].name, rows[i].shortName);
    }
}

template <int32_t N>
void releaseBoard(kevo_boardBlock<N>& block)
{
    std::free(block.rawBlock);
    block.rawBlock = nullptr;
    std::free(block.valueBlock);
    block.valueBlock = nullptr;
    for (int32_t i = 0; i < N; ++i) {
        delete block.channels[i];
        block.channels[i] = nullptr;
    }
}

}  // namespace

kevo_sensorDecoder::kevo_sensorDecoder(kevo_file* record)
{
    setDefaults();
    if (!record) {
        std::fprintf(stderr, "# ERROR: kevo structure is a NULL pointer, invalid kevo file\n");
        return;
    }
    setupFromHeader(*record);
}

kevo_sensorDecoder::~kevo_sensorDecoder()
{
    releaseBoard(pav2Block);
    releaseBoard(rokBlock);
    // The capture buffer was malloc'ed here, not by the channel, so it is
    // freed here and cleared before the channel's own teardown sees it.
    if (sirfGps.channel && sirfGps.channel->repairBuffer) {
        std::free(sirfGps.channel->repairBuffer);
        sirfGps.channel->repairBuffer = nullptr;
    }
    delete sirfGps.channel;
    sirfGps.channel = nullptr;
}

void kevo_sensorDecoder::setDefaults()
{
    clearBoard(pav2Block);
    clearBoard(rokBlock);
    sirfGps.channel = nullptr;
}

void kevo_sensorDecoder::setupFromHeader(kevo_file& record)
{
    fileRecord = &record;
    // Only a warning: every stream is still looked at.
    if (record.streamCount > kMaxStreams) {
        std::fprintf(stderr, "# WARNING: kevo header contains more streams, %d, than allowed, %d\n",
                     record.streamCount, kMaxStreams);
    }
    recordStreamKinds(record);
    headerValue = record.headerValue;

    if (pav2Block.requested && kevo_findPav2Board(&record)) {
        setupPav2Board(record);
    }
    if (rokBlock.requested && kevo_findRokBoard(&record)) {
        setupRokBoard(record);
    }
    // GPS capture rides on the PAV2 request, not on the board being found:
    // a GPS-only recording still gets its channel.
    if (pav2Block.requested && sirfGps.requested && kindPresent.count(KEVO_KIND_SIRF_GPS)) {
        setupSirfGps();
    }
    if (pav2Block.requested && rokBlock.requested && camera.requested &&
        kindPresent.count(KEVO_KIND_CAMERA)) {
        camera.found = true;
    }
}

void kevo_sensorDecoder::recordStreamKinds(const kevo_file& record)
{
    for (int32_t i = 0; i < record.streamCount; ++i) {
        if (!record.streams) {
            std::fprintf(stderr, "# ERROR: KEVO File header error, stream found with NULL pointer\n");
            continue;
        }
        kindPresent[record.streams[i].kind] = true;
    }
}

void kevo_sensorDecoder::setupPav2Board(kevo_file& record)
{
    pav2Block.found = true;
    pav2Block.interruptCount = record.pav2Board.interruptCount;
    pav2Block.micGain = record.pav2Board.micGain;
    for (int32_t i = 0; i < 6; ++i) {
        pav2Block.calValues[i] = record.pav2CalValues[i];
    }
    setupBoard(pav2Block, record.pav2Board, kPav2Channels, "sample blocks for PAV2");
}

void kevo_sensorDecoder::setupRokBoard(kevo_file& record)
{
    rokBlock.found = true;
    rokBlock.interruptCount = record.rokBoard.interruptCount;
    setupBoard(rokBlock, record.rokBoard, kRokChannels, "sample blocks for ROK");
}

void kevo_sensorDecoder::setupSirfGps()
{
    sirfGps.found = true;
    sirfGps.channel = new kevo_byteChannel(kRepairCapture, kChannelInputs, kCaptureBytes, kGpsRate,
                                           kGpsInterruptCount,
                                           kevo_streamKindName(KEVO_KIND_SIRF_GPS), kGpsShortName);
    sirfGps.channel->repairBuffer = static_cast<uint8_t*>(std::malloc(kCaptureBytes));
    if (!sirfGps.channel->repairBuffer) {
        exitOutOfMemory("buffer for sirfGPS");
    }
    sirfGps.channel->data = sirfGps.channel->repairBuffer;
}
