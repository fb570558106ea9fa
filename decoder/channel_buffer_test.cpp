#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <sys/resource.h>

#include "decoder/channel_buffer.h"

namespace {

using ::testing::ExitedWithCode;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

TEST(ChannelBuffer, SampleChannelStartsWithItsArgumentsAndRepairBuffer)
{
    kevo_sampleChannel channel(true, 1, 204800, 100.0, 5, "pav2/bar_press", "BarPres");
    EXPECT_EQ(channel.data, nullptr);
    EXPECT_NE(channel.repairBuffer, nullptr);
    EXPECT_EQ(channel.repairValue, 1.0);
    EXPECT_TRUE(channel.repairEnabled);
    EXPECT_EQ(channel.inputs, 1);
    EXPECT_EQ(channel.capacity, 204800);
    EXPECT_EQ(channel.rate, 100.0);
    EXPECT_FALSE(channel.noRate);
    EXPECT_EQ(channel.interruptCount, 5);
    EXPECT_EQ(channel.name, "pav2/bar_press");
    EXPECT_EQ(channel.shortName, "BarPres");
    EXPECT_EQ(channel.markA, -1.0);
    EXPECT_EQ(channel.markB, -1.0);
    EXPECT_TRUE(channel.stateFlag);
    EXPECT_EQ(channel.stateA + channel.stateB + channel.stateC + channel.stateD, 0);
    EXPECT_TRUE(channel.entries.empty());
    EXPECT_EQ(channel.entries.capacity(), 0u);
}

TEST(ChannelBuffer, ByteChannelWithoutRepairAllocatesNothing)
{
    kevo_byteChannel channel(false, 1, 81920, 1.0, 1, "SIRF_GPS", "sirfGPSOutput.bin");
    EXPECT_EQ(channel.repairBuffer, nullptr);
    EXPECT_EQ(channel.repairValue, 0);
    EXPECT_EQ(channel.data, nullptr);
    EXPECT_EQ(channel.shortName, "sirfGPSOutput.bin");
}

TEST(ChannelBuffer, NoRateOnlyForRatesAtOrBelowZero)
{
    struct Case {
        double rate;
        bool noRate;
    };
    const Case cases[] = {{0.0, true}, {-5.0, true}, {-0.0, true}, {1.0, false}, {NAN, false}};
    for (const Case& c : cases) {
        kevo_byteChannel channel(false, 1, 1, c.rate, 1, "n", "n");
        EXPECT_EQ(channel.noRate, c.noRate) << "rate " << c.rate;
    }
}

TEST(ChannelBuffer, RepairBufferHoldsOneElementMoreThanAllInputs)
{
    struct Case {
        int32_t inputs;
        int32_t capacity;
        int64_t sampleBytes;
        int64_t byteBytes;
    };
    const Case cases[] = {
        {1, 0, 8, 1},
        {2, 3, 56, 7},
        {1, 204800, 1638408, 204801},
        {70000, 70000, 39200000008, 4900000001},  // past 32 bits: no wrap
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kevo_sampleChannel::repairBufferBytes(c.inputs, c.capacity), c.sampleBytes);
        EXPECT_EQ(kevo_byteChannel::repairBufferBytes(c.inputs, c.capacity), c.byteBytes);
    }
}

// Writing the last element proves the allocation (under ASan) is not short.
TEST(ChannelBuffer, LastRepairElementIsWritable)
{
    kevo_sampleChannel samples(true, 2, 3, 1.0, 1, "s", "s");
    samples.repairBuffer[6] = 2.5;
    kevo_byteChannel bytes(true, 2, 3, 1.0, 1, "b", "b");
    bytes.repairBuffer[6] = 0xAB;
    kevo_byteChannel single(true, 1, 0, 1.0, 1, "b", "b");
    single.repairBuffer[0] = 0xCD;
    EXPECT_EQ(single.repairValue, 1);
}

TEST(ChannelBuffer, DestructorFreesABufferItsOwnerStoredOnlyOnce)
{
    kevo_byteChannel* adopted = new kevo_byteChannel(false, 1, 16, 1.0, 1, "b", "b");
    adopted->repairBuffer = static_cast<uint8_t*>(std::malloc(16));
    delete adopted;  // a leak here shows under LeakSanitizer

    kevo_byteChannel* released = new kevo_byteChannel(false, 1, 16, 1.0, 1, "b", "b");
    released->repairBuffer = static_cast<uint8_t*>(std::malloc(16));
    std::free(released->repairBuffer);
    released->repairBuffer = nullptr;
    delete released;  // a second free here shows under AddressSanitizer
}

TEST(ChannelBufferDeathTest, InputsAtOrBelowZeroEndTheProcess)
{
    EXPECT_EXIT(kevo_sampleChannel(true, 0, 204800, 1.0, 1, "s", "s"), ExitedWithCode(255),
                "^# ERROR: invalid number of inputs specified 0\n$");
    EXPECT_EXIT(kevo_byteChannel(false, -3, 1, 1.0, 1, "b", "b"), ExitedWithCode(255),
                "^# ERROR: invalid number of inputs specified -3\n$");
}

TEST(ChannelBufferDeathTest, ImpossibleRepairSizesFailWithTheirTrueSize)
{
    EXPECT_EXIT(kevo_sampleChannel(true, 70000, 70000, 1.0, 1, "s", "s"), ExitedWithCode(255),
                "^# ERROR: unable to allocate an internal buffer to store repair data\n"
                "# ERROR: malloc failed asking for 39200000008 bytes\n$");
}

// Nothing was asked of malloc, so the message names the request instead.
TEST(ChannelBufferDeathTest, NegativeCapacityIsReportedAsSuch)
{
    EXPECT_EXIT(kevo_sampleChannel(true, 1, -2, 1.0, 1, "s", "s"), ExitedWithCode(255),
                "^# ERROR: invalid repair buffer size requested, 1 inputs of capacity -2\n$");
    EXPECT_EXIT(kevo_byteChannel(true, 3, INT32_MIN, 1.0, 1, "b", "b"), ExitedWithCode(255),
                "^# ERROR: invalid repair buffer size requested, 3 inputs of capacity "
                "-2147483648\n$");
}

TEST(ChannelBuffer, MissingNamesAreReportedAndLeftEmpty)
{
    struct Case {
        const char* name;
        const char* shortName;
        const char* missing;
    };
    const Case cases[] = {
        {nullptr, "s", "name"}, {"n", nullptr, "short name"}, {nullptr, nullptr, "name or short name"}};
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        kevo_sampleChannel channel(true, 1, 4, 1.0, 1, c.name, c.shortName);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string("# ERROR: channel buffer built without a ") + c.missing +
                      ", left empty\n");
        EXPECT_EQ(channel.name, c.name ? c.name : "");
        EXPECT_EQ(channel.shortName, c.shortName ? c.shortName : "");
        EXPECT_NE(channel.repairBuffer, nullptr);
    }
}

// Caps the address space just above what the process already maps, so the
// next large malloc fails for real.
void limitAddressSpace()
{
    FILE* statm = std::fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (!statm || std::fscanf(statm, "%lu", &pages) != 1) {
        std::exit(3);
    }
    std::fclose(statm);
    const rlim_t limit = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + 512 * 1024;
    const rlimit cap = {limit, limit};
    setrlimit(RLIMIT_AS, &cap);
}

TEST(ChannelBufferDeathTest, FailedMallocReportsTheRequestedSize)
{
    if (kSanitized) {
        GTEST_SKIP() << "the sanitizer's allocator reserves far more than the cap";
    }
    EXPECT_EXIT(
        {
            limitAddressSpace();
            kevo_sampleChannel channel(true, 1, 204800, 1.0, 1, "s", "s");
        },
        ExitedWithCode(255),
        "^# ERROR: unable to allocate an internal buffer to store repair data\n"
        "# ERROR: malloc failed asking for 1638408 bytes\n$");
}

}  // namespace
