// The synced close: a header written onto a device that fails part-way must
// have its failure reach the close, with nothing landed at an offset other
// than its own; a full device is reported; a file is synced.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include <sys/types.h>

#include "edit/kevo_edit.h"
#include "tests/support/kevo_bytes.h"
#include "tests/support/parsed_header.h"

using namespace kevo_test;

namespace {

// A disk that stores the first `goodBytes` bytes and fails the write that
// would go past them with EIO, keeping the part of it that fits: what a file
// shows after write(2) returned a short count and then failed. (A cookie
// reports failure by returning 0.) It then recovers, which is what exposes a
// writer that goes on after a failure: its later bytes arrive at the disk's
// position, not at their own.
struct FlakyDisk {
    size_t goodBytes = 0;
    bool failed = false;
    Bytes written;
};

ssize_t flakyWrite(void* cookie, const char* bytes, size_t size)
{
    FlakyDisk& disk = *static_cast<FlakyDisk*>(cookie);
    if (!disk.failed && size > disk.goodBytes - disk.written.size()) {
        const size_t fits = disk.goodBytes - disk.written.size();
        disk.written.insert(disk.written.end(), bytes, bytes + fits);
        disk.failed = true;
        errno = EIO;
        return 0;
    }
    disk.written.insert(disk.written.end(), bytes, bytes + size);
    return static_cast<ssize_t>(size);
}

FILE* openFlaky(FlakyDisk* disk)
{
    cookie_io_functions_t functions{};
    functions.write = flakyWrite;
    return fopencookie(disk, "w", functions);
}

// No forced packet sizes, so the header written is the header read.
Header mixedHeader()
{
    Header header;
    header.headerValue = 0x8877665544332211u;
    header.metas = {intAtom("strt", 1700000000), byteAtom("frmt", 2),
                    rawAtom("name", 's', {'r', 'i', 'g'})};
    header.streams = {
        Stream{"pav2", 7, 40, 1, {intAtom("intr", 100), intAtom("mic ", 800)}, std::nullopt},
        Stream{"clck", 0, 8, 2, {}, std::nullopt},
        Stream{"rok ", 9, 30, 3, {intAtom("gyro", 100), rawAtom("none", 'i', {})}, std::nullopt},
    };
    return header;
}

bool isPrefix(const Bytes& part, const Bytes& whole)
{
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// Unbuffered, every write reaches the disk on its own; a small odd buffer
// splits writes mid-field; stdio's own buffer leaves everything to the flush.
struct Buffering {
    const char* name;
    int mode;  // for setvbuf, or -1 to keep stdio's choice
};

const Buffering kBufferings[] = {
    {"unbuffered", _IONBF}, {"five-byte buffer", _IOFBF}, {"default buffer", -1}};

TEST(WriteFailure, FlakyDiskWithoutAFaultReceivesTheWholeHeader)
{
    const Bytes intended = encode(mixedHeader());
    const auto record = parseHeader(mixedHeader());
    FlakyDisk disk;
    disk.goodBytes = intended.size();
    FILE* stream = openFlaky(&disk);
    ASSERT_NE(stream, nullptr);

    kevo_writeHeader(stream, record.get());

    EXPECT_EQ(std::ferror(stream), 0);
    EXPECT_EQ(disk.written, intended);
    std::fclose(stream);
}

TEST(WriteFailure, FailureAtAnyByteIsReportedAndNothingLandsShifted)
{
    const Bytes intended = encode(mixedHeader());
    const auto record = parseHeader(mixedHeader());
    for (const Buffering& buffering : kBufferings) {
        for (size_t goodBytes = 0; goodBytes < intended.size(); ++goodBytes) {
            SCOPED_TRACE(std::string(buffering.name) + ", fails after " +
                         std::to_string(goodBytes) + " bytes");
            FlakyDisk disk;
            disk.goodBytes = goodBytes;
            char buffer[5];
            kevo_file target{};
            target.file = openFlaky(&disk);
            ASSERT_NE(target.file, nullptr);
            if (buffering.mode >= 0) {
                ASSERT_EQ(setvbuf(target.file, buffer, buffering.mode, sizeof buffer), 0);
            }

            errno = 0;
            kevo_writeHeader(target.file, record.get());
            const int closed = kevo_closeSynced(&target);
            const int reason = errno;

            EXPECT_EQ(closed, 0);
            EXPECT_EQ(reason, EIO);
            EXPECT_EQ(target.file, nullptr);
            EXPECT_TRUE(disk.failed);
            EXPECT_GE(disk.written.size(), goodBytes);
            EXPECT_TRUE(isPrefix(disk.written, intended));
        }
    }
}

TEST(SyncedClose, ReportsAFullDevice)
{
    kevo_file record{};
    ASSERT_EQ(kevo_open(&record, "/dev/full", "r+"), 1);
    kevo_file source{};
    errno = 0;
    kevo_writeHeader(record.file, &source);
    EXPECT_EQ(kevo_closeSynced(&record), 0);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(record.file, nullptr);
}

TEST(SyncedClose, SucceedsOnAFile)
{
    TempDir dir;
    const std::string path = dir.path("rec.kevo");
    writeFile(path, Bytes(30, 0xAA));
    kevo_file record{};
    ASSERT_EQ(kevo_open(&record, path.c_str(), "r+"), 1);
    kevo_file source{};
    kevo_writeHeader(record.file, &source);
    EXPECT_EQ(kevo_closeSynced(&record), 1);
    EXPECT_EQ(record.file, nullptr);
    EXPECT_EQ(readFile(path), concat(encode(Header{}), Bytes(6, 0xAA)));
}

}  // namespace
