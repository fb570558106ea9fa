#include <gtest/gtest.h>

#include "container/little_endian.h"

TEST(LittleEndian, PutsLeastSignificantByteFirst)
{
    uint8_t bytes[8] = {};
    kevo_putLE32(bytes, 0x04030201u);
    EXPECT_EQ(bytes[0], 0x01);
    EXPECT_EQ(bytes[1], 0x02);
    EXPECT_EQ(bytes[2], 0x03);
    EXPECT_EQ(bytes[3], 0x04);

    kevo_putLE16(bytes, 0xBEEF);
    EXPECT_EQ(bytes[0], 0xEF);
    EXPECT_EQ(bytes[1], 0xBE);

    kevo_putLE64(bytes, 0x0807060504030201ull);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(bytes[i], i + 1);
    }
}

TEST(LittleEndian, GetsWhatPutWrote)
{
    uint8_t bytes[8];
    for (uint32_t value : {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0x12345678u}) {
        kevo_putLE32(bytes, value);
        EXPECT_EQ(kevo_getLE32(bytes), value);
    }
    kevo_putLE64(bytes, 0xFEDCBA9876543210ull);
    EXPECT_EQ(kevo_getLE64(bytes), 0xFEDCBA9876543210ull);
    kevo_putLE16(bytes, 0x8001);
    EXPECT_EQ(kevo_getLE16(bytes), 0x8001);
}

TEST(LittleEndian, SignedValuesUseTwosComplement)
{
    const uint8_t minusFive[4] = {0xFB, 0xFF, 0xFF, 0xFF};
    const uint8_t lowest[4] = {0x00, 0x00, 0x00, 0x80};
    const uint8_t highest[4] = {0xFF, 0xFF, 0xFF, 0x7F};
    EXPECT_EQ(kevo_getLE32Signed(minusFive), -5);
    EXPECT_EQ(kevo_getLE32Signed(lowest), INT32_MIN);
    EXPECT_EQ(kevo_getLE32Signed(highest), INT32_MAX);
}
