#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "container/kevo_container.h"
#include "tests/support/kevo_bytes.h"

using namespace kevo_test;

TEST(FileRecord, ModesIgnoreLetterCase)
{
    TempDir dir;
    const std::string path = dir.path("rec.kevo");
    writeFile(path, encode(Header{}));
    for (const char* mode : {"r", "R", "r+", "R+"}) {
        kevo_file record{};
        ASSERT_EQ(kevo_open(&record, path.c_str(), mode), 1) << mode;
        EXPECT_STREQ(record.path, path.c_str());
        EXPECT_NE(record.file, nullptr);
    }
}

TEST(FileRecord, UnknownModeLeavesTheRecordAlone)
{
    kevo_file record{};
    testing::internal::CaptureStderr();
    EXPECT_EQ(kevo_open(&record, "whatever", "rw"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: unknown file mode rw\n");
    EXPECT_EQ(record.path, nullptr);
    EXPECT_EQ(record.file, nullptr);
}

TEST(FileRecord, MissingFileKeepsThePathAndNoStream)
{
    kevo_file record{};
    testing::internal::CaptureStderr();
    EXPECT_EQ(kevo_open(&record, "/nonexistent/rec.kevo", "r"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR: can't open file /nonexistent/rec.kevo\n");
    EXPECT_STREQ(record.path, "/nonexistent/rec.kevo");
    EXPECT_EQ(record.file, nullptr);
}

TEST(FileRecord, AliasesSelectTheProcessStreams)
{
    for (const char* alias : {"-", "stdin", "STDIN", "/dev/stdin", "/DEV/Stdin"}) {
        EXPECT_TRUE(kevo_isStdinAlias(alias)) << alias;
        kevo_file record{};
        ASSERT_EQ(kevo_open(&record, alias, "r"), 1);
        EXPECT_STREQ(record.path, "stdin");
        EXPECT_EQ(record.file, stdin);
        record.file = nullptr;  // keep the test's own stdin open
    }
    for (const char* notAlias : {"stdin.kevo", "./stdin", "stdout", ""}) {
        EXPECT_FALSE(kevo_isStdinAlias(notAlias)) << notAlias;
    }
    for (const char* alias : {"-", "stdout", "/dev/STDOUT"}) {
        kevo_file record{};
        ASSERT_EQ(kevo_open(&record, alias, "w"), 1);
        EXPECT_STREQ(record.path, "stdout");
        EXPECT_EQ(record.file, stdout);
        record.file = nullptr;
    }
}

TEST(FileRecord, OutputModesCreateOrAppend)
{
    TempDir dir;
    const std::string path = dir.path("out.bin");
    {
        kevo_file record{};
        ASSERT_EQ(kevo_open(&record, path.c_str(), "w"), 1);
        std::fputs("ab", record.file);
    }
    {
        kevo_file record{};
        ASSERT_EQ(kevo_open(&record, path.c_str(), "A"), 1);
        std::fputs("cd", record.file);
    }
    EXPECT_EQ(readFile(path), (Bytes{'a', 'b', 'c', 'd'}));
}

TEST(FileRecord, CloseClearsTheHandleAndMayRepeat)
{
    TempDir dir;
    const std::string path = dir.path("rec.kevo");
    writeFile(path, encode(Header{}));
    kevo_file record{};
    ASSERT_EQ(kevo_open(&record, path.c_str(), "r"), 1);
    EXPECT_EQ(kevo_close(&record), 1);
    EXPECT_EQ(record.file, nullptr);
    EXPECT_EQ(kevo_close(&record), 1);
}

// A record made without braces, or on memory that held something else, must
// not start from whatever was there: its destructor frees what it points to.
TEST(FileRecord, StartsZeroedHoweverItIsMade)
{
    alignas(kevo_file) unsigned char storage[sizeof(kevo_file)];
    std::memset(storage, 0xA5, sizeof storage);
    kevo_file* record = new (storage) kevo_file;
    const void* pointers[] = {record->path, record->file, record->streams, record->metas};
    for (const void* pointer : pointers) {
        EXPECT_EQ(pointer, nullptr);
    }
    EXPECT_EQ(record->streamCount, 0);
    EXPECT_EQ(record->metaCount, 0);
    EXPECT_EQ(record->headerValue, 0u);
    const kevo_file zeroed{};
    EXPECT_EQ(std::memcmp(&record->rokBoard, &zeroed.rokBoard, sizeof zeroed.rokBoard), 0);
    EXPECT_EQ(std::memcmp(&record->pav2Board, &zeroed.pav2Board, sizeof zeroed.pav2Board), 0);
    EXPECT_EQ(std::memcmp(record->pav2CalValues, zeroed.pav2CalValues, sizeof zeroed.pav2CalValues),
              0);
    record->~kevo_file();
}
