#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <utility>

#include "container/kevo_container.h"
#include "tests/support/kevo_bytes.h"
#include "tests/support/parsed_header.h"

namespace {

using kevo_test::Atom;
using kevo_test::Header;
using kevo_test::Stream;
using kevo_test::intAtom;
using kevo_test::rawAtom;


std::unique_ptr<kevo_file> parseMetas(std::vector<Atom> metas)
{
    Header header;
    header.metas = std::move(metas);
    return kevo_test::parseHeader(header);
}

Stream stream(const std::string& id, std::vector<Atom> atoms)
{
    Stream s;
    s.id = id;
    s.atoms = std::move(atoms);
    return s;
}

struct Unpacked {
    uint16_t w[4];
    int32_t c[6];
};

TEST(UnpackCalWords, KnownWords)
{
    const Unpacked cases[] = {
        {{0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}},
        {{0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}, {32767, 4095, 1023, 1023, 2047, 63}},
        {{3, 0x0041, 0x0081, 0x0042}, {1, 66, 1, 2, 1025, 1}},
    };
    for (const Unpacked& u : cases) {
        int32_t out[6];
        kevo_unpackCalWords(u.w[0], u.w[1], u.w[2], u.w[3], out);
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(out[i], u.c[i]) << "c" << i + 1 << " of words " << u.w[0] << "," << u.w[1]
                                      << "," << u.w[2] << "," << u.w[3];
        }
    }
}

// The six values use all 64 word bits without gaps: each bit lands in
// exactly one bit of exactly one value, and no two bits land in the same.
TEST(UnpackCalWords, EveryWordBitLandsInOneValueBit)
{
    std::set<std::pair<int, int32_t>> landed;
    for (int word = 0; word < 4; ++word) {
        for (int bit = 0; bit < 16; ++bit) {
            uint16_t w[4] = {0, 0, 0, 0};
            w[word] = static_cast<uint16_t>(1u << bit);
            int32_t out[6];
            kevo_unpackCalWords(w[0], w[1], w[2], w[3], out);
            int nonZero = 0;
            for (int i = 0; i < 6; ++i) {
                if (out[i] != 0) {
                    ++nonZero;
                    EXPECT_EQ(out[i] & (out[i] - 1), 0) << "word " << word << " bit " << bit;
                    landed.insert({i, out[i]});
                }
            }
            EXPECT_EQ(nonZero, 1) << "word " << word << " bit " << bit;
        }
    }
    EXPECT_EQ(landed.size(), 64u);
}

TEST(DecodeBoardAtoms, LastOccurrenceWinsAndEveryMatchCounts)
{
    auto record = parseMetas({intAtom("intr", 1), intAtom("gyro", 100), intAtom("xxxx", 9),
                              intAtom("intr", 2), intAtom("acc ", 50)});
    kevo_rokBoard rok{};
    rok.boardNr = 77;
    EXPECT_EQ(kevo_decodeRokAtoms(record->metaCount, record->metas, &rok), 3);
    EXPECT_EQ(rok.interruptCount, 2);
    EXPECT_EQ(rok.gyroHz, 100);
    EXPECT_EQ(rok.boardNr, 77);  // no 'bdnr': left as it was

    kevo_pav2Board pav2{};
    EXPECT_EQ(kevo_decodePav2Atoms(record->metaCount, record->metas, &pav2), 3);
    EXPECT_EQ(pav2.interruptCount, 2);
    EXPECT_EQ(pav2.accelerometerHz, 50);
}

TEST(DecodeBoardAtoms, BothMicrophoneFourccsSetMicHz)
{
    auto record = parseMetas({intAtom("mic ", 80), intAtom("mics", 160)});
    kevo_pav2Board pav2{};
    EXPECT_EQ(kevo_decodePav2Atoms(record->metaCount, record->metas, &pav2), 2);
    EXPECT_EQ(pav2.micHz, 160);
}

TEST(DecodeBoardAtoms, CountsOfZeroOrBelowWalkNothing)
{
    auto record = parseMetas({intAtom("intr", 1)});
    kevo_rokBoard rok{};
    rok.interruptCount = 42;
    EXPECT_EQ(kevo_decodeRokAtoms(0, record->metas, &rok), 0);
    EXPECT_EQ(kevo_decodeRokAtoms(-1, record->metas, &rok), 0);
    EXPECT_EQ(rok.interruptCount, 42);
}

TEST(DecodeBoardAtoms, ValueIsTheFirstFourPayloadBytesWhateverTheType)
{
    struct Case {
        const char* what;
        Atom atom;
        int32_t value;
    };
    const Case cases[] = {
        {"type c, four bytes", rawAtom("intr", 'c', {0x10, 0, 0, 0}), 16},
        {"negative", intAtom("intr", -7), -7},
        {"longer payload", rawAtom("intr", 'x', {1, 2, 0, 0, 0xFF, 0xFF}), 0x0201},
        {"two bytes", rawAtom("intr", 'i', {0x34, 0x12}), 0x1234},
        {"no bytes", rawAtom("intr", 'i', {}), 0},
    };
    for (const Case& c : cases) {
        auto record = parseMetas({c.atom});
        kevo_pav2Board pav2{};
        pav2.interruptCount = 99;
        EXPECT_EQ(kevo_decodePav2Atoms(record->metaCount, record->metas, &pav2), 1) << c.what;
        EXPECT_EQ(pav2.interruptCount, c.value) << c.what;
    }
}

TEST(FindRokBoard, ReadsOnlyTheFirstRokStream)
{
    Header first;
    first.streams = {stream("rok ", {intAtom("gyro", 1)}), stream("rok ", {intAtom("gyro", 2)})};
    auto record = kevo_test::parseHeader(first);
    EXPECT_EQ(kevo_findRokBoard(record.get()), 1);
    EXPECT_EQ(record->rokBoard.gyroHz, 1);

    Header emptyFirst;
    emptyFirst.streams = {stream("rok ", {intAtom("xxxx", 1)}),
                          stream("rok ", {intAtom("gyro", 2)})};
    record = kevo_test::parseHeader(emptyFirst);
    EXPECT_EQ(kevo_findRokBoard(record.get()), 0);
    EXPECT_EQ(record->rokBoard.gyroHz, 0);
}

TEST(FindRokBoard, IgnoresFileLevelAtoms)
{
    auto record = parseMetas({intAtom("gyro", 100), intAtom("intr", 4)});
    EXPECT_EQ(kevo_findRokBoard(record.get()), 0);
    EXPECT_EQ(record->rokBoard.gyroHz, 0);
}

TEST(FindRokBoard, ResetsTheScheduleButKeepsIdentification)
{
    Header header;
    header.streams = {stream("rok ", {intAtom("bdnr", 4)})};
    auto record = kevo_test::parseHeader(header);
    record->rokBoard = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(kevo_findRokBoard(record.get()), 1);
    EXPECT_EQ(record->rokBoard.interruptCount, 0);
    EXPECT_EQ(record->rokBoard.gyroHz, 0);
    EXPECT_EQ(record->rokBoard.magnetometerHz, 0);
    EXPECT_EQ(record->rokBoard.power, 0);
    EXPECT_EQ(record->rokBoard.boardNr, 4);
    EXPECT_EQ(record->rokBoard.hardwareVersion, 9);
    EXPECT_EQ(record->rokBoard.calibrationWord4, 9);
}

TEST(FindPav2Board, FallsBackToFileLevelAtomsOnlyWhenStreamsHaveNone)
{
    auto fallback = parseMetas({intAtom("acc ", 25)});
    EXPECT_EQ(kevo_findPav2Board(fallback.get()), 1);
    EXPECT_EQ(fallback->pav2Board.accelerometerHz, 25);

    Header both;
    both.metas = {intAtom("acc ", 25), intAtom("bar ", 3)};
    both.streams = {stream("pav2", {intAtom("acc ", 50)})};
    auto record = kevo_test::parseHeader(both);
    EXPECT_EQ(kevo_findPav2Board(record.get()), 1);
    EXPECT_EQ(record->pav2Board.accelerometerHz, 50);
    EXPECT_EQ(record->pav2Board.barometerHz, 0);
}

TEST(FindPav2Board, LaterPav2OrMicStreamsOverrideEarlierOnes)
{
    Header header;
    header.streams = {stream("pav2", {intAtom("mic ", 800), intAtom("bar ", 10)}),
                      stream("rok ", {intAtom("mic ", 1)}),
                      stream("mic ", {intAtom("mic ", 400)})};
    auto record = kevo_test::parseHeader(header);
    EXPECT_EQ(kevo_findPav2Board(record.get()), 1);
    EXPECT_EQ(record->pav2Board.micHz, 400);
    EXPECT_EQ(record->pav2Board.barometerHz, 10);
}

TEST(FindPav2Board, ResetsTheScheduleAndMicGain)
{
    Header header;
    header.streams = {stream("pav2", {intAtom("hver", 2)})};
    auto record = kevo_test::parseHeader(header);
    record->pav2Board.interruptCount = 9;
    record->pav2Board.power = 9;
    record->pav2Board.micGain = 9;
    record->pav2Board.boardNr = 9;
    EXPECT_EQ(kevo_findPav2Board(record.get()), 1);
    EXPECT_EQ(record->pav2Board.interruptCount, 0);
    EXPECT_EQ(record->pav2Board.power, 0);
    EXPECT_EQ(record->pav2Board.micGain, 0);
    EXPECT_EQ(record->pav2Board.boardNr, 9);
    EXPECT_EQ(record->pav2Board.hardwareVersion, 2);
}

TEST(FindPav2Board, UnpacksTheCurrentLow16BitsOfTheWords)
{
    Header header;
    header.streams = {stream("pav2", {intAtom("intr", 5)})};
    auto record = kevo_test::parseHeader(header);
    record->pav2Board.calibrationWord1 = 65536 + 3;
    record->pav2Board.calibrationWord2 = 0x41;
    record->pav2Board.calibrationWord3 = 0x81;
    record->pav2Board.calibrationWord4 = 0x42;
    EXPECT_EQ(kevo_findPav2Board(record.get()), 1);
    const int32_t expected[6] = {1, 66, 1, 2, 1025, 1};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(record->pav2CalValues[i], expected[i]) << "c" << i + 1;
    }
}

TEST(FindPav2Board, NothingFoundLeavesTheCalibrationValues)
{
    Header header;
    header.metas = {intAtom("gyro", 100)};
    header.streams = {stream("pav2", {intAtom("xxxx", 1)})};
    auto record = kevo_test::parseHeader(header);
    record->pav2Board.interruptCount = 9;
    record->pav2Board.calibrationWord1 = 0xFFFF;
    for (int32_t& value : record->pav2CalValues) {
        value = 42;
    }
    EXPECT_EQ(kevo_findPav2Board(record.get()), 0);
    EXPECT_EQ(record->pav2Board.interruptCount, 0);
    for (int32_t value : record->pav2CalValues) {
        EXPECT_EQ(value, 42);
    }
}

}  // namespace
