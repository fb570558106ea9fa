// Files and requests that kevo-modify refuses: what it prints, its exit
// status, and that the file is left exactly as it was.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "tests/modify_harness.h"

namespace kevo_modify_test {
namespace {

using kevo_test::appendText;
using kevo_test::byteAtom;
using kevo_test::concat;
using kevo_test::encode;
using kevo_test::intAtom;
using kevo_test::packetBytes;
using kevo_test::rawAtom;
using kevo_test::readFile;
using kevo_test::writeFile;

class RejectedInputTest : public ::testing::Test {
protected:
    std::string store(const std::string& name, const Bytes& bytes)
    {
        const std::string path = dir_.path(name);
        writeFile(path, bytes);
        return path;
    }

    kevo_test::TempDir dir_;
};

std::string invalidHeaderRun(int32_t stream, int32_t meta, int32_t value)
{
    return optionInfo(stream, meta, value) + invalidHeaderLine() + badReaderTail();
}

TEST_F(RejectedInputTest, MissingFileIsReportedAndNotCreated)
{
    const std::string path = dir_.path("absent.kevo");

    const RunResult run = runModify(editArgs(0, 0, 1, path));

    expectRun(run, kFailed, optionInfo(0, 0, 1) + openFailedLines(path) + badReaderTail());
    struct stat info;
    EXPECT_NE(stat(path.c_str(), &info), 0);
}

TEST_F(RejectedInputTest, FileThatIsNotKevoIsLeftAlone)
{
    Bytes text;
    appendText(text, "time,lat,lon\n0,51.5,-0.12\n1,51.6,-0.13\n2,51.7,-0.14\n");
    const std::string path = store("track.csv", text);

    const RunResult run = runModify(editArgs(0, 0, 1, path));

    expectRun(run, kFailed, invalidHeaderRun(0, 0, 1));
    EXPECT_EQ(readFile(path), text);
}

// Small, but with a file-level atom, a stream, atoms of three types and an
// empty payload last, so that a cut falls inside every kind of field.
Header smallHeader()
{
    Header header;
    header.headerValue = 0x1122334455667788u;
    header.metas = {byteAtom("wxyz", 7)};
    header.streams = {
        descriptor("ltln", 5, 12, 1, {intAtom("abcd", 42), rawAtom("none", 'x', {})}),
    };
    return header;
}

TEST_F(RejectedInputTest, HeaderCutAtEveryLengthIsRejected)
{
    const Bytes whole = encode(smallHeader());
    const std::string path = dir_.path("cut.kevo");
    for (size_t length = 0; length < whole.size(); ++length) {
        SCOPED_TRACE("header cut to " + std::to_string(length) + " of " +
                     std::to_string(whole.size()) + " bytes");
        const Bytes cut(whole.begin(), whole.begin() + static_cast<long>(length));
        writeFile(path, cut);

        expectRun(runModify(editArgs(0, 0, 1, path)), kFailed, invalidHeaderRun(0, 0, 1));
        EXPECT_EQ(readFile(path), cut);
    }
}

// Bytes of a 24-byte header with the given counts, padded with `extra` zero
// bytes that could not hold what the counts claim.
Bytes countsOnly(int32_t metaCount, int32_t streamCount, size_t extra)
{
    Header header;
    header.declaredMetaCount = metaCount;
    header.declaredStreamCount = streamCount;
    Bytes bytes = encode(header);
    bytes.resize(bytes.size() + extra, 0);
    return bytes;
}

Bytes withVersion(uint32_t version)
{
    Header header = smallHeader();
    header.version = version;
    return encode(header);
}

Bytes withMagic(const std::string& magic)
{
    Header header = smallHeader();
    header.magic = magic;
    return encode(header);
}

Bytes fileAtomLength(int32_t declared, Bytes payload)
{
    Header header;
    kevo_test::Atom atom = rawAtom("size", 'i', std::move(payload));
    atom.declaredLength = declared;
    header.metas = {atom};
    return concat(encode(header), packetBytes(64));
}

Bytes streamAtomCount(int32_t declared)
{
    Header header;
    Stream stream = descriptor("gps ", 0, 0, 1, {intAtom("abcd", 1)});
    stream.declaredMetaCount = declared;
    header.streams = {stream};
    return concat(encode(header), packetBytes(64));
}

TEST_F(RejectedInputTest, HostileHeadersAreRejected)
{
    struct Case {
        const char* name;
        Bytes bytes;
    };
    const std::vector<Case> cases = {
        {"version 1", withVersion(1)},
        {"version 3", withVersion(3)},
        {"lower-case magic", withMagic("kevo")},
        {"magic with its last byte changed", withMagic("KEVP")},
        {"two billion file-level atoms in 40 bytes", countsOnly(2000000000, 0, 16)},
        {"two billion streams in 40 bytes", countsOnly(0, 2000000000, 16)},
        {"largest file-level atom count", countsOnly(INT32_MAX, 0, 16)},
        {"two file-level atoms in the 17 bytes left", countsOnly(2, 0, 13)},
        {"two streams in the 31 bytes left", countsOnly(0, 2, 16 + 15)},
        {"atom length beyond the end of the file", fileAtomLength(INT32_MAX, {1, 2, 3, 4})},
        {"atom length -1", fileAtomLength(-1, {})},
        {"atom length -4 before four bytes", fileAtomLength(-4, {1, 2, 3, 4})},
        {"lowest atom length", fileAtomLength(INT32_MIN, {1, 2, 3, 4})},
        {"a billion atoms in one stream", streamAtomCount(1000000000)},
        {"largest atom count in one stream", streamAtomCount(INT32_MAX)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = store("hostile.kevo", c.bytes);

        expectRun(runModify(editArgs(0, 0, 1, path)), kFailed, invalidHeaderRun(0, 0, 1));
        EXPECT_EQ(readFile(path), c.bytes);
    }
}

Header threeStreams()
{
    Header header;
    header.metas = {intAtom("rate", 1), byteAtom("chan", 2), rawAtom("temp", 'f', {0, 0, 0, 0})};
    header.streams = {
        descriptor("gps ", 0, 0, 1, {intAtom("abcd", 42), byteAtom("mode", 3)}),
        descriptor("clck", 0, 0, 2, {}),
        descriptor("tag ", 0, 0, 3,
               {rawAtom("shrt", 'i', {1, 2}), rawAtom("emty", 'i', {}), rawAtom("what", 'q', {9})}),
    };
    return header;
}

class RefusedRequestTest : public RejectedInputTest {
protected:
    void SetUp() override
    {
        original_ = concat(encode(threeStreams()), packetBytes(300));
        path_ = store("three.kevo", original_);
    }

    // The run of a request that is refused after the first dump.
    void expectRefused(int32_t stream, int32_t meta, const std::string& errorLines)
    {
        SCOPED_TRACE("stream " + std::to_string(stream) + ", meta " + std::to_string(meta));
        expectRun(runModify(editArgs(stream, meta, 1000, path_)), kFailed,
                  optionInfo(stream, meta, 1000) + bannerLine() + dump(threeStreams(), path_) +
                      errorLines);
        EXPECT_EQ(readFile(path_), original_);
    }

    std::string path_;
    Bytes original_;
};

TEST_F(RefusedRequestTest, StreamNumberOutOfRange)
{
    expectRefused(3, 0,
                  "# ERROR: StreamID not found inside KEVO header, requested 3, max streamID 3\n");
    expectRefused(-3, 0,
                  "# ERROR: StreamID not found inside KEVO header, requested -3, max streamID 3\n");
    expectRefused(2147483647, 0,
                  "# ERROR: StreamID not found inside KEVO header, requested 2147483647, max "
                  "streamID 3\n");
}

TEST_F(RefusedRequestTest, MetaNumberOutOfRange)
{
    expectRefused(0, 2,
                  "# ERROR: metaID not found inside KEVO header, requested 2, max metaID 2 for "
                  "streamID 0\n");
    expectRefused(1, 0,
                  "# ERROR: metaID not found inside KEVO header, requested 0, max metaID 0 for "
                  "streamID 1\n");
    expectRefused(2, -5,
                  "# ERROR: metaID not found inside KEVO header, requested -5, max metaID 3 for "
                  "streamID 2\n");
    expectRefused(kFileLevel, 3,
                  "# ERROR: metaID not found inside KEVO header, requested 3, max metaID 3 for "
                  "streamID -1\n");
}

TEST_F(RefusedRequestTest, AtomOfAnotherTypeIsNotEdited)
{
    const std::string notInt = "# ERROR: metaID type is not 'i', modification not supported\n";
    expectRefused(0, 1, notInt + "# ERROR: streamID 0, metaID 1, is of type c\n");
    expectRefused(kFileLevel, 1, notInt + "# ERROR: streamID -1, metaID 1, is of type c\n");
    expectRefused(kFileLevel, 2, notInt + "# ERROR: streamID -1, metaID 2, is of type f\n");
    expectRefused(2, 2, notInt + "# ERROR: streamID 2, metaID 2, is of type q\n");
}

TEST_F(RefusedRequestTest, IntAtomWithShortPayloadIsNotEdited)
{
    expectRefused(2, 0, "# ERROR: streamID 2, metaID 0, has a 2 byte payload, type 'i' needs 4\n");
    expectRefused(2, 1, "# ERROR: streamID 2, metaID 1, has a 0 byte payload, type 'i' needs 4\n");
}

TEST_F(RefusedRequestTest, FileThatCannotBeReopenedForWritingIsLeftAlone)
{
    if (geteuid() == 0) {
        GTEST_SKIP() << "the superuser can write to a read-only file";
    }
    ASSERT_EQ(chmod(path_.c_str(), 0444), 0);

    expectRun(runModify(editArgs(0, 0, 1000, path_)), kFailed,
              optionInfo(0, 0, 1000) + bannerLine() + dump(threeStreams(), path_) +
                  openFailedLines(path_));
    EXPECT_EQ(readFile(path_), original_);
}

}  // namespace
}  // namespace kevo_modify_test
