#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "decoder/kevo_decoder.h"
#include "tests/support/kevo_bytes.h"
#include "tests/support/parsed_header.h"

namespace {

using kevo_test::Header;
using kevo_test::Stream;
using kevo_test::intAtom;


Stream stream(const std::string& id, std::vector<kevo_test::Atom> atoms = {})
{
    Stream s;
    s.id = id;
    s.atoms = std::move(atoms);
    return s;
}

Stream pav2Stream()
{
    return stream("pav2", {intAtom("intr", 5), intAtom("mic ", 800), intAtom("bar ", 10),
                           intAtom("comp", 3), intAtom("amb ", 7), intAtom("hum ", 2),
                           intAtom("dals", 4), intAtom("acc ", 50), intAtom("powr", 1),
                           intAtom("wd01", 3), intAtom("wd02", 0x41), intAtom("wd03", 0x81),
                           intAtom("wd04", 0x42)});
}

Stream rokStream()
{
    return stream("rok ", {intAtom("intr", 3), intAtom("gyro", 100), intAtom("mag ", 20)});
}

struct Row {
    const char* name;
    const char* shortName;
    double rate;
};

template <int32_t N>
void expectChannels(const kevo_boardBlock<N>& block, const Row (&rows)[N], int32_t interrupts)
{
    ASSERT_TRUE(block.found);
    for (int32_t i = 0; i < N; ++i) {
        const kevo_sampleChannel* channel = block.channels[i];
        ASSERT_NE(channel, nullptr) << "channel " << i;
        EXPECT_TRUE(block.channelEnabled[i]);
        EXPECT_EQ(channel->name, rows[i].name);
        EXPECT_EQ(channel->shortName, rows[i].shortName) << rows[i].name;
        EXPECT_EQ(block.sampleRates[i], rows[i].rate) << rows[i].name;
        EXPECT_EQ(channel->rate, rows[i].rate) << rows[i].name;
        EXPECT_EQ(channel->interruptCount, interrupts);
        EXPECT_EQ(channel->inputs, 1);
        EXPECT_EQ(channel->capacity, 204800);
        EXPECT_NE(channel->repairBuffer, nullptr);
    }
}

template <int32_t N>
void expectNoBoard(const kevo_boardBlock<N>& block)
{
    EXPECT_FALSE(block.found);
    EXPECT_EQ(block.rawBlock, nullptr);
    EXPECT_EQ(block.valueBlock, nullptr);
    for (int32_t i = 0; i < N; ++i) {
        EXPECT_EQ(block.channels[i], nullptr);
        EXPECT_EQ(block.rawSlices[i], nullptr);
        EXPECT_FALSE(block.channelEnabled[i]);
    }
}

TEST(SensorDecoder, Pav2ChannelsTakeTheirRatesFromTheBoard)
{
    Header header;
    header.streams = {pav2Stream()};
    auto record = kevo_test::parseHeader(header);
    kevo_sensorDecoder decoder(record.get());

    const Row rows[15] = {
        {"pav2/audio", "audio", 8000.0},  // ten times 'mic '
        {"pav2/bar_press", "BarPres", 10.0},
        {"pav2/compass", "compass", 3.0},
        {"pav2/hf_vis_light", "visFreqLight", 7.0},  // 'amb ', not 'dals'
        {"pav2/humidity", "ShtHumid", 2.0},
        {"pav2/ir_light", "IRLight", 4.0},
        {"pav2/amb_light", "AmbientLight", 4.0},
        {"pav2/temp", "BarTemp", 10.0},
        {"pav2/temp_sensiron", "ShtTemp", 2.0},
        {"pav2/vis_light", "VisLight", 4.0},
        {"pav2/x_accel", "accel", 50.0},
        {"pav2/y_accel", "accelY", 50.0},
        {"pav2/z_accel", "accelZ", 50.0},
        {"pav2/mag_accel", "accelMag", 50.0},
        {"pav2/power", "power", 1.0},
    };
    expectChannels(decoder.pav2Block, rows, 5);
    EXPECT_EQ(decoder.pav2Block.interruptCount, 5);
    EXPECT_EQ(decoder.pav2Block.micGain, 0);
    const int32_t cal[6] = {1, 66, 1, 2, 1025, 1};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(decoder.pav2Block.calValues[i], cal[i]) << "c" << i + 1;
    }
    expectNoBoard(decoder.rokBlock);
}

TEST(SensorDecoder, RokChannelsTakeTheirRatesFromTheBoard)
{
    Header header;
    header.streams = {rokStream()};
    auto record = kevo_test::parseHeader(header);
    kevo_sensorDecoder decoder(record.get());

    const Row rows[10] = {
        {"rok/x_gyro", "gyro", 100.0},
        {"rok/y_gyro", "gyroY", 100.0},
        {"rok/z_gyro", "gyroZ", 100.0},
        {"rok/x_gyroTemp", "gyroTemp", 100.0},
        {"rok/y_gyroTemp", "gyroTempY", 100.0},
        {"rok/z_gyroTemp", "gyroTempZ", 100.0},
        {"rok/x_mag", "mag", 20.0},
        {"rok/y_mag", "magY", 20.0},
        {"rok/z_mag", "magZ", 20.0},
        {"rok/power", "rokpower", 0.0},  // no 'powr' atom
    };
    expectChannels(decoder.rokBlock, rows, 3);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(decoder.rokBlock.calValues[i], -1);
    }
    expectNoBoard(decoder.pav2Block);
    EXPECT_EQ(decoder.pav2Block.micGain, -1);
    EXPECT_EQ(decoder.sirfGps.channel, nullptr);
}

TEST(SensorDecoder, AudioRateIsAWrapping32BitProduct)
{
    Header header;
    header.streams = {stream("mic ", {intAtom("mic ", 300000000)})};
    auto record = kevo_test::parseHeader(header);
    kevo_sensorDecoder decoder(record.get());
    EXPECT_EQ(decoder.pav2Block.sampleRates[0], -1294967296.0);
    EXPECT_TRUE(decoder.pav2Block.channels[0]->noRate);
}

TEST(SensorDecoder, SlicesLieBackToBackInTheirBlocks)
{
    Header header;
    header.streams = {pav2Stream(), rokStream()};
    auto record = kevo_test::parseHeader(header);
    kevo_sensorDecoder decoder(record.get());

    auto expectSlices = [](const auto& block) {
        const char* raw = reinterpret_cast<const char*>(block.rawBlock);
        const char* value = reinterpret_cast<const char*>(block.valueBlock);
        for (int32_t i = 0; i < block.kChannels; ++i) {
            EXPECT_EQ(reinterpret_cast<const char*>(block.rawSlices[i]) - raw, 512 * i);
            EXPECT_EQ(reinterpret_cast<const char*>(block.valueSlices[i]) - value, 2048 * i);
        }
        // Touching both ends of the last slices checks the blocks' sizes.
        const int32_t last = block.kChannels - 1;
        block.rawSlices[last][255] = 1;
        block.valueSlices[last][255] = 1.0;
    };
    expectSlices(decoder.pav2Block);
    expectSlices(decoder.rokBlock);
}

TEST(SensorDecoder, GpsOnlyHeaderGetsACaptureBufferAndNoBoards)
{
    Header header;
    header.headerValue = 0x1122334455667788u;
    header.streams = {stream("sgps")};
    auto record = kevo_test::parseHeader(header);
    testing::internal::CaptureStderr();
    kevo_sensorDecoder decoder(record.get());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    expectNoBoard(decoder.pav2Block);
    expectNoBoard(decoder.rokBlock);
    EXPECT_EQ(decoder.headerValue, 0x1122334455667788u);
    EXPECT_EQ(decoder.fileRecord, record.get());
    ASSERT_TRUE(decoder.sirfGps.found);
    const kevo_byteChannel* gps = decoder.sirfGps.channel;
    ASSERT_NE(gps, nullptr);
    EXPECT_EQ(gps->name, "SIRF_GPS");
    EXPECT_EQ(gps->shortName, "sirfGPSOutput.bin");
    EXPECT_EQ(gps->rate, 1.0);
    EXPECT_EQ(gps->interruptCount, 1);
    EXPECT_EQ(gps->capacity, 81920);
    EXPECT_FALSE(gps->repairEnabled);
    ASSERT_NE(gps->repairBuffer, nullptr);
    EXPECT_EQ(gps->data, gps->repairBuffer);
    gps->data[81919] = 0x5A;
    EXPECT_FALSE(decoder.camera.found);
}

TEST(SensorDecoder, KindsAreRecordedOncePerKind)
{
    Header header;
    header.streams = {stream("sgps"), stream("cams"), stream("sgps")};
    auto record = kevo_test::parseHeader(header);
    kevo_sensorDecoder decoder(record.get());
    const std::map<int32_t, bool> expected = {{KEVO_KIND_SIRF_GPS, true}, {KEVO_KIND_CAMERA, true}};
    EXPECT_EQ(decoder.kindPresent, expected);
    EXPECT_NE(decoder.sirfGps.channel, nullptr);
    EXPECT_TRUE(decoder.camera.found);
}

TEST(SensorDecoder, FileLevelPav2AtomsAreFoundWithoutStreams)
{
    Header header;
    header.metas = {intAtom("intr", 5)};
    auto record = kevo_test::parseHeader(header);
    kevo_sensorDecoder decoder(record.get());

    EXPECT_TRUE(decoder.kindPresent.empty());
    ASSERT_TRUE(decoder.pav2Block.found);
    for (int32_t i = 0; i < 15; ++i) {
        ASSERT_NE(decoder.pav2Block.channels[i], nullptr);
        EXPECT_EQ(decoder.pav2Block.sampleRates[i], 0.0);
        EXPECT_EQ(decoder.pav2Block.channels[i]->interruptCount, 5);
        EXPECT_TRUE(decoder.pav2Block.channels[i]->noRate);
    }
    EXPECT_EQ(decoder.sirfGps.channel, nullptr);
    EXPECT_FALSE(decoder.camera.found);
}

TEST(SensorDecoder, WarnsAboutMoreThanNineteenStreamsButUsesThemAll)
{
    Header header;
    header.streams.assign(18, stream("clck"));
    header.streams.push_back(stream("wifi"));
    auto nineteen = kevo_test::parseHeader(header);
    testing::internal::CaptureStderr();
    kevo_sensorDecoder quiet(nineteen.get());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    header.streams.push_back(stream("cams"));
    auto twenty = kevo_test::parseHeader(header);
    testing::internal::CaptureStderr();
    kevo_sensorDecoder loud(twenty.get());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "# WARNING: kevo header contains more streams, 20, than allowed, 19\n");
    EXPECT_EQ(loud.kindPresent.size(), 3u);
    EXPECT_TRUE(loud.camera.found);
}

// Only a hand-made record can lack its stream array; the warning still
// comes before the per-entry errors.
TEST(SensorDecoder, MissingStreamEntriesAreReportedAndSkipped)
{
    kevo_file record{};
    record.streamCount = 20;
    testing::internal::CaptureStderr();
    kevo_sensorDecoder decoder(&record);
    std::string expected = "# WARNING: kevo header contains more streams, 20, than allowed, 19\n";
    for (int i = 0; i < 20; ++i) {
        expected += "# ERROR: KEVO File header error, stream found with NULL pointer\n";
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
    EXPECT_TRUE(decoder.kindPresent.empty());
}

TEST(SensorDecoder, NullRecordLeavesTheDecoderEmpty)
{
    testing::internal::CaptureStderr();
    kevo_sensorDecoder* decoder = new kevo_sensorDecoder(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "# ERROR: kevo structure is a NULL pointer, invalid kevo file\n");
    EXPECT_EQ(decoder->fileRecord, nullptr);
    expectNoBoard(decoder->pav2Block);
    expectNoBoard(decoder->rokBlock);
    EXPECT_EQ(decoder->sirfGps.channel, nullptr);
    EXPECT_TRUE(decoder->sirfGps.requested);
    EXPECT_TRUE(decoder->kindPresent.empty());
    delete decoder;
}

// The tool deletes the record first; under ASan any look at it from the
// teardown fails this test.
TEST(SensorDecoder, TeardownOutlivesTheRecord)
{
    Header header;
    header.streams = {pav2Stream(), rokStream(), stream("sgps"), stream("cams")};
    kevo_file* record = kevo_test::parseHeader(header).release();
    kevo_sensorDecoder* decoder = new kevo_sensorDecoder(record);
    delete record;
    delete decoder;
}

}  // namespace
