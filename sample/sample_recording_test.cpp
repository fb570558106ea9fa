#include "sample/sample_recording.h"

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <utility>

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/kevo_bytes.h"

namespace {

using kevo_test::Bytes;
using kevo_test::TempDir;

constexpr int32_t kDefaultAtoms = KEVO_SAMPLE_DEFAULT_ATOMS;
constexpr int64_t kDefaultHeaderBytes = 748;
constexpr int64_t kIntAtomBytes = 13;  // 9 bytes of id, type and length, 4 of payload
constexpr kevo_sampleOverwrite kKeep = KEVO_SAMPLE_KEEP_EXISTING;

// Reads the header at the start of `path`; `consumed` is where the reader
// stopped, the first byte of packet data.
int readHeaderFrom(const std::string& path, kevo_file* record, long* consumed)
{
    if (!kevo_open(record, path.c_str(), "r")) {
        return 0;
    }
    const int ok = kevo_readHeader(record);
    *consumed = std::ftell(record->file);
    kevo_close(record);
    return ok;
}

void writeHeaderTo(const std::string& path, const kevo_file& record)
{
    FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    kevo_writeHeader(out, &record);
    std::fclose(out);
}

int32_t totalAtoms(const kevo_file& record)
{
    int32_t total = record.metaCount;
    for (int32_t i = 0; i < record.streamCount; ++i) {
        total += record.streams[i].metaCount;
    }
    return total;
}

void expectSameAtom(const kevo_atom& actual, const kevo_atom& expected)
{
    EXPECT_EQ(actual.id, expected.id);
    EXPECT_EQ(actual.type, expected.type);
    ASSERT_EQ(actual.length, expected.length);
    EXPECT_EQ(Bytes(actual.data, actual.data + actual.length),
              Bytes(expected.data, expected.data + expected.length));
}

// FNV-1a over the bytes: any changed byte changes it.
uint64_t fingerprint(const Bytes& bytes)
{
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (uint8_t byte : bytes) {
        hash = (hash ^ byte) * 0x100000001b3ULL;
    }
    return hash;
}

int writeSample(const std::string& path, long long packetBytes, kevo_sampleSummary* summary)
{
    return kevo_writeSampleRecording(path.c_str(), packetBytes, kDefaultAtoms, kKeep, summary);
}

Bytes expectedPackets(size_t size)
{
    Bytes packets(size);
    uint32_t state = KEVO_SAMPLE_PACKET_SEED;
    kevo_fillSamplePackets(packets.data(), packets.size(), &state);
    return packets;
}

class SampleHeader : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(kevo_buildSampleHeader(&record), 1); }

    kevo_file record{};
};

TEST_F(SampleHeader, ReadsBackAndRewritesToTheSameBytes)
{
    TempDir dir;
    writeHeaderTo(dir.path("first"), record);

    kevo_file reread{};
    long consumed = -1;
    ASSERT_EQ(readHeaderFrom(dir.path("first"), &reread, &consumed), 1);
    EXPECT_EQ(consumed, kevo_sampleHeaderBytes(&record));
    writeHeaderTo(dir.path("second"), reread);

    const Bytes first = kevo_test::readFile(dir.path("first"));
    EXPECT_EQ(static_cast<int64_t>(first.size()), kevo_sampleHeaderBytes(&record));
    EXPECT_EQ(kevo_test::readFile(dir.path("second")), first);
}

// The usage examples edit stream 0, meta 1 and the first file-level atom,
// and show the refusal of a 'c' atom at file level.
TEST_F(SampleHeader, KeepsTheAtomsTheUsageExamplesEdit)
{
    ASSERT_GE(record.streamCount, 1);
    const kevo_stream& first = record.streams[0];
    EXPECT_EQ(first.id, kevo_fourcc("pav2"));
    ASSERT_GE(first.metaCount, 2);
    EXPECT_EQ(first.metas[1].id, kevo_fourcc("mic "));
    EXPECT_EQ(first.metas[1].type, static_cast<uint32_t>('i'));
    EXPECT_EQ(first.metas[1].length, 4);

    ASSERT_GE(record.metaCount, 3);
    EXPECT_EQ(record.metas[0].type, static_cast<uint32_t>('i'));
    EXPECT_EQ(record.metas[2].type, static_cast<uint32_t>('c'));
}

TEST_F(SampleHeader, CarriesBothBoardsForTheDecoder)
{
    ASSERT_EQ(kevo_findPav2Board(&record), 1);
    EXPECT_GT(record.pav2Board.interruptCount, 0);
    EXPECT_EQ(record.pav2Board.micHz, 800);
    EXPECT_GT(record.pav2Board.accelerometerHz, 0);
    EXPECT_GT(record.pav2Board.power, 0);

    ASSERT_EQ(kevo_findRokBoard(&record), 1);
    EXPECT_GT(record.rokBoard.interruptCount, 0);
    EXPECT_EQ(record.rokBoard.gyroHz, 100);
    EXPECT_EQ(record.rokBoard.magnetometerHz, 20);

    // Calibration words are 16-bit on the board; a wider one would lose bits
    // in the unpacking.
    for (int32_t word : {record.pav2Board.calibrationWord1, record.pav2Board.calibrationWord2,
                         record.pav2Board.calibrationWord3, record.pav2Board.calibrationWord4,
                         record.rokBoard.calibrationWord1, record.rokBoard.calibrationWord4}) {
        EXPECT_GE(word, 0);
        EXPECT_LE(word, 0xFFFF);
    }
}

TEST_F(SampleHeader, StreamsAreKnownDistinctAndWithinTheReaderLimit)
{
    EXPECT_LE(record.streamCount, 19);
    std::set<uint32_t> symbols;
    std::set<int32_t> kinds;
    bool opaqueAtom = false;
    for (int32_t i = 0; i < record.streamCount; ++i) {
        const kevo_stream& stream = record.streams[i];
        EXPECT_TRUE(symbols.insert(stream.symbolID).second) << "symbol ID " << stream.symbolID;
        EXPECT_NE(stream.kind, KEVO_KIND_UNKNOWN_RAW) << "stream " << i;
        EXPECT_EQ(stream.kind, kevo_streamKindOf(stream.id));
        EXPECT_EQ(stream.packetSize, kevo_packetSizeOf(stream.id, stream.packetSize));
        EXPECT_EQ(stream.present, 1u);
        kinds.insert(stream.kind);
        for (int32_t j = 0; j < stream.metaCount; ++j) {
            opaqueAtom |= stream.metas[j].type != 'i' && stream.metas[j].type != 'c';
        }
    }
    EXPECT_TRUE(opaqueAtom);
    for (int32_t kind : {KEVO_KIND_PAV2, KEVO_KIND_MIC, KEVO_KIND_ROK, KEVO_KIND_SIRF_GPS,
                         KEVO_KIND_CAMERA, KEVO_KIND_LATLON}) {
        EXPECT_EQ(kinds.count(kind), 1u) << kevo_streamKindName(kind);
    }
}

// ---------------------------------------------------------------------------
// Headers of a chosen atom count

TEST(SampleHeaderOfAtoms, HoldsExactlyTheAtomsAskedForInTheSameStreams)
{
    for (int32_t count : {5, 10, 44, 45, 46, 54, 1000}) {
        kevo_file record{};
        ASSERT_EQ(kevo_buildSampleHeaderOf(&record, count), 1) << count;
        EXPECT_EQ(totalAtoms(record), count);
        EXPECT_EQ(record.streamCount, 9) << count;
        if (count >= kDefaultAtoms) {
            EXPECT_EQ(kevo_sampleHeaderBytes(&record),
                      kDefaultHeaderBytes + kIntAtomBytes * (count - kDefaultAtoms));
        }
    }
}

TEST(SampleHeaderOfAtoms, ReadsBackAndRewritesToTheSameBytes)
{
    TempDir dir;
    for (int32_t count : {5, 10, 1000}) {
        kevo_file record{};
        ASSERT_EQ(kevo_buildSampleHeaderOf(&record, count), 1);
        writeHeaderTo(dir.path("first"), record);

        kevo_file reread{};
        long consumed = -1;
        ASSERT_EQ(readHeaderFrom(dir.path("first"), &reread, &consumed), 1) << count;
        EXPECT_EQ(consumed, kevo_sampleHeaderBytes(&record)) << count;
        writeHeaderTo(dir.path("second"), reread);
        EXPECT_EQ(kevo_test::readFile(dir.path("second")), kevo_test::readFile(dir.path("first")));
    }
}

// 955 extra atoms over 9 streams: 106 each and one more for stream 0.
TEST(SampleHeaderOfAtoms, MoreKeepEveryDefaultAtomAndAppendNamedIntegers)
{
    kevo_file standard{};
    kevo_file larger{};
    ASSERT_EQ(kevo_buildSampleHeader(&standard), 1);
    ASSERT_EQ(kevo_buildSampleHeaderOf(&larger, 1000), 1);

    ASSERT_EQ(larger.metaCount, standard.metaCount);
    for (int32_t j = 0; j < standard.metaCount; ++j) {
        expectSameAtom(larger.metas[j], standard.metas[j]);
    }
    for (int32_t i = 0; i < standard.streamCount; ++i) {
        const kevo_stream& own = standard.streams[i];
        const kevo_stream& grown = larger.streams[i];
        EXPECT_EQ(grown.id, own.id);
        EXPECT_EQ(grown.symbolID, own.symbolID);
        ASSERT_EQ(grown.metaCount, own.metaCount + 106 + (i == 0 ? 1 : 0)) << "stream " << i;
        for (int32_t j = 0; j < own.metaCount; ++j) {
            expectSameAtom(grown.metas[j], own.metas[j]);
        }
        for (int32_t j = 0; j < grown.metaCount - own.metaCount; ++j) {
            const kevo_atom& extra = grown.metas[own.metaCount + j];
            EXPECT_EQ(extra.type, static_cast<uint32_t>('i'));
            ASSERT_EQ(extra.length, 4);
            EXPECT_EQ(kevo_getLE32Signed(extra.data), j);
        }
    }
    const kevo_stream& clock = larger.streams[5];
    EXPECT_EQ(clock.metas[1].id, kevo_fourcc("x000"));
    EXPECT_EQ(clock.metas[1 + 35].id, kevo_fourcc("x00z"));
    EXPECT_EQ(clock.metas[1 + 36].id, kevo_fourcc("x010"));
}

TEST(SampleHeaderOfAtoms, MoreLeaveTheBoardDescriptorsAsTheyWere)
{
    kevo_file standard{};
    kevo_file larger{};
    ASSERT_EQ(kevo_buildSampleHeader(&standard), 1);
    ASSERT_EQ(kevo_buildSampleHeaderOf(&larger, 100000), 1);
    for (kevo_file* record : {&standard, &larger}) {
        ASSERT_EQ(kevo_findPav2Board(record), 1);
        ASSERT_EQ(kevo_findRokBoard(record), 1);
    }
    EXPECT_EQ(std::memcmp(&larger.pav2Board, &standard.pav2Board, sizeof standard.pav2Board), 0);
    EXPECT_EQ(std::memcmp(&larger.rokBoard, &standard.rokBoard, sizeof standard.rokBoard), 0);
    EXPECT_EQ(std::memcmp(larger.pav2CalValues, standard.pav2CalValues,
                          sizeof standard.pav2CalValues),
              0);
}

TEST(SampleHeaderOfAtoms, FewerKeepTheFirstInHeaderOrderUpToTheEditedAtom)
{
    kevo_file standard{};
    ASSERT_EQ(kevo_buildSampleHeader(&standard), 1);
    for (int32_t count : {5, 10}) {
        kevo_file smaller{};
        ASSERT_EQ(kevo_buildSampleHeaderOf(&smaller, count), 1);
        ASSERT_EQ(smaller.metaCount, 3);
        ASSERT_EQ(smaller.streams[0].metaCount, count - 3);
        for (int32_t j = 0; j < count - 3; ++j) {
            expectSameAtom(smaller.streams[0].metas[j], standard.streams[0].metas[j]);
        }
        for (int32_t i = 1; i < smaller.streamCount; ++i) {
            EXPECT_EQ(smaller.streams[i].metaCount, 0) << count << " atoms, stream " << i;
            EXPECT_EQ(smaller.streams[i].id, standard.streams[i].id);
        }
    }
}

TEST(SampleHeaderOfAtoms, RefusesACountOutOfRangeAndLeavesTheRecordAlone)
{
    for (int32_t count : {-1, 0, KEVO_SAMPLE_MIN_ATOMS - 1, KEVO_SAMPLE_MAX_ATOMS + 1}) {
        kevo_file record{};
        EXPECT_EQ(kevo_buildSampleHeaderOf(&record, count), 0) << count;
        EXPECT_EQ(record.headerValue, 0u);
        EXPECT_EQ(record.metas, nullptr);
        EXPECT_EQ(record.streams, nullptr);
    }
}

TEST(SamplePackets, DoNotDependOnHowTheyAreCut)
{
    const Bytes whole = expectedPackets(10000);
    Bytes pieces(whole.size());
    uint32_t state = KEVO_SAMPLE_PACKET_SEED;
    for (size_t at = 0; at < pieces.size(); at += 7) {
        const size_t size = pieces.size() - at < 7 ? pieces.size() - at : 7;
        kevo_fillSamplePackets(pieces.data() + at, size, &state);
    }
    EXPECT_EQ(pieces, whole);
    EXPECT_NE(whole, Bytes(whole.size(), whole[0]));
}

TEST(SampleRecording, IsTheHeaderFollowedByThePacketBytes)
{
    TempDir dir;
    kevo_sampleSummary summary{};
    ASSERT_EQ(writeSample(dir.path("a"), 5000, &summary), 1);
    EXPECT_EQ(summary.streamCount, 9);
    EXPECT_EQ(summary.packetBytes, 5000);

    kevo_file record{};
    long consumed = -1;
    ASSERT_EQ(readHeaderFrom(dir.path("a"), &record, &consumed), 1);
    EXPECT_EQ(consumed, summary.headerBytes);

    const Bytes file = kevo_test::readFile(dir.path("a"));
    ASSERT_EQ(static_cast<int64_t>(file.size()), summary.headerBytes + 5000);
    EXPECT_EQ(Bytes(file.begin() + consumed, file.end()), expectedPackets(5000));
}

TEST(SampleRecording, IsTheSameOnEveryRunAndMayHoldNoPackets)
{
    TempDir dir;
    kevo_sampleSummary summary{};
    ASSERT_EQ(writeSample(dir.path("a"), 9000, &summary), 1);
    ASSERT_EQ(writeSample(dir.path("b"), 9000, &summary), 1);
    EXPECT_EQ(kevo_test::readFile(dir.path("a")), kevo_test::readFile(dir.path("b")));

    ASSERT_EQ(writeSample(dir.path("c"), 0, &summary), 1);
    EXPECT_EQ(static_cast<int64_t>(kevo_test::readFile(dir.path("c")).size()), summary.headerBytes);
}

TEST(SampleRecording, RefusesAPacketCountOutOfRangeBeforeCreatingAnything)
{
    TempDir dir;
    kevo_sampleSummary summary{};
    for (long long count : {-1LL, KEVO_SAMPLE_MAX_PACKET_BYTES + 1}) {
        errno = 0;
        const std::string path = dir.path("a");
        EXPECT_EQ(kevo_writeSampleRecording(path.c_str(), count, kDefaultAtoms, kKeep, &summary), 0)
            << count;
        EXPECT_EQ(errno, EINVAL);
        EXPECT_NE(access(dir.path("a").c_str(), F_OK), 0);
    }
}

TEST(SampleRecording, RefusesAnAtomCountOutOfRangeBeforeCreatingAnything)
{
    TempDir dir;
    kevo_sampleSummary summary{};
    for (int32_t count : {KEVO_SAMPLE_MIN_ATOMS - 1, KEVO_SAMPLE_MAX_ATOMS + 1}) {
        errno = 0;
        EXPECT_EQ(kevo_writeSampleRecording(dir.path("a").c_str(), 10, count, kKeep, &summary), 0);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_NE(access(dir.path("a").c_str(), F_OK), 0) << count;
    }
}

// The README's example output and the whole-program tests were taken from
// this recording; any change to a byte of it shows here.
TEST(SampleRecording, DefaultIsPinnedByteForByte)
{
    TempDir dir;
    kevo_sampleSummary summary{};
    ASSERT_EQ(writeSample(dir.path("a"), 100, &summary), 1);
    const Bytes file = kevo_test::readFile(dir.path("a"));
    EXPECT_EQ(file.size(), 848u);
    EXPECT_EQ(fingerprint(file), 0xdcfd27dd37c8f3a2ULL);
}

TEST(SampleRecording, ReportsAFullDevice)
{
    if (access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "no /dev/full here";
    }
    kevo_sampleSummary summary{};
    errno = 0;
    EXPECT_EQ(kevo_writeSampleRecording("/dev/full", 100000, kDefaultAtoms, KEVO_SAMPLE_OVERWRITE,
                                        &summary), 0);
    EXPECT_EQ(errno, ENOSPC);
}

// ---------------------------------------------------------------------------
// The program

const std::string kTryHelp = "Try 'kevo-sample --help' for more information.\n";

kevo_test::RunResult runSample(const std::vector<std::string>& args)
{
    return kevo_test::runProgram(KEVO_SAMPLE_PROGRAM, args);
}

TEST(KevoSampleProgram, WritesTheRecordingAndSaysSoOnOneLine)
{
    TempDir dir;
    const std::string path = dir.path("rec.kevo");
    const kevo_test::RunResult run = runSample({path, "100"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.standardError, "# INFO: wrote sample recording " + path +
                                     ": 9 streams, 748 header bytes, 100 packet bytes\n");
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_EQ(kevo_test::readFile(path).size(), 848u);
}

TEST(KevoSampleProgram, WritesSixtyFourKibibytesOfPacketsByDefault)
{
    TempDir dir;
    const kevo_test::RunResult run = runSample({dir.path("rec.kevo")});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(kevo_test::readFile(dir.path("rec.kevo")).size(), 748u + 65536u);
}

TEST(KevoSampleProgram, WritesToStandardOutputThroughADash)
{
    const kevo_test::RunResult run = runSample({"-", "10"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.standardError,
              "# INFO: wrote sample recording -: 9 streams, 748 header bytes, 10 packet bytes\n");
    ASSERT_EQ(run.standardOutput.size(), 758u);
    EXPECT_EQ(run.standardOutput.substr(0, 8), std::string("KEVO\x02\0\0\0", 8));
}

TEST(KevoSampleProgram, RefusesAWrongOperandCountOrAtomsOptionAsAUsageError)
{
    for (const auto& [args, complaint] :
         {std::pair{std::vector<std::string>{}, "missing output path"},
          std::pair{std::vector<std::string>{"a", "1", "b"}, "extra operand 'b'"},
          std::pair{std::vector<std::string>{"a", "--atoms"},
                    "option '--atoms' requires an argument"},
          std::pair{std::vector<std::string>{"--atoms", "10", "a", "--atoms", "10"},
                    "option '--atoms' given twice"}}) {
        const kevo_test::RunResult run = runSample(args);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.standardError, "kevo-sample: " + std::string(complaint) + "\n" + kTryHelp);
    }
}

TEST(KevoSampleProgram, TakesTheAtomCountBeforeOrAfterThePath)
{
    TempDir dir;
    const std::string before = dir.path("before.kevo");
    const std::string after = dir.path("after.kevo");
    const kevo_test::RunResult first = runSample({"--atoms", "1000", before, "0"});
    const kevo_test::RunResult second = runSample({after, "0", "--atoms", "1000"});
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(first.standardError, "# INFO: wrote sample recording " + before +
                                       ": 9 streams, 13163 header bytes, 0 packet bytes\n");
    EXPECT_EQ(kevo_test::readFile(before).size(), 13163u);
    EXPECT_EQ(kevo_test::readFile(after), kevo_test::readFile(before));
}

// Counts are plain digits within range: a sign, blanks or a suffix are more
// likely a slip than intent.
TEST(KevoSampleProgram, RefusesACountThatIsNotPlainDigitsInRange)
{
    TempDir dir;
    const std::string path = dir.path("rec.kevo");
    const struct {
        std::vector<std::string> args;  // the count follows
        std::vector<const char*> counts;
        std::string expected;
    } cases[] = {
        {{"--atoms"},
         {"", "4", "4000001", "1e3", "-5", "99999999999999999999"},
         "atoms must be a whole number from 5 to 4000000, not '"},
        // "--", or "-5" would be an option.
        {{"--", path},
         {"", "12k", "-5", "+5", " 5", "1073741825", "99999999999999999999"},
         "packet bytes must be a whole number from 0 to 1073741824, not '"},
    };
    for (const auto& c : cases) {
        for (const char* count : c.counts) {
            std::vector<std::string> args = c.args;
            args.push_back(count);
            if (args[0] == "--atoms") {
                args.push_back(path);
            }
            const kevo_test::RunResult run = runSample(args);
            EXPECT_EQ(run.status, 2) << count;
            EXPECT_EQ(run.standardError, "kevo-sample: " + c.expected + count + "'\n" + kTryHelp);
            EXPECT_NE(access(path.c_str(), F_OK), 0) << count;
        }
    }
}

TEST(KevoSampleProgram, ExplainsAPathItCannotOpen)
{
    TempDir dir;
    const std::string path = dir.path("missing/rec.kevo");
    const kevo_test::RunResult run = runSample({path, "10"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.standardError, "kevo-sample: " + path + ": No such file or directory\n");
}

// OLD is a file already there, NEW a free name, LINK a dangling link to NEW:
// a look before the open would find nothing at LINK and create NEW.
struct CommandLineCase {
    std::vector<std::string> args;
    int status;
    std::string outputStart;  // the first five bytes of standard output
    std::string standardError;
    size_t oldBytes;  // OLD's size afterwards
};

const std::string kWroteTen = ": 9 streams, 748 header bytes, 10 packet bytes\n";

const CommandLineCase kCommandLineCases[] = {
    {{"--help", "OLD"}, 0, "Usage", "", 3},
    {{"-h"}, 0, "Usage", "", 3},
    {{"--version"}, 0, "kevo-", "", 3},
    {{"--frobnicate", "NEW"}, 2, "", "kevo-sample: invalid option '--frobnicate'\n" + kTryHelp, 3},
    {{"NEW", "-x"}, 2, "", "kevo-sample: invalid option -- 'x'\n" + kTryHelp, 3},
    {{"--help=me"}, 2, "", "kevo-sample: invalid option '--help=me'\n" + kTryHelp, 3},
    {{"OLD", "10"}, 1, "", "kevo-sample: OLD: File exists\n", 3},
    {{"LINK", "10"}, 1, "", "kevo-sample: LINK: File exists\n", 3},
    {{"OLD", "10", "--force"}, 0, "", "# INFO: wrote sample recording OLD" + kWroteTen, 758},
    {{"-", "10"}, 0, "KEVO\x02", "# INFO: wrote sample recording -" + kWroteTen, 3},
};

TEST(KevoSampleProgram, FollowsTheCommandLineConventionsOfGnuTools)
{
    for (const CommandLineCase& entry : kCommandLineCases) {
        SCOPED_TRACE(::testing::PrintToString(entry.args));
        TempDir dir;
        kevo_test::writeFile(dir.path("OLD"), {'o', 'l', 'd'});
        ASSERT_EQ(symlink(dir.path("NEW").c_str(), dir.path("LINK").c_str()), 0);
        std::vector<std::string> args;
        for (const std::string& arg : entry.args) {
            args.push_back(arg == "OLD" || arg == "NEW" || arg == "LINK" ? dir.path(arg) : arg);
        }
        const kevo_test::RunResult run = runSample(args);
        EXPECT_EQ(run.status, entry.status);
        EXPECT_EQ(run.standardOutput.substr(0, 5), entry.outputStart);
        std::string error = run.standardError;
        for (size_t at; (at = error.find(dir.path(""))) != std::string::npos;) {
            error.erase(at, dir.path("").size());
        }
        EXPECT_EQ(error, entry.standardError);
        EXPECT_EQ(kevo_test::readFile(dir.path("OLD")).size(), entry.oldBytes);
        EXPECT_NE(access(dir.path("NEW").c_str(), F_OK), 0);
    }
}

}  // namespace
