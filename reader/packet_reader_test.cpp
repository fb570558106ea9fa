#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>

#include "reader/kevo_reader.h"
#include "tests/support/kevo_bytes.h"

using namespace kevo_test;

namespace {

Stream stream(const std::string& id, uint16_t symbol)
{
    return Stream{id, 0, 16, symbol, {intAtom("rate", 100)}, std::nullopt};
}

bool exists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

}  // namespace

TEST(PacketReader, OpensAValidHeaderAndStandsAtThePacketData)
{
    TempDir dir;
    const std::string path = dir.path("rec.kevo");
    Header header;
    header.headerValue = 0x1122334455667788ull;
    header.streams = {stream("pav2", 1), stream("sgps", 2)};
    const Bytes headerBytes = encode(header);
    writeFile(path, concat(headerBytes, packetBytes(100)));

    testing::internal::CaptureStderr();
    kevo_packetReader reader(path.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(reader.valid);
    EXPECT_TRUE(reader.ok);
    EXPECT_TRUE(reader.ownsFile);
    ASSERT_NE(reader.fileRecord, nullptr);
    EXPECT_EQ(reader.streamCount, 2);
    EXPECT_EQ(reader.headerValue, 0x1122334455667788ull);
    EXPECT_EQ(ftell(reader.fileRecord->file), static_cast<long>(headerBytes.size()));
    ASSERT_NE(reader.input, nullptr);
    EXPECT_EQ(reader.input->source, reader.fileRecord->file);
    EXPECT_EQ(reader.input->capacity, 8192);
}

TEST(PacketReader, MissingFilePrintsBothLinesAndHoldsNothing)
{
    testing::internal::CaptureStderr();
    kevo_packetReader reader("/nonexistent/rec.kevo");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR: can't open file /nonexistent/rec.kevo\n"
              "# kevo_packetReader: ERROR, unable to open kevo file: /nonexistent/rec.kevo\n");
    EXPECT_FALSE(reader.valid);
    EXPECT_FALSE(reader.ok);
    EXPECT_EQ(reader.fileRecord, nullptr);
    EXPECT_EQ(reader.input, nullptr);
}

TEST(PacketReader, RejectedHeaderPrintsOneLine)
{
    TempDir dir;
    const std::string path = dir.path("notes.txt");
    writeFile(path, {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n'});
    testing::internal::CaptureStderr();
    kevo_packetReader reader(path.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "# kevo_packetReader: ERROR, kevo file does not contain a valid KEVO header\n");
    EXPECT_FALSE(reader.valid);
    EXPECT_EQ(reader.fileRecord, nullptr);
    EXPECT_TRUE(reader.kindPresent.empty());
}

TEST(PacketReader, WarnsAboveNineteenStreamsAndKeepsThemAll)
{
    for (int count : {19, 20}) {
        TempDir dir;
        const std::string path = dir.path("rec.kevo");
        Header header;
        for (int i = 0; i < count; ++i) {
            header.streams.push_back(stream("tag ", static_cast<uint16_t>(i)));
        }
        writeFile(path, encode(header));
        testing::internal::CaptureStderr();
        kevo_packetReader reader(path.c_str());
        const std::string expected =
            count == 20 ? "# kevo_packetReader: WARNING, kevo header contains more streams, 20, "
                          "than allowed, 19\n"
                        : "";
        EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
        EXPECT_TRUE(reader.valid);
        EXPECT_EQ(reader.symbolToKind.size(), static_cast<size_t>(count));
    }
}

TEST(PacketReader, RegistryKeepsTheLaterStreamOfAKindOrSymbol)
{
    TempDir dir;
    const std::string path = dir.path("rec.kevo");
    Header header;
    header.streams = {stream("abcd", 3), stream("wxyz", 5), stream("rok ", 5), stream("mic ", 9)};
    writeFile(path, encode(header));
    kevo_packetReader reader(path.c_str());
    ASSERT_TRUE(reader.valid);

    const std::map<int32_t, int32_t> kindToSymbol = {{1, 5}, {8, 9}, {16, 5}};
    const std::map<int32_t, int32_t> symbolToKind = {{3, 16}, {5, 1}, {9, 8}};
    const std::map<std::string, int32_t> nameToKind = {
        {"MIC", 8}, {"ROK", 1}, {"UNKNOWN (RAW)", 16}};
    const std::map<int32_t, bool> kindPresent = {{1, true}, {8, true}, {16, true}};
    const std::map<int32_t, int32_t> kindCounter = {{1, 0}, {8, 0}, {16, 0}};
    EXPECT_EQ(reader.kindToSymbol, kindToSymbol);
    EXPECT_EQ(reader.symbolToKind, symbolToKind);
    EXPECT_EQ(reader.nameToKind, nameToKind);
    EXPECT_EQ(reader.kindPresent, kindPresent);
    EXPECT_EQ(reader.kindCounter, kindCounter);
}

TEST(PacketReader, NoStreamsStillBuildsAnInputBlock)
{
    TempDir dir;
    const std::string path = dir.path("rec.kevo");
    writeFile(path, encode(Header{}));
    kevo_packetReader reader(path.c_str());
    ASSERT_TRUE(reader.valid);
    EXPECT_EQ(reader.streamCount, 0);
    EXPECT_TRUE(reader.kindToSymbol.empty());
    ASSERT_NE(reader.input, nullptr);
    EXPECT_EQ(reader.input->capacity, 8192);
}

TEST(PacketReader, TraceFileLivesAsLongAsTheReader)
{
    TempDir dir;
    const std::string path = dir.path("rec.kevo");
    writeFile(path, {'n', 'o', 'p', 'e'});
    const std::string trace = path + ".processing";
    {
        testing::internal::CaptureStderr();
        kevo_packetReader reader(path.c_str());
        testing::internal::GetCapturedStderr();
        EXPECT_FALSE(exists(trace));

        reader.traceEnabled = true;
        testing::internal::CaptureStderr();
        reader.open(path.c_str());
        testing::internal::GetCapturedStderr();
        EXPECT_TRUE(exists(trace));
        EXPECT_EQ(readFile(trace).size(), 0u);
    }
    EXPECT_FALSE(exists(trace));
}

TEST(PacketReader, CallerClosingTheStreamIsNotClosedAgain)
{
    TempDir dir;
    const std::string path = dir.path("rec.kevo");
    writeFile(path, encode(Header{}));
    kevo_packetReader reader(path.c_str());
    ASSERT_TRUE(reader.valid);
    kevo_close(reader.fileRecord);
    EXPECT_EQ(reader.fileRecord->file, nullptr);
}

TEST(InputBlock, CapacityFollowsTheBlockSize)
{
    EXPECT_EQ(kevo_packetReader::inputCapacityFor(4096), 8192);
    EXPECT_EQ(kevo_packetReader::inputCapacityFor(5000), 8192);
    EXPECT_EQ(kevo_packetReader::inputCapacityFor(8192), 8192);
    EXPECT_EQ(kevo_packetReader::inputCapacityFor(8193), 16386);
    EXPECT_EQ(kevo_packetReader::inputCapacityFor(INT32_MAX / 2), INT32_MAX - 1);
    // Twice these does not fit: the most an int32_t can say, never a wrap.
    EXPECT_EQ(kevo_packetReader::inputCapacityFor(INT32_MAX / 2 + 1), INT32_MAX);
    EXPECT_EQ(kevo_packetReader::inputCapacityFor(INT32_MAX), INT32_MAX);
    EXPECT_EQ(kevo_packetReader::inputCapacityFor(INT32_MIN), 8192);
}

TEST(InputBlock, StartsAtTheFirstMultipleOfEightAboveTheAllocation)
{
    EXPECT_EQ(kevo_bufferedInput::alignedStart(64), 72u);
    EXPECT_EQ(kevo_bufferedInput::alignedStart(67), 72u);
    EXPECT_EQ(kevo_bufferedInput::alignedStart(71), 72u);

    kevo_bufferedInput input(stdin, 8192);
    EXPECT_EQ(input.halfCapacity, 4096);
    EXPECT_EQ(input.marker, -1);
    ASSERT_NE(input.allocation, nullptr);
    const ptrdiff_t offset = input.block - input.allocation;
    EXPECT_GE(offset, 1);
    EXPECT_LE(offset, 8);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(input.block) % 8, 0u);

    input.allocate(100);
    EXPECT_EQ(input.capacity, 100);
    EXPECT_EQ(input.halfCapacity, 4096);
    EXPECT_EQ(input.source, stdin);
}

TEST(PacketReader, NothingToOpenOrAdoptPrintsOneLineAndHoldsNothing)
{
    testing::internal::CaptureStderr();
    kevo_packetReader reader(nullptr);
    reader.registerStreams(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "# kevo_packetReader: ERROR, no kevo file path given\n"
              "# kevo_packetReader: ERROR, no kevo file record to register\n");
    EXPECT_FALSE(reader.valid);
    EXPECT_EQ(reader.fileRecord, nullptr);
    EXPECT_EQ(reader.input, nullptr);
}

// Whatever an earlier open built is released, not leaked (LeakSanitizer
// watches the records, their streams and the blocks) nor mixed into the new
// registry.
TEST(PacketReader, ReopeningAndResettingReleaseWhatTheReaderHeld)
{
    TempDir dir;
    const std::string first = dir.path("a.kevo");
    const std::string second = dir.path("b.kevo");
    Header a;
    a.streams = {stream("pav2", 1), stream("sgps", 2)};
    Header b;
    b.streams = {stream("rok ", 7)};
    writeFile(first, encode(a));
    writeFile(second, encode(b));

    kevo_packetReader reader(first.c_str());
    reader.traceEnabled = true;
    reader.open(second.c_str());
    testing::internal::CaptureStderr();
    reader.open(second.c_str());  // its own trace file is no obstacle
    reader.registerStreams(reader.fileRecord);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(reader.valid);
    EXPECT_EQ(reader.symbolToKind, (std::map<int32_t, int32_t>{{7, KEVO_KIND_ROK}}));
    EXPECT_TRUE(exists(second + ".processing"));

    reader.setDefaults();
    EXPECT_FALSE(reader.valid);
    EXPECT_EQ(reader.fileRecord, nullptr);
    EXPECT_EQ(reader.input, nullptr);
    EXPECT_TRUE(reader.kindPresent.empty());
    EXPECT_FALSE(exists(second + ".processing"));
}

// A file or folder already under the trace file's name is not the reader's:
// it is neither truncated nor removed, and tracing stays off.
TEST(PacketReader, TraceFileNeverTakesOverAnExistingName)
{
    for (bool folder : {false, true}) {
        TempDir dir;
        const std::string path = dir.path("rec.kevo");
        const std::string trace = path + ".processing";
        writeFile(path, encode(Header{}));
        const Bytes kept = {'k', 'e', 'e', 'p'};
        if (folder) {
            ASSERT_EQ(mkdir(trace.c_str(), 0700), 0);
        } else {
            writeFile(trace, kept);
        }
        {
            kevo_packetReader reader(path.c_str());
            reader.traceEnabled = true;
            testing::internal::CaptureStderr();
            reader.open(path.c_str());
            EXPECT_EQ(testing::internal::GetCapturedStderr(),
                      "# kevo_packetReader: ERROR, unable to write trace file: " + trace + "\n");
            EXPECT_TRUE(reader.valid);
            EXPECT_FALSE(reader.traceEnabled);
        }
        EXPECT_TRUE(exists(trace)) << folder;
        if (!folder) {
            EXPECT_EQ(readFile(trace), kept);
        }
    }
}

TEST(InputBlock, ResettingReleasesTheBlockAndNoStreamGetsNone)
{
    kevo_bufferedInput input(stdin, 8192);
    input.setDefaults();
    EXPECT_EQ(input.allocation, nullptr);
    EXPECT_EQ(input.capacity, 1024);

    testing::internal::CaptureStderr();
    kevo_bufferedInput none(nullptr, 8192);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "# ERROR: input block given no stream to read from\n");
    EXPECT_EQ(none.allocation, nullptr);
    EXPECT_EQ(none.capacity, 1024);
}
