#include <gtest/gtest.h>

#include <cstdio>
#include <string>

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

}  // namespace

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
