// Where the parts of a header stand: the offsets the reader records, the
// same offsets placed for a header built in memory, the ranges an edit
// writes at them, and the selectors that name an atom.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "container/kevo_container.h"
#include "tests/support/kevo_bytes.h"

using namespace kevo_test;

namespace {

Header layoutHeader()
{
    Header header;
    header.metas = {intAtom("strt", 1700000000), byteAtom("frmt", 3),
                    rawAtom("name", 's', {'d', 'e', 'v'})};
    header.streams = {
        Stream{"pav2", 7, 40, 1, {intAtom("intr", 5), intAtom("mic ", 800)}, std::nullopt},
        Stream{"ltln", 0, 12, 2, {}, std::nullopt},
        Stream{"rok ", 9, 30, 3, {intAtom("gyro", 100), rawAtom("none", 'i', {})}, std::nullopt},
    };
    return header;
}

// Counted by hand from the layout: 20 fixed bytes, then strt at 20, frmt at
// 33, name at 43; the stream count at 55; 'pav2' at 59 with intr at 75 and
// mic at 88; 'ltln' at 101; 'rok ' at 117 with gyro at 133 and none at 146;
// 155 bytes in all.
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

void readLayoutHeader(kevo_file& record)
{
    const Bytes bytes = concat(encode(layoutHeader()), packetBytes(64));
    FILE* file = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    readInto(record, file);
}

}  // namespace

TEST(HeaderLayout, EachPartIsRecordedWhereItStands)
{
    kevo_file fromFile;
    readLayoutHeader(fromFile);
    EXPECT_EQ(offsetsOf(fromFile), kLayout);

    // A pipe has no position: offsets count from the header's first byte.
    Bytes bytes = encode(layoutHeader());
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
    readLayoutHeader(record);
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
        readLayoutHeader(spoilt);
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
    for (const char* text : {"", "/mic", "pav2/", "abcde", "pav2/micro", "#1x", "#2147483648"}) {
        SCOPED_TRACE(text);
        kevo_selector parsed{};
        EXPECT_EQ(kevo_parseSelector(text, &parsed), 0);
    }
}
