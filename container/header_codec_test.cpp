#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "container/kevo_container.h"
#include "tests/support/kevo_bytes.h"

using namespace kevo_test;

namespace {

// A header with something of everything: file-level atoms of three types,
// streams whose packet sizes are forced and kept, an empty payload.
Header variedHeader()
{
    Header header;
    header.headerValue = 0x0102030405060708ull;
    header.metas = {intAtom("strt", 1700000000), byteAtom("frmt", 3),
                    rawAtom("name", 's', {'d', 'e', 'v'})};
    header.streams = {
        Stream{"pav2", 7, 40, 1, {intAtom("intr", 5), intAtom("mic ", 800)}, std::nullopt},
        Stream{"ltln", 0, 12, 2, {}, std::nullopt},
        Stream{"rok ", 9, 30, 3, {intAtom("gyro", 100), rawAtom("none", 'i', {})}, std::nullopt},
    };
    return header;
}

struct Parsed {
    int result = 0;
    long consumed = 0;
};

// Parses bytes through a regular file, so the reader knows the size.
Parsed parseFile(const Bytes& bytes, kevo_file& record)
{
    record.file = std::tmpfile();
    if (!bytes.empty()) {
        std::fwrite(bytes.data(), 1, bytes.size(), record.file);
    }
    std::rewind(record.file);
    Parsed parsed;
    parsed.result = kevo_readHeader(&record);
    parsed.consumed = std::ftell(record.file);
    return parsed;
}

// Parses bytes through a stream whose size the reader cannot know.
int parseUnsized(const Bytes& bytes, kevo_file& record)
{
    record.file = fmemopen(const_cast<uint8_t*>(bytes.data()), bytes.size(), "rb");
    return kevo_readHeader(&record);
}

Bytes written(const kevo_file& record, int* result = nullptr)
{
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    const int wrote = kevo_writeHeader(out, &record);
    if (result) {
        *result = wrote;
    }
    std::fclose(out);
    Bytes bytes(buffer, buffer + size);
    std::free(buffer);
    return bytes;
}

bool holdsNoHeader(const kevo_file& record)
{
    return record.streamCount == 0 && record.streams == nullptr && record.metaCount == 0 &&
           record.metas == nullptr;
}

// Where each part of variedHeader() stands, counted by hand from the
// layout: 20 fixed bytes, then strt at 20, frmt at 33, name at 43; the stream
// count at 55; 'pav2' at 59 with intr at 75 and mic at 88; 'ltln' at 101;
// 'rok ' at 117 with gyro at 133 and none at 146; 155 bytes in all.
const std::vector<uint64_t> kLayout = {20, 33, 43, 55, 59, 75, 88, 101, 117, 133, 146, 155};

std::vector<uint64_t> offsetsOf(const kevo_file& record)
{
    std::vector<uint64_t> out;
    for (int32_t j = 0; j < record.metaCount; ++j) {
        out.push_back(record.metas[j].offset);
    }
    out.push_back(record.streamCountOffset);
    for (int32_t i = 0; i < record.streamCount; ++i) {
        out.push_back(record.streams[i].offset);
        for (int32_t j = 0; j < record.streams[i].metaCount; ++j) {
            out.push_back(record.streams[i].metas[j].offset);
        }
    }
    out.push_back(record.headerBytes);
    return out;
}

void readInto(kevo_file& record, FILE* stream)
{
    record.file = stream;
    ASSERT_EQ(kevo_readHeader(&record), 1);
    kevo_close(&record);
}

void readVariedHeader(kevo_file& record)
{
    const Bytes bytes = concat(encode(variedHeader()), packetBytes(64));
    FILE* file = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    readInto(record, file);
}

}  // namespace

TEST(HeaderCodec, SmallestHeaderReadsAndWritesBackTheSame24Bytes)
{
    Header header;
    header.headerValue = 0xA1A2A3A4A5A6A7A8ull;
    const Bytes bytes = encode(header);
    ASSERT_EQ(bytes.size(), 24u);

    kevo_file record{};
    const Parsed parsed = parseFile(bytes, record);
    EXPECT_EQ(parsed.result, 1);
    EXPECT_EQ(parsed.consumed, 24);
    EXPECT_EQ(record.headerValue, 0xA1A2A3A4A5A6A7A8ull);
    EXPECT_TRUE(holdsNoHeader(record));
    EXPECT_EQ(written(record), bytes);
}

TEST(HeaderCodec, WriterProducesTheDocumentedBytes)
{
    kevo_file record{};
    record.headerValue = 0x1122334455667788ull;
    uint8_t payload[4] = {0x2A, 0, 0, 0};
    kevo_atom atom{kevo_fourcc("abcd"), 'i', 4, payload, 0};
    kevo_stream stream{KEVO_KIND_GPS, kevo_fourcc("gps "), 0xCAFEBABE, 0x1234, 0x0001, 1, &atom, 1,
                       0, 0};
    record.streamCount = 1;
    record.streams = &stream;

    const Bytes expected = {
        'K', 'E', 'V', 'O',                              // magic
        0x02, 0x00, 0x00, 0x00,                          // version
        0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,  // headerValue
        0x00, 0x00, 0x00, 0x00,                          // file-level atom count
        0x01, 0x00, 0x00, 0x00,                          // stream count
        'g', 'p', 's', ' ',                              // stream id
        0xBE, 0xBA, 0xFE, 0xCA,                          // streamParam
        0x34, 0x12,                                      // packetSize
        0x01, 0x00,                                      // symbolID
        0x01, 0x00, 0x00, 0x00,                          // atom count
        'a', 'b', 'c', 'd',                              // atom id
        'i',                                             // atom type
        0x04, 0x00, 0x00, 0x00,                          // atom length
        0x2A, 0x00, 0x00, 0x00,                          // payload
    };
    EXPECT_EQ(written(record), expected);
    // The record borrowed stack memory; nothing of it is the record's to free.
    record.streams = nullptr;
    record.streamCount = 0;
}

TEST(HeaderCodec, RoundTripKeepsEveryByteButForcedPacketSizes)
{
    const Bytes bytes = encode(variedHeader());
    kevo_file record{};
    const Parsed parsed = parseFile(concat(bytes, packetBytes(50)), record);
    ASSERT_EQ(parsed.result, 1);
    EXPECT_EQ(parsed.consumed, static_cast<long>(bytes.size()));

    ASSERT_EQ(record.streamCount, 3);
    EXPECT_EQ(record.streams[0].kind, KEVO_KIND_PAV2);
    EXPECT_EQ(record.streams[1].kind, KEVO_KIND_LATLON);
    EXPECT_EQ(record.streams[1].packetSize, 24u);
    EXPECT_EQ(record.streams[2].packetSize, 30u);
    EXPECT_EQ(record.streams[2].metas[1].length, 0);
    EXPECT_NE(record.streams[2].metas[1].data, nullptr);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(record.streams[i].present, 1u);
    }

    Header expected = variedHeader();
    expected.streams[1].packetSize = 24;
    EXPECT_EQ(written(record), encode(expected));
}

TEST(HeaderCodec, ForcedPacketSizesAndKinds)
{
    struct Case {
        const char* id;
        int32_t kind;
        uint32_t packetSize;
    };
    const Case cases[] = {
        {"pav ", KEVO_KIND_PAV, 74},         {"ltln", KEVO_KIND_LATLON, 24},
        {"ant8", KEVO_KIND_ANNOT, 5},        {"rok ", KEVO_KIND_ROK, 12},
        {"camf", KEVO_KIND_CAMERA_FILES, 12}, {"abcd", KEVO_KIND_UNKNOWN_RAW, 12},
        {"PAV ", KEVO_KIND_UNKNOWN_RAW, 12}, {"pav", KEVO_KIND_UNKNOWN_RAW, 12},
    };
    for (const Case& c : cases) {
        Header header;
        Stream stream{std::string(c.id), 0, 12, 0, {}, std::nullopt};
        stream.id.resize(4, '\0');
        header.streams = {stream};
        kevo_file record{};
        ASSERT_EQ(parseFile(encode(header), record).result, 1) << c.id;
        EXPECT_EQ(record.streams[0].kind, c.kind) << c.id;
        EXPECT_EQ(record.streams[0].packetSize, c.packetSize) << c.id;
        EXPECT_EQ(record.streams[0].packetSizeInFile, 12u) << c.id;
    }
    EXPECT_STREQ(kevo_streamKindName(KEVO_KIND_UNKNOWN_RAW), "UNKNOWN (RAW)");
    EXPECT_STREQ(kevo_streamKindName(3), "SIRF_GPS");
    EXPECT_STREQ(kevo_streamKindName(19), "CAMERA FILES");
    EXPECT_STREQ(kevo_streamKindName(21), "INVALID");
    EXPECT_STREQ(kevo_streamKindName(-1), "INVALID");
}

TEST(HeaderCodec, NegativeCountsReadAsEmptyAndWriteBackAsTheFormatSays)
{
    Header header;
    header.declaredMetaCount = -1;
    header.declaredStreamCount = -1;
    kevo_file record{};
    ASSERT_EQ(parseFile(encode(header), record).result, 1);
    EXPECT_EQ(record.metaCount, -1);
    EXPECT_EQ(record.streamCount, -1);
    EXPECT_EQ(record.metas, nullptr);
    EXPECT_EQ(record.streams, nullptr);

    // The file-level count is written as held, the stream count as the
    // number of streams really written.
    Header expected;
    expected.declaredMetaCount = -1;
    EXPECT_EQ(written(record), encode(expected));
}

TEST(HeaderCodec, WriterSkipsStreamsNotPresent)
{
    kevo_file record{};
    ASSERT_EQ(parseFile(encode(variedHeader()), record).result, 1);
    record.streams[1].present = 0;
    Header expected = variedHeader();
    expected.streams.erase(expected.streams.begin() + 1);
    EXPECT_EQ(written(record), encode(expected));
}

TEST(HeaderCodec, BadMagicOrVersionIsRejected)
{
    for (size_t i = 0; i < 4; ++i) {
        Header header;
        header.magic[i] = static_cast<char>(header.magic[i] ^ 0x20);  // letter case flipped
        kevo_file record{};
        EXPECT_EQ(parseFile(encode(header), record).result, 0) << header.magic;
    }
    for (uint32_t version : {0u, 1u, 3u, 0x02000000u}) {
        Header header;
        header.version = version;
        kevo_file record{};
        EXPECT_EQ(parseFile(encode(header), record).result, 0) << version;
    }
}

TEST(HeaderCodec, EveryTruncationIsRejectedAndLeavesNoHeader)
{
    const Bytes bytes = encode(variedHeader());
    for (size_t size = 0; size < bytes.size(); ++size) {
        const Bytes prefix(bytes.begin(), bytes.begin() + static_cast<long>(size));
        kevo_file sized{};
        EXPECT_EQ(parseFile(prefix, sized).result, 0) << size;
        EXPECT_TRUE(holdsNoHeader(sized)) << size;
        kevo_file unsized{};
        EXPECT_EQ(parseUnsized(prefix, unsized), 0) << size;
        EXPECT_TRUE(holdsNoHeader(unsized)) << size;
    }
}

TEST(HeaderCodec, HostileCountsAndLengthsAreRejected)
{
    struct Case {
        const char* name;
        Header header;
    };
    std::vector<Case> cases;
    {
        Header h;
        h.declaredMetaCount = 2000000000;
        cases.push_back({"two billion file-level atoms", h});
    }
    {
        Header h;
        h.declaredStreamCount = INT32_MAX;
        cases.push_back({"INT32_MAX streams", h});
    }
    {
        Header h;
        h.streams = {Stream{"rok ", 0, 0, 0, {}, 100000}};
        cases.push_back({"stream claims more atoms than follow", h});
    }
    {
        Header h;
        Atom atom = intAtom("big ", 1);
        atom.declaredLength = INT32_MAX;
        h.metas = {atom};
        cases.push_back({"atom length beyond the file", h});
    }
    {
        Header h;
        Atom atom = intAtom("neg ", 1);
        atom.declaredLength = -4;
        h.metas = {atom};
        cases.push_back({"negative atom length", h});
    }
    {
        Header h;
        Atom atom = intAtom("neg ", 1);
        atom.declaredLength = INT32_MIN;
        h.streams = {Stream{"pav2", 0, 0, 0, {atom}, std::nullopt}};
        cases.push_back({"lowest atom length in a stream", h});
    }
    for (const Case& c : cases) {
        const Bytes bytes = concat(encode(c.header), packetBytes(16));
        kevo_file sized{};
        EXPECT_EQ(parseFile(bytes, sized).result, 0) << c.name;
        EXPECT_TRUE(holdsNoHeader(sized)) << c.name;
        kevo_file unsized{};
        EXPECT_EQ(parseUnsized(bytes, unsized), 0) << c.name;
    }
}

TEST(HeaderCodec, CountsThatFitExactlyAreAccepted)
{
    // Nine bytes per atom is the least an atom can take: a count that
    // exactly fills the file must still be read.
    Header header;
    for (int i = 0; i < 5; ++i) {
        header.metas.push_back(rawAtom("zero", 'x', {}));
    }
    kevo_file record{};
    ASSERT_EQ(parseFile(encode(header), record).result, 1);
    EXPECT_EQ(record.metaCount, 5);
}

TEST(HeaderCodec, ReadAtomAloneReadsOneAtom)
{
    const Bytes bytes = concat(encodeAtom(intAtom("abcd", -5)), packetBytes(3));
    FILE* in = fmemopen(const_cast<uint8_t*>(bytes.data()), bytes.size(), "rb");
    kevo_atom atom{};
    ASSERT_EQ(kevo_readAtom(in, &atom), 1);
    EXPECT_EQ(atom.id, kevo_fourcc("abcd"));
    EXPECT_EQ(atom.type, static_cast<uint32_t>('i'));
    EXPECT_EQ(atom.length, 4);
    EXPECT_EQ(kevo_getLE32Signed(atom.data), -5);
    std::free(atom.data);
    std::fclose(in);
}

TEST(HeaderCodec, LargePayloadFromAnUnsizedStreamArrivesWhole)
{
    Bytes payload = packetBytes(300000, 7);
    Header header;
    header.metas = {rawAtom("blob", 'b', payload)};
    kevo_file record{};
    ASSERT_EQ(parseUnsized(encode(header), record), 1);
    ASSERT_EQ(record.metas[0].length, 300000);
    EXPECT_EQ(Bytes(record.metas[0].data, record.metas[0].data + 300000), payload);
}

TEST(HeaderCodec, HeaderOfManyReadBlocksReadsAsFromAPipeAndStopsAtItsEnd)
{
    // Far more than one read block, with payloads longer than a block.
    Header header;
    for (uint16_t i = 0; i < 3; ++i) {
        Stream stream{"pav2", 0, 0, i, {}, std::nullopt};
        for (int32_t j = 0; j < 300; ++j) {
            stream.atoms.push_back(intAtom("x000", i * j));
        }
        stream.atoms.push_back(rawAtom("blob", 'b', packetBytes(70000u + i, i)));
        header.streams.push_back(stream);
    }
    const Bytes bytes = encode(header);
    kevo_file sized{};
    const Parsed parsed = parseFile(concat(bytes, packetBytes(5000)), sized);
    ASSERT_EQ(parsed.result, 1);
    EXPECT_EQ(parsed.consumed, static_cast<long>(bytes.size()));
    EXPECT_EQ(written(sized), bytes);
    // A pipe cannot be moved back, so nothing past the header is read.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const Bytes piped = concat(bytes, packetBytes(5000));
    std::thread writer([&] {
        EXPECT_EQ(write(ends[1], piped.data(), piped.size()), static_cast<ssize_t>(piped.size()));
        close(ends[1]);
    });
    kevo_file unsized{};
    unsized.file = fdopen(ends[0], "rb");
    const int result = kevo_readHeader(&unsized);
    Bytes rest(piped.size());
    rest.resize(std::fread(rest.data(), 1, rest.size(), unsized.file));
    writer.join();
    ASSERT_EQ(result, 1);
    EXPECT_EQ(written(unsized), bytes);
    EXPECT_EQ(rest, packetBytes(5000));
    for (long size : {4095L, 4096L, 4097L, 61440L, static_cast<long>(bytes.size()) - 1}) {
        kevo_file cut{};
        EXPECT_EQ(parseFile(Bytes(bytes.begin(), bytes.begin() + size), cut).result, 0) << size;
    }
}

namespace {

// A one-stream header in the test's own memory, one atom at each level.
struct BorrowedHeader {
    uint8_t bytes[4] = {1, 0, 0, 0};
    kevo_atom fileAtom{kevo_fourcc("strt"), 'i', 4, bytes, 0};
    kevo_atom streamAtom{kevo_fourcc("intr"), 'i', 4, bytes, 0};
    kevo_stream stream{KEVO_KIND_ROK, kevo_fourcc("rok "), 0, 30, 1, 1, &streamAtom, 1, 0, 0};
    kevo_file record;

    BorrowedHeader()
    {
        record.metaCount = record.streamCount = 1;
        record.metas = &fileAtom;
        record.streams = &stream;
    }
    ~BorrowedHeader() { record.metas = nullptr; record.streams = nullptr; }
};

}  // namespace

// Over the start of a file, a header abandoned half-way or one that cannot
// read back destroys the recording: such a record writes nothing at all.
TEST(HeaderCodec, WriterRefusesARecordThatCouldNotReadBack)
{
    struct Case {
        const char* name;
        void (*spoil)(BorrowedHeader&);
        int result;
    };
    const Case cases[] = {
        {"as built", [](BorrowedHeader&) {}, 1},
        {"file-level atoms missing", [](BorrowedHeader& h) { h.record.metas = nullptr; }, 0},
        {"streams missing", [](BorrowedHeader& h) { h.record.streams = nullptr; }, 0},
        {"stream atoms missing", [](BorrowedHeader& h) { h.stream.metas = nullptr; }, 0},
        {"file-level payload missing", [](BorrowedHeader& h) { h.fileAtom.data = nullptr; }, 0},
        {"stream payload missing", [](BorrowedHeader& h) { h.streamAtom.data = nullptr; }, 0},
        {"negative atom length", [](BorrowedHeader& h) { h.streamAtom.length = -4; }, 0},
        {"empty payload, no buffer",
         [](BorrowedHeader& h) { h.fileAtom.length = 0; h.fileAtom.data = nullptr; }, 1},
        {"negative counts, no arrays",
         [](BorrowedHeader& h) { h.record.metaCount = -1; h.record.metas = nullptr; }, 1},
        {"stream not written",
         [](BorrowedHeader& h) { h.stream.present = 0; h.stream.metas = nullptr; }, 1},
    };
    for (const Case& c : cases) {
        BorrowedHeader header;
        c.spoil(header);
        int result = -1;
        const Bytes bytes = written(header.record, &result);
        EXPECT_EQ(result, c.result) << c.name;
        kevo_file readBack;
        EXPECT_EQ(parseFile(bytes, readBack).result, c.result) << c.name;
        EXPECT_EQ(bytes.empty(), c.result == 0) << c.name;
    }

    BorrowedHeader header;
    header.fileAtom.data = nullptr;
    FILE* out = std::tmpfile();
    EXPECT_EQ(kevo_writeAtom(out, &header.fileAtom), 0);
    EXPECT_EQ(kevo_writeAtom(out, nullptr), 0);
    EXPECT_EQ(kevo_writeHeader(out, nullptr), 0);
    EXPECT_EQ(kevo_writeHeader(nullptr, &header.record), 0);
    EXPECT_EQ(std::ftell(out), 0);
    std::fclose(out);
}

TEST(HeaderLayout, EachPartIsRecordedWhereItStands)
{
    kevo_file fromFile;
    readVariedHeader(fromFile);
    EXPECT_EQ(offsetsOf(fromFile), kLayout);

    // A pipe has no position: offsets count from the header's first byte.
    Bytes bytes = encode(variedHeader());
    kevo_file fromPipe;
    readInto(fromPipe, fmemopen(bytes.data(), bytes.size(), "rb"));
    EXPECT_EQ(offsetsOf(fromPipe), kLayout);

    // A header built in memory is placed where the writer puts each part.
    for (int32_t j = 0; j < fromFile.metaCount; ++j) {
        fromFile.metas[j].offset = 0;
    }
    fromFile.headerBytes = 0;
    ASSERT_EQ(kevo_placeHeader(&fromFile), 1);
    EXPECT_EQ(offsetsOf(fromFile), kLayout);
    fromFile.metas[0].length = -1;
    EXPECT_EQ(kevo_placeHeader(&fromFile), 0);
}

TEST(HeaderLayout, ChangesGoWhereTheRecordSaysOrNowhere)
{
    kevo_file record;
    readVariedHeader(record);
    kevo_putLE32(record.streams[0].metas[1].data, 1000);
    const kevo_atomPlace mic{0, 1};
    std::vector<kevo_headerRange> ranges;
    ASSERT_EQ(kevo_listHeaderChanges(&record, &mic, 1, KEVO_CHANGE_AS_REWRITE, &ranges), 1);
    // mic's payload at 97, then the packet size of 'ltln' (held as 24) at 109.
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[0].offset, 97u);
    EXPECT_EQ(Bytes(ranges[0].bytes, ranges[0].bytes + ranges[0].size), Bytes({0xE8, 3, 0, 0}));
    EXPECT_EQ(ranges[1].offset, 109u);
    EXPECT_EQ(Bytes(ranges[1].bytes, ranges[1].bytes + ranges[1].size), Bytes({24, 0}));
    const kevo_atomPlace twice[] = {mic, mic};
    ASSERT_EQ(kevo_listHeaderChanges(&record, twice, 2, KEVO_CHANGE_PAYLOADS_ONLY, &ranges), 1);
    EXPECT_EQ(ranges.size(), 1u);

    const struct {
        const char* name;
        kevo_atomPlace place;
        std::function<void(kevo_file&)> spoil;
    } refused[] = {
        {"a length changed since the read", mic, [](kevo_file& r) { r.metas[2].length = 2; }},
        {"a record never read or placed", mic, [](kevo_file& r) { r.streams[2].offset = 0; }},
        {"a stream that is not written", mic, [](kevo_file& r) { r.streams[1].present = 0; }},
        {"an 'i' atom without four payload bytes", {2, 1}, [](kevo_file&) {}},
        {"no such stream", {3, 0}, [](kevo_file&) {}},
        {"no such file-level atom", {KEVO_FILE_LEVEL, 3}, [](kevo_file&) {}},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.name);
        kevo_file spoilt;
        readVariedHeader(spoilt);
        c.spoil(spoilt);
        errno = 0;
        EXPECT_EQ(kevo_listHeaderChanges(&spoilt, &c.place, 1, KEVO_CHANGE_AS_REWRITE, &ranges),
                  0);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_TRUE(ranges.empty());
    }
}

TEST(Selector, FourccsAndIndexesAreReadAsWritten)
{
    const auto fourcc = [](const char (&text)[5]) {
        return kevo_selectorPart{false, kevo_fourcc(text), 0};
    };
    const auto index = [](int32_t i) { return kevo_selectorPart{true, 0, i}; };
    const struct {
        const char* text;
        bool fileLevel;
        kevo_selectorPart stream;
        kevo_selectorPart atom;
    } read[] = {
        {"mic", true, {}, fourcc("mic ")},
        {"pav2/#3", false, fourcc("pav2"), index(3)},
        {"#12/#0", false, index(12), index(0)},
        {"#ab/MIC", false, fourcc("#ab "), fourcc("MIC ")},
        {"a/b/c", false, fourcc("a   "), fourcc("b/c ")},
    };
    for (const auto& c : read) {
        SCOPED_TRACE(c.text);
        kevo_selector parsed{};
        ASSERT_EQ(kevo_parseSelector(c.text, &parsed), 1);
        const kevo_selector expected{c.fileLevel, c.stream, c.atom};
        EXPECT_TRUE(kevo_sameSelector(parsed, expected));
    }
    // A refusal leaves the caller's selector as it was, never half filled.
    const kevo_selector before{false, {true, 0, 7}, {false, kevo_fourcc("gyro"), 0}};
    for (const char* text : {"", "/mic", "pav2/", "abcde", "pav2/micro", "#1x", "#2147483648",
                             "pav2/#4294967296", "#1 ", "#1+"}) {
        SCOPED_TRACE(text);
        kevo_selector parsed = before;
        EXPECT_EQ(kevo_parseSelector(text, &parsed), 0);
        EXPECT_TRUE(kevo_sameSelector(parsed, before));
    }
}

TEST(WholeNumber, TakesOnlyWholeNumbersWithinTheBoundsWhateverTheBounds)
{
    const struct {
        const char* text;
        int64_t min;
        int64_t max;
        kevo_numberForm form;
        int64_t value;
    } cases[] = {
        {" -5 ", -10, 10, kevo_numberForm::Whole, -5},
        {"+7", 0, 10, kevo_numberForm::Whole, 7},
        {"11", -10, 10, kevo_numberForm::OutOfRange, 0},
        {"4294967295", INT32_MIN, UINT32_MAX, kevo_numberForm::Whole, 4294967295},
        {"9223372036854775807", INT64_MIN, INT64_MAX, kevo_numberForm::Whole, INT64_MAX},
        {"-9223372036854775808", INT64_MIN, INT64_MAX, kevo_numberForm::Whole, INT64_MIN},
        {"9223372036854775808", INT64_MIN, INT64_MAX, kevo_numberForm::OutOfRange, 0},
        {"-9223372036854775809", INT64_MIN, INT64_MAX, kevo_numberForm::OutOfRange, 0},
        {"123456789012345678901234567890", INT64_MIN, INT64_MAX, kevo_numberForm::OutOfRange, 0},
        {"123456789012345678901234567890x", INT64_MIN, INT64_MAX, kevo_numberForm::NotWhole, 0},
        {"", 0, 1, kevo_numberForm::NotWhole, 0},
        {"-", 0, 1, kevo_numberForm::NotWhole, 0},
        {"0x10", 0, 100, kevo_numberForm::NotWhole, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        int64_t value = 42;
        EXPECT_EQ(kevo_parseWholeNumber(c.text, c.min, c.max, &value), c.form);
        EXPECT_EQ(value, c.form == kevo_numberForm::Whole ? c.value : 42);
    }
}
