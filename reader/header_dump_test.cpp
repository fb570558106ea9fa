#include <gtest/gtest.h>

#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

#include <pthread.h>

#include "reader/kevo_reader.h"
#include "tests/support/kevo_bytes.h"

using namespace kevo_test;

namespace {

// Reads the header from a file and returns what printHeader prints.
std::string dumpOf(const Header& header, const char* prefix = nullptr)
{
    TempDir dir;
    const std::string path = dir.path("rec.kevo");
    writeFile(path, concat(encode(header), packetBytes(64)));
    testing::internal::CaptureStderr();
    {
        kevo_packetReader reader(path.c_str());
        testing::internal::GetCapturedStderr();
        testing::internal::CaptureStderr();
        reader.printHeader(prefix);
    }
    std::string out = testing::internal::GetCapturedStderr();
    // The path is a temporary one; tests compare against "rec.kevo".
    for (size_t at = out.find(path); at != std::string::npos; at = out.find(path)) {
        out.replace(at, path.size(), "rec.kevo");
    }
    return out;
}

std::string metaLine(const std::string& indent, const std::string& rest)
{
    return "# INFO:" + indent + rest + "\n";
}

const std::string kStreamIndent(13, ' ');

// What the C library's printf makes of a format, NUL bytes included: the
// reference every byte of the dump is held to.
__attribute__((format(printf, 1, 2))) std::string printfText(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return std::string(text, static_cast<size_t>(length));
}

ssize_t keepWrite(void* writes, const char* bytes, size_t size)
{
    static_cast<std::vector<std::string>*>(writes)->emplace_back(bytes, size);
    return static_cast<ssize_t>(size);
}

// Each write that `print` makes on an unbuffered stream, as it arrived.
template <typename Print>
std::vector<std::string> writesOf(Print print)
{
    std::vector<std::string> writes;
    cookie_io_functions_t io{};
    io.write = keepWrite;
    FILE* out = fopencookie(&writes, "w", io);
    std::setvbuf(out, nullptr, _IONBF, 0);
    print(out);
    std::fclose(out);
    return writes;
}

bool stopSignalsHeld()
{
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, SIGHUP) && sigismember(&mask, SIGINT) &&
           sigismember(&mask, SIGQUIT) && sigismember(&mask, SIGTERM);
}

const int32_t kEdgeNumbers[] = {INT32_MIN, -1000, -5, 0, 7, 99, 999, 1000, 65535, INT32_MAX};
// NUL, 0xFF, 0x80 and control bytes are written as they are.
const uint32_t kEdgeFourccs[] = {0,           0xFFFFFFFFu, 0x00FF0041u,
                                 0x80000000u, 0x7F0A0D09u, 0x20737067u};

}  // namespace

TEST(HeaderDump, NumbersAndFourccBytesAreThePrintfFormatsBytes)
{
    // Types other than 'c' and 'i', including one whose low byte is 'c'.
    const uint32_t types[] = {0, 'f', 0x80, 0xFF, 0x100 + 'c'};
    const uint8_t payload[4] = {};
    for (int32_t index : kEdgeNumbers) {
        for (uint32_t id : kEdgeFourccs) {
            for (uint32_t type : types) {
                const int32_t count = ~index;  // the other sign, INT32_MIN to INT32_MAX
                const std::vector<std::string> writes = writesOf([&](FILE* out) {
                    kevo_packetReader::printMeta("#", " x ", index, count, id, type, payload, 4,
                                                 out);
                });
                const std::string expected = printfText(
                    "%s%smeta %3d/%3d: (ID = 0x%08X:'%c%c%c%c') type='%c' = unknown type\n", "#",
                    " x ", index, count, id, id & 0xFF, (id >> 8) & 0xFF, (id >> 16) & 0xFF,
                    id >> 24, static_cast<char>(type));
                EXPECT_EQ(writes, std::vector<std::string>{expected});
            }
        }
    }
}

TEST(HeaderDump, ValuesAtTheEdgesOfTheirTypes)
{
    struct Case {
        uint32_t type;
        std::vector<uint8_t> payload;
        const char* value;
    };
    const Case cases[] = {
        {'i', {0x00, 0x00, 0x00, 0x80}, "-2147483648"},
        {'i', {0xFF, 0xFF, 0xFF, 0x7F}, "2147483647"},
        {'i', {0xFF, 0xFF, 0xFF, 0xFF}, "-1"},  // UINT32_MAX stored
        {'i', {0xE8, 0x03, 0x00, 0x00, 0x55}, "1000"},
        {'c', {0x80, 0x01}, "128"},
        {'c', {0x00}, "0"},
    };
    for (const Case& c : cases) {
        const std::vector<std::string> writes = writesOf([&](FILE* out) {
            kevo_packetReader::printMeta("#", "", 0, 1, kevo_fourcc("abcd"), c.type,
                                         c.payload.data(), static_cast<int32_t>(c.payload.size()),
                                         out);
        });
        const std::string expected = std::string("#meta   0/  1: (ID = 0x64636261:'abcd') type='") +
                                     static_cast<char>(c.type) + "' = " + c.value + "\n";
        EXPECT_EQ(writes, std::vector<std::string>{expected});
    }
}

TEST(HeaderDump, StreamListIsThePrintfFormatsBytesInWholeLineWrites)
{
    // Over a thousand streams, each with an atom: numbers past their width
    // and a dump of several blocks.
    constexpr int32_t kStreams = 1200;
    kevo_file record;
    record.streamCount = kStreams;
    record.streams = static_cast<kevo_stream*>(std::calloc(kStreams, sizeof(kevo_stream)));
    std::string expected;
    for (int32_t i = 0; i < kStreams; ++i) {
        kevo_stream& stream = record.streams[i];
        stream.id = kEdgeFourccs[i % 6];
        stream.symbolID = static_cast<uint32_t>(kEdgeNumbers[i % 10]);
        stream.kind = i % 25 - 2;
        stream.metaCount = 1;
        stream.metas = static_cast<kevo_atom*>(std::calloc(1, sizeof(kevo_atom)));
        stream.metas[0] = {kevo_fourcc("abcd"), 'i', 4, static_cast<uint8_t*>(std::malloc(4)), 0};
        kevo_putLE32(stream.metas[0].data, static_cast<uint32_t>(-i));
        expected += printfText("P Stream %3d: Symbol ID=%3d (ID = 0x%08X:'%c%c%c%c') [%s]\n", i,
                               static_cast<int>(stream.symbolID), stream.id, stream.id & 0xFF,
                               (stream.id >> 8) & 0xFF, (stream.id >> 16) & 0xFF, stream.id >> 24,
                               kevo_streamKindName(stream.kind));
        expected += "P" + kStreamIndent + printfText("meta   0/  1: (ID = 0x64636261:'abcd') "
                                                     "type='i' = %d\n", -i);
    }
    testing::internal::CaptureStderr();
    kevo_packetReader reader(nullptr);
    reader.registerStreams(&record);
    reader.ownsFile = false;
    testing::internal::GetCapturedStderr();

    const std::vector<std::string> writes =
        writesOf([&](FILE* out) { reader.printStreams("P", true, out); });
    EXPECT_EQ(std::accumulate(writes.begin(), writes.end(), std::string()), expected);
    EXPECT_GT(writes.size(), 1u);
    for (const std::string& write : writes) {
        EXPECT_EQ(write.back(), '\n');
    }
}

TEST(HeaderDump, PrintsTheWorkedExampleLineForLine)
{
    Header header;
    header.metas = {byteAtom("wxyz", 7)};
    header.streams = {Stream{"gps ", 0, 10, 1, {intAtom("abcd", 42)}, std::nullopt}};

    EXPECT_EQ(dumpOf(header),
              "# INFO: File: \"rec.kevo\"\n"
              "# INFO: KEVO File Contains   1 streams\n"
              "# INFO: Symbol ID = auto-generated ID number used inside each data packet\n"
              "# INFO:        ID = KEVO_STREAM ID for identifying stream types\n"
              "# INFO:\n"
              "# INFO: Stream   0: Symbol ID=  1 (ID = 0x20737067:'gps ') [GPS]\n"
              "# INFO:\n"
              "# INFO: KEVO File Meta Data:\n"
              "# INFO: kevo header meta   0/  1: (ID = 0x7A797877:'wxyz') type='c' = 7\n"
              "# INFO: Stream   0: Symbol ID=  1 (ID = 0x20737067:'gps ') [GPS]\n"
              "# INFO:             meta   0/  1: (ID = 0x64636261:'abcd') type='i' = 42\n");
}

TEST(HeaderDump, EmptyHeaderPrintsSixLinesAndNoMetaHeading)
{
    EXPECT_EQ(dumpOf(Header{}),
              "# INFO: File: \"rec.kevo\"\n"
              "# INFO: KEVO File Contains   0 streams\n"
              "# INFO: Symbol ID = auto-generated ID number used inside each data packet\n"
              "# INFO:        ID = KEVO_STREAM ID for identifying stream types\n"
              "# INFO:\n"
              "# INFO:\n");
}

TEST(HeaderDump, PrefixLeadsEveryLine)
{
    EXPECT_EQ(dumpOf(Header{}, "X"),
              "X File: \"rec.kevo\"\n"
              "X KEVO File Contains   0 streams\n"
              "X Symbol ID = auto-generated ID number used inside each data packet\n"
              "X        ID = KEVO_STREAM ID for identifying stream types\n"
              "X\n"
              "X\n");
    EXPECT_EQ(dumpOf(Header{}, ""),
              " File: \"rec.kevo\"\n"
              " KEVO File Contains   0 streams\n"
              " Symbol ID = auto-generated ID number used inside each data packet\n"
              "        ID = KEVO_STREAM ID for identifying stream types\n"
              "\n"
              "\n");
}

TEST(HeaderDump, ValuesByType)
{
    Atom shortInt = rawAtom("shrt", 'i', {1, 2, 3});
    Atom emptyByte = rawAtom("empt", 'c', {});
    Atom emptyOther = rawAtom("none", 'f', {});
    Header header;
    header.streams = {Stream{"abcd",
                             0,
                             0,
                             7,
                             {byteAtom("byte", 0xFF), intAtom("negv", -5),
                              rawAtom("flot", 'f', {0, 0, 128, 63}), shortInt, emptyByte,
                              emptyOther},
                             std::nullopt}};
    const std::string dump = dumpOf(header);
    EXPECT_NE(dump.find(metaLine(kStreamIndent,
                                 "meta   0/  6: (ID = 0x65747962:'byte') type='c' = 255")),
              std::string::npos);
    EXPECT_NE(dump.find(metaLine(kStreamIndent,
                                 "meta   1/  6: (ID = 0x7667656E:'negv') type='i' = -5")),
              std::string::npos);
    EXPECT_NE(dump.find(metaLine(kStreamIndent,
                                 "meta   2/  6: (ID = 0x746F6C66:'flot') type='f' = unknown type")),
              std::string::npos);
    // Too short for the type: no read past the payload.
    EXPECT_NE(dump.find(metaLine(kStreamIndent,
                                 "meta   3/  6: (ID = 0x74726873:'shrt') type='i' =  BAD Data "
                                 "Section!")),
              std::string::npos);
    EXPECT_NE(dump.find(metaLine(kStreamIndent,
                                 "meta   4/  6: (ID = 0x74706D65:'empt') type='c' =  BAD Data "
                                 "Section!")),
              std::string::npos);
    // An empty payload of an opaque type is still just opaque.
    EXPECT_NE(dump.find(metaLine(kStreamIndent,
                                 "meta   5/  6: (ID = 0x656E6F6E:'none') type='f' = unknown type")),
              std::string::npos);
    EXPECT_NE(dump.find("[UNKNOWN (RAW)]\n"), std::string::npos);
}

TEST(HeaderDump, MissingPayloadAndOddFourccBytes)
{
    testing::internal::CaptureStderr();
    kevo_packetReader::printMeta("P", "-", 1000, 1234, 0x00410042u, 'i', nullptr, 4);
    const std::string expected = std::string("P-meta 1000/1234: (ID = 0x00410042:'B") + '\0' +
                                 "A" + '\0' + "') type='i' =  BAD Data Section!\n";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
}

TEST(HeaderDump, InvalidReaderPrintsOnlyTheBadFileLine)
{
    testing::internal::CaptureStderr();
    kevo_packetReader reader("/nonexistent/folder/rec.kevo");
    testing::internal::GetCapturedStderr();
    testing::internal::CaptureStderr();
    reader.printHeader(nullptr);
    reader.printStreams("# INFO:", true);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "# kevo_packetReader: ERROR kevo file is bad, unable to proceed\n"
              "# kevo_packetReader: ERROR kevo file is bad, unable to proceed\n");
}

TEST(HeaderDump, BadFileLineGoesToTheGivenStream)
{
    testing::internal::CaptureStderr();
    kevo_packetReader invalid("/nonexistent/folder/rec.kevo");
    testing::internal::GetCapturedStderr();
    FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    testing::internal::CaptureStderr();
    invalid.printHeader(nullptr, out);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    char line[128] = {};
    std::rewind(out);
    EXPECT_STREQ(std::fgets(line, sizeof line, out),
                 "# kevo_packetReader: ERROR kevo file is bad, unable to proceed\n");
    std::fclose(out);
}

TEST(HeaderDump, SameDumpAfterTheStreamIsClosed)
{
    Header header;
    header.streams = {Stream{"rok ", 0, 30, 4, {intAtom("gyro", 100)}, std::nullopt}};
    TempDir dir;
    const std::string path = dir.path("rec.kevo");
    writeFile(path, encode(header));
    kevo_packetReader reader(path.c_str());
    ASSERT_TRUE(reader.valid);
    testing::internal::CaptureStderr();
    reader.printHeader(nullptr);
    const std::string before = testing::internal::GetCapturedStderr();
    kevo_close(reader.fileRecord);
    testing::internal::CaptureStderr();
    reader.printHeader(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), before);
}
// The signal mask belongs to the program that links the reader: a write that
// blocks on a stalled network file must still end at Ctrl-C.
TEST(HeaderDump, LeavesTheCallersSignalMaskAlone)
{
    bool heldWhileWriting = true;
    cookie_io_functions_t io{};
    io.write = [](void* held, const char*, size_t size) {
        *static_cast<bool*>(held) = stopSignalsHeld();
        return static_cast<ssize_t>(size);
    };
    FILE* out = fopencookie(&heldWhileWriting, "w", io);
    std::setvbuf(out, nullptr, _IONBF, 0);
    kevo_packetReader::printMeta("#", "", 0, 1, kevo_fourcc("abcd"), 'f', nullptr, 0, out);
    std::fclose(out);
    EXPECT_FALSE(heldWhileWriting);
    EXPECT_FALSE(stopSignalsHeld());
}
