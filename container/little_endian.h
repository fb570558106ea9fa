// Byte order of the KEVO format: every multi-byte number in a file is
// little-endian, whatever the host. These matched get/put pairs are the only
// code that turns bytes into numbers or numbers into bytes; they work through
// shifts on single bytes, so alignment and host order never matter.
#pragma once

#include <cstdint>

inline uint16_t kevo_getLE16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t kevo_getLE32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t kevo_getLE64(const uint8_t* p)
{
    return static_cast<uint64_t>(kevo_getLE32(p)) |
           (static_cast<uint64_t>(kevo_getLE32(p + 4)) << 32);
}

// Two's complement reinterpretation, for fields the format declares signed.
inline int32_t kevo_getLE32Signed(const uint8_t* p)
{
    const uint32_t u = kevo_getLE32(p);
    return u <= INT32_MAX ? static_cast<int32_t>(u)
                          : static_cast<int32_t>(u - 0x80000000u) + INT32_MIN;
}

inline void kevo_putLE16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void kevo_putLE32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline void kevo_putLE64(uint8_t* p, uint64_t v)
{
    kevo_putLE32(p, static_cast<uint32_t>(v));
    kevo_putLE32(p + 4, static_cast<uint32_t>(v >> 32));
}
