// Successful edits: what kevo-modify prints around a change and which bytes
// of the file it changes.
#include <gtest/gtest.h>

#include <string>

#include "tests/modify_harness.h"

namespace kevo_modify_test {
namespace {

using kevo_test::byteAtom;
using kevo_test::concat;
using kevo_test::encode;
using kevo_test::intAtom;
using kevo_test::packetBytes;
using kevo_test::rawAtom;
using kevo_test::readFile;
using kevo_test::writeFile;

class ModifyTest : public ::testing::Test {
protected:
    // Writes the header followed by packet data; returns the file's path.
    std::string record(const std::string& name, const Header& header, size_t packetSize = 512)
    {
        const std::string path = dir_.path(name);
        packets_ = packetBytes(packetSize);
        writeFile(path, concat(encode(header), packets_));
        return path;
    }

    Bytes expectedFile(const Header& header) const
    {
        return concat(encode(asWritten(header)), packets_);
    }

    kevo_test::TempDir dir_;
    Bytes packets_;
};

// One 'gps ' stream with symbol ID 1 and an 'i' atom 'abcd' of 42; one
// file-level 'c' atom 'wxyz' of 7.
Header gpsExample()
{
    Header header;
    header.metas = {byteAtom("wxyz", 7)};
    header.streams = {descriptor("gps ", 0, 0, 1, {intAtom("abcd", 42)})};
    return header;
}

std::string gpsExampleDump(const std::string& path, const std::string& value)
{
    return "# INFO: File: \"" + path + "\"\n" +
           "# INFO: KEVO File Contains   1 streams\n"
           "# INFO: Symbol ID = auto-generated ID number used inside each data packet\n"
           "# INFO:        ID = KEVO_STREAM ID for identifying stream types\n"
           "# INFO:\n"
           "# INFO: Stream   0: Symbol ID=  1 (ID = 0x20737067:'gps ') [GPS]\n"
           "# INFO:\n"
           "# INFO: KEVO File Meta Data:\n"
           "# INFO: kevo header meta   0/  1: (ID = 0x7A797877:'wxyz') type='c' = 7\n"
           "# INFO: Stream   0: Symbol ID=  1 (ID = 0x20737067:'gps ') [GPS]\n"
           "# INFO:             meta   0/  1: (ID = 0x64636261:'abcd') type='i' = " +
           value + "\n";
}

TEST_F(ModifyTest, PrintsTheHeaderBeforeAndAfterTheChange)
{
    const std::string path = record("rec.kevo", gpsExample());

    const RunResult run = runModify({"-streamID", "0", "-metaID", "0", "-metaValue", "43", path});

    expectRun(run, kSuccess,
              "# INFO: Stream ID to be modified: 0\n"
              "# INFO: Meta ID to be modified:   0\n"
              "# INFO: Meta to be modified to:   43\n"
              "# INFO: Header values before changes:\n" +
                  gpsExampleDump(path, "42") + gpsExampleDump(path, "43"));
    EXPECT_EQ(readFile(path), expectedFile(withInt(gpsExample(), 0, 0, 43)));
}

TEST_F(ModifyTest, WritesTheValueLeastSignificantByteFirst)
{
    Header header;
    header.streams = {descriptor("gps ", 0, 0, 1, {intAtom("abcd", 42)})};
    const std::string path = record("negative.kevo", header);
    const Bytes before = readFile(path);

    const RunResult run = runModify(editArgs(0, 0, -5, path));

    expectRun(run, kSuccess, successText(0, 0, -5, header, path));
    // 20 bytes of fixed header, stream count, 16 bytes of descriptor, then
    // the atom's id, type and length: its payload starts at 49.
    const size_t payload = 49;
    Bytes expected = before;
    expected[payload + 0] = 0xFB;
    expected[payload + 1] = 0xFF;
    expected[payload + 2] = 0xFF;
    expected[payload + 3] = 0xFF;
    EXPECT_EQ(readFile(path), expected);
}

TEST_F(ModifyTest, StreamMinusOneEditsAFileLevelAtom)
{
    Header header;
    header.metas = {byteAtom("vers", 3), intAtom("rate", 100), intAtom("gain", 5)};
    header.streams = {descriptor("clck", 0, 0, 2, {intAtom("rate", 100)})};
    const std::string path = record("file-level.kevo", header);

    const RunResult run = runModify(editArgs(kFileLevel, 1, 250, path));

    expectRun(run, kSuccess, successText(kFileLevel, 1, 250, header, path));
    EXPECT_EQ(readFile(path), expectedFile(withInt(header, kFileLevel, 1, 250)));
}

// A header that exercises every field the writer has to carry over: a
// non-zero header value, stream parameters, the three kinds whose packet
// size is forced, a large symbol ID, atoms of every type letter and an 'i'
// atom with more than four payload bytes.
Header variedHeader()
{
    Header header;
    header.headerValue = 0x0102030405060708u;
    header.metas = {byteAtom("flag", 0xFF), rawAtom("name", 's', {'r', 'u', 'n', '1'})};
    header.streams = {
        descriptor("pav ", 0xA1A2A3A4u, 1, 3, {intAtom("intr", 4)}),
        descriptor("ltln", 7, 12, 4, {}),
        descriptor("ant8", 8, 0x1234, 5, {byteAtom("note", 1)}),
        descriptor("rok ", 9, 33, 6, {rawAtom("cal ", 'f', {1, 2, 3, 4, 5, 6, 7, 8})}),
        descriptor("tag ", 0xFFFFFFFFu, 0xBEEF, 0xFFFF,
               {intAtom("one ", 1), rawAtom("wide", 'i', {1, 0, 0, 0, 0xAA, 0xBB})}),
    };
    return header;
}

TEST_F(ModifyTest, ChangesOnlyThePayloadAndForcedPacketSizes)
{
    const Header header = variedHeader();
    const std::string path = record("varied.kevo", header, 4096);
    const size_t headerSize = encode(header).size();

    const RunResult run = runModify(editArgs(4, 1, -123456789, path));

    expectRun(run, kSuccess, successText(4, 1, -123456789, header, path));
    const Bytes after = readFile(path);
    ASSERT_EQ(after.size(), headerSize + packets_.size());
    EXPECT_EQ(Bytes(after.begin() + static_cast<long>(headerSize), after.end()), packets_);
    EXPECT_EQ(after, expectedFile(withInt(header, 4, 1, -123456789)));
}

TEST_F(ModifyTest, HighestStreamAndMetaNumbersAreAccepted)
{
    Header header;
    header.streams = {
        descriptor("wifi", 0, 0, 1, {intAtom("chan", 6)}),
        descriptor("mic ", 0, 0, 2, {}),
        descriptor("abcd", 0, 0, 3, {intAtom("aaaa", 1), intAtom("bbbb", 2), intAtom("cccc", 3)}),
    };
    const std::string path = record("last.kevo", header);

    const RunResult run = runModify(editArgs(2, 2, 33, path));

    expectRun(run, kSuccess, successText(2, 2, 33, header, path));
    EXPECT_EQ(readFile(path), expectedFile(withInt(header, 2, 2, 33)));
}

TEST_F(ModifyTest, NegativeStreamCountIsWrittenBackAsZero)
{
    Header header;
    header.metas = {intAtom("rate", 10)};
    header.declaredStreamCount = -1;
    const std::string path = record("no-streams.kevo", header);

    const RunResult run = runModify(editArgs(kFileLevel, 0, 20, path));

    const Header after = asWritten(withInt(header, kFileLevel, 0, 20));
    expectRun(run, kSuccess,
              optionInfo(kFileLevel, 0, 20) + bannerLine() + dump(header, path) +
                  dump(after, path));
    EXPECT_EQ(readFile(path), expectedFile(after));
}

TEST_F(ModifyTest, TwoEditsInARowKeepEverythingElse)
{
    const Header header = variedHeader();
    const std::string path = record("twice.kevo", header, 2048);
    const Header first = withInt(header, 0, 0, 100);
    const Header second = withInt(first, 4, 0, -7);

    const RunResult firstRun = runModify(editArgs(0, 0, 100, path));
    const RunResult secondRun = runModify(editArgs(4, 0, -7, path));

    expectRun(firstRun, kSuccess, successText(0, 0, 100, header, path));
    expectRun(secondRun, kSuccess, successText(4, 0, -7, first, path));
    EXPECT_EQ(readFile(path), expectedFile(second));
}

TEST_F(ModifyTest, StoringTheValueAlreadyThereLeavesTheFileIdentical)
{
    const Header header = gpsExample();
    const std::string path = record("same.kevo", header);
    const Bytes before = readFile(path);

    const RunResult run = runModify(editArgs(0, 0, 42, path));

    expectRun(run, kSuccess, successText(0, 0, 42, header, path));
    EXPECT_EQ(readFile(path), before);
}

TEST_F(ModifyTest, DumpMarksUnreadableValuesAndTheEditGoesOn)
{
    Header header;
    header.metas = {rawAtom("emty", 'c', {}), rawAtom("shrt", 'i', {1, 2, 3})};
    // A fourcc with a NUL byte is printed like any other, as four characters.
    const std::string zeroed("ab\0d", 4);
    header.streams = {
        descriptor(zeroed, 0, 0, 300,
                   {rawAtom("none", 'i', {}), rawAtom("flot", 'f', {0, 0, 0x80, 0x3F}),
                    byteAtom("full", 0xFF), intAtom("last", -1)}),
    };
    const std::string path = record("unusual.kevo", header);

    const RunResult run = runModify(editArgs(0, 3, 77, path));

    expectRun(run, kSuccess, successText(0, 3, 77, header, path));
    EXPECT_EQ(readFile(path), expectedFile(withInt(header, 0, 3, 77)));
}

Header tagStreams(int count)
{
    Header header;
    for (int i = 0; i < count; ++i) {
        header.streams.push_back(
            descriptor("tag ", 0, 0, static_cast<uint16_t>(i + 1), {intAtom("nr  ", i)}));
    }
    return header;
}

TEST_F(ModifyTest, NineteenStreamsGiveNoWarning)
{
    const Header header = tagStreams(19);
    const std::string path = record("nineteen.kevo", header);

    const RunResult run = runModify(editArgs(18, 0, 5, path));

    expectRun(run, kSuccess, successText(18, 0, 5, header, path));
    EXPECT_EQ(readFile(path), expectedFile(withInt(header, 18, 0, 5)));
}

TEST_F(ModifyTest, TwentyStreamsAreWarnedAboutAndAllKept)
{
    const Header header = tagStreams(20);
    const std::string path = record("twenty.kevo", header);

    const RunResult run = runModify(editArgs(19, 0, 5, path));

    const Header after = withInt(header, 19, 0, 5);
    expectRun(run, kSuccess,
              optionInfo(19, 0, 5) + streamLimitWarnings(20) + bannerLine() + dump(header, path) +
                  readerLimitWarning(20) + dump(after, path));
    EXPECT_EQ(readFile(path), expectedFile(after));
}

// Both sensor boards, a second PAV2 source, SiRF GPS and camera streams: the
// decoder sets up all of its parts over this header. Its board lookups read
// the header but must leave what is written back alone. The 'c' atom 'mic '
// has a single payload byte, which the lookup must not read past.
Header sensorHeader()
{
    Header header;
    header.metas = {intAtom("bdnr", 9)};
    header.streams = {
        descriptor("pav2", 0, 40, 1,
               {intAtom("intr", 4), byteAtom("mic ", 8), intAtom("acc ", 100), intAtom("bar ", 10),
                intAtom("hum ", 2), intAtom("dals", 5), intAtom("wd01", 0x10003)}),
        descriptor("mic ", 0, 80, 2, {intAtom("mics", 800)}),
        descriptor("rok ", 0, 60, 3,
               {intAtom("intr", 2), intAtom("gyro", 100), intAtom("mag ", 50), intAtom("powr", 1)}),
        descriptor("sgps", 0, 0, 4, {}),
        descriptor("cams", 0, 0, 5, {rawAtom("lens", 'x', {1})}),
    };
    return header;
}

TEST_F(ModifyTest, SensorBoardSetUpDoesNotChangeWhatIsWritten)
{
    const Header header = sensorHeader();
    const std::string path = record("sensors.kevo", header, 8192);

    const RunResult run = runModify(editArgs(2, 1, 200, path));

    expectRun(run, kSuccess, successText(2, 1, 200, header, path));
    EXPECT_EQ(readFile(path), expectedFile(withInt(header, 2, 1, 200)));
}

TEST_F(ModifyTest, BoardAtomsAmongTheFileLevelAtomsCanBeEdited)
{
    Header header;
    header.metas = {intAtom("intr", 4), intAtom("acc ", 100), intAtom("powr", 1)};
    header.streams = {descriptor("gps ", 0, 0, 1, {})};
    const std::string path = record("old-style.kevo", header);

    const RunResult run = runModify(editArgs(kFileLevel, 1, 50, path));

    expectRun(run, kSuccess, successText(kFileLevel, 1, 50, header, path));
    EXPECT_EQ(readFile(path), expectedFile(withInt(header, kFileLevel, 1, 50)));
}

}  // namespace
}  // namespace kevo_modify_test
