#include <cstring>

#include "container/kevo_container.h"

namespace {

// The first four payload bytes as a signed little-endian value, whatever the
// atom's type letter; bytes past a short payload count as zero.
int32_t atomValue(const kevo_atom& atom)
{
    uint8_t bytes[4] = {0, 0, 0, 0};
    if (atom.data && atom.length > 0) {
        std::memcpy(bytes, atom.data, atom.length < 4 ? static_cast<size_t>(atom.length) : 4);
    }
    return kevo_getLE32Signed(bytes);
}

template <typename Board>
struct BoardField {
    uint32_t fourcc;
    int32_t Board::*field;
};

const BoardField<kevo_rokBoard> kRokFields[] = {
    {kevo_fourcc("intr"), &kevo_rokBoard::interruptCount},
    {kevo_fourcc("gyro"), &kevo_rokBoard::gyroHz},
    {kevo_fourcc("mag "), &kevo_rokBoard::magnetometerHz},
    {kevo_fourcc("powr"), &kevo_rokBoard::power},
    {kevo_fourcc("bdnr"), &kevo_rokBoard::boardNr},
    {kevo_fourcc("hver"), &kevo_rokBoard::hardwareVersion},
    {kevo_fourcc("swma"), &kevo_rokBoard::majorSoftVersion},
    {kevo_fourcc("swmi"), &kevo_rokBoard::minorSoftVersion},
    {kevo_fourcc("wd01"), &kevo_rokBoard::calibrationWord1},
    {kevo_fourcc("wd02"), &kevo_rokBoard::calibrationWord2},
    {kevo_fourcc("wd03"), &kevo_rokBoard::calibrationWord3},
    {kevo_fourcc("wd04"), &kevo_rokBoard::calibrationWord4},
};

const BoardField<kevo_pav2Board> kPav2Fields[] = {
    {kevo_fourcc("intr"), &kevo_pav2Board::interruptCount},
    {kevo_fourcc("mic "), &kevo_pav2Board::micHz},
    {kevo_fourcc("mics"), &kevo_pav2Board::micHz},
    {kevo_fourcc("acc "), &kevo_pav2Board::accelerometerHz},
    {kevo_fourcc("amb "), &kevo_pav2Board::ambLightHz},
    {kevo_fourcc("bar "), &kevo_pav2Board::barometerHz},
    {kevo_fourcc("comp"), &kevo_pav2Board::compassHz},
    {kevo_fourcc("dals"), &kevo_pav2Board::dalsHz},
    {kevo_fourcc("hum "), &kevo_pav2Board::humidityHz},
    {kevo_fourcc("powr"), &kevo_pav2Board::power},
    {kevo_fourcc("bdnr"), &kevo_pav2Board::boardNr},
    {kevo_fourcc("hver"), &kevo_pav2Board::hardwareVersion},
    {kevo_fourcc("swma"), &kevo_pav2Board::majorSoftVersion},
    {kevo_fourcc("swmi"), &kevo_pav2Board::minorSoftVersion},
    {kevo_fourcc("wd01"), &kevo_pav2Board::calibrationWord1},
    {kevo_fourcc("wd02"), &kevo_pav2Board::calibrationWord2},
    {kevo_fourcc("wd03"), &kevo_pav2Board::calibrationWord3},
    {kevo_fourcc("wd04"), &kevo_pav2Board::calibrationWord4},
};

template <typename Board, size_t N>
int32_t decodeAtoms(int32_t count, const kevo_atom* atoms, Board* board,
                    const BoardField<Board> (&fields)[N])
{
    int32_t matched = 0;
    for (int32_t i = 0; atoms && i < count; ++i) {
        for (const BoardField<Board>& f : fields) {
            if (atoms[i].id == f.fourcc) {
                board->*f.field = atomValue(atoms[i]);
                ++matched;
                break;
            }
        }
    }
    return matched;
}

}  // namespace

int32_t kevo_decodeRokAtoms(int32_t count, const kevo_atom* atoms, kevo_rokBoard* board)
{
    return decodeAtoms(count, atoms, board, kRokFields);
}

int32_t kevo_decodePav2Atoms(int32_t count, const kevo_atom* atoms, kevo_pav2Board* board)
{
    return decodeAtoms(count, atoms, board, kPav2Fields);
}

int kevo_findRokBoard(kevo_file* record)
{
    kevo_rokBoard& board = record->rokBoard;
    board.interruptCount = 0;
    board.gyroHz = 0;
    board.magnetometerHz = 0;
    board.power = 0;

    for (int32_t i = 0; record->streams && i < record->streamCount; ++i) {
        const kevo_stream& stream = record->streams[i];
        if (stream.kind == KEVO_KIND_ROK) {
            return kevo_decodeRokAtoms(stream.metaCount, stream.metas, &board) > 0 ? 1 : 0;
        }
    }
    return 0;
}

int kevo_findPav2Board(kevo_file* record)
{
    kevo_pav2Board& board = record->pav2Board;
    board.interruptCount = 0;
    board.micHz = 0;
    board.accelerometerHz = 0;
    board.ambLightHz = 0;
    board.barometerHz = 0;
    board.compassHz = 0;
    board.dalsHz = 0;
    board.humidityHz = 0;
    board.power = 0;
    board.micGain = 0;

    int32_t found = 0;
    for (int32_t i = 0; record->streams && i < record->streamCount; ++i) {
        const kevo_stream& stream = record->streams[i];
        if (stream.kind == KEVO_KIND_PAV2 || stream.kind == KEVO_KIND_MIC) {
            found += kevo_decodePav2Atoms(stream.metaCount, stream.metas, &board);
        }
    }
    // Older recorders wrote the board's atoms among the file-level atoms.
    if (found == 0) {
        found = kevo_decodePav2Atoms(record->metaCount, record->metas, &board);
    }
    if (found == 0) {
        return 0;
    }
    kevo_unpackCalWords(static_cast<uint16_t>(board.calibrationWord1),
                        static_cast<uint16_t>(board.calibrationWord2),
                        static_cast<uint16_t>(board.calibrationWord3),
                        static_cast<uint16_t>(board.calibrationWord4), record->pav2CalValues);
    return 1;
}

void kevo_unpackCalWords(uint16_t w1, uint16_t w2, uint16_t w3, uint16_t w4, int32_t out[6])
{
    out[0] = w1 >> 1;
    out[1] = ((w3 & 0x3F) << 6) + (w4 & 0x3F);
    out[2] = w4 >> 6;
    out[3] = w3 >> 6;
    out[4] = ((w1 & 1) << 10) + (w2 >> 6);
    out[5] = w2 & 0x3F;
}
