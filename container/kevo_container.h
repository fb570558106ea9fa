// The KEVO container: the file record, the header codec, the stream kinds and
// the board descriptors gathered from meta atoms.
//
// On-disk header (all numbers little-endian, no padding, no length field):
//
//   "KEVO"        4 bytes   magic
//   version       u32       always 2
//   headerValue   u64       carried, never interpreted
//   metaCount     i32       file-level atoms, then that many atoms
//   streamCount   i32       then that many stream descriptors
//
//   stream descriptor (16 bytes + atoms):
//     id u32 (fourcc) | streamParam u32 | packetSize u16 | symbolID u16 |
//     metaCount i32 | atoms
//
//   meta atom (9 bytes + payload):
//     id u32 (fourcc) | type u8 | length i32 | length payload bytes
//
// The packet data starts at the first byte after the last atom. Nothing in
// this folder reads or writes it.
//
// Routines report success as 1 and failure as 0 and print nothing, except
// kevo_open and kevo_openStream, whose "ERROR: can't open file" and
// "ERROR: unknown file mode" lines are part of the tool's output. Nothing
// here writes through a descriptor or syncs: that is the edit library's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "container/little_endian.h"

// Sizes of the fixed parts of the layout above.
constexpr uint32_t KEVO_HEADER_FIXED_BYTES = 20;  // magic, version, headerValue, metaCount
constexpr uint32_t KEVO_STREAM_COUNT_BYTES = 4;
constexpr uint32_t KEVO_STREAM_FIXED_BYTES = 16;  // before the stream's atoms
constexpr uint32_t KEVO_ATOM_FIXED_BYTES = 9;     // before the payload

// Builds a fourcc from its four characters in writing order: the first
// character is the least significant byte, as in the file.
constexpr uint32_t kevo_fourcc(const char (&text)[5])
{
    return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
           (static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24);
}

// ---------------------------------------------------------------------------
// Stream kinds

enum kevo_streamKind : int32_t {
    KEVO_KIND_PAV = 0,
    KEVO_KIND_ROK = 1,
    KEVO_KIND_GPS = 2,
    KEVO_KIND_SIRF_GPS = 3,
    KEVO_KIND_WIFI = 4,
    KEVO_KIND_LATLON = 5,
    KEVO_KIND_ANNOT = 6,
    KEVO_KIND_PAV2 = 7,
    KEVO_KIND_MIC = 8,
    KEVO_KIND_CLOCK = 9,
    KEVO_KIND_TAG = 10,
    KEVO_KIND_IMU = 11,
    KEVO_KIND_FEATURES = 12,
    KEVO_KIND_AUDIO_VOICING_FEATURES = 13,
    KEVO_KIND_POWER = 14,
    KEVO_KIND_MAX_NUM_STREAMS = 15,
    KEVO_KIND_UNKNOWN_RAW = 16,
    KEVO_KIND_CAMERA = 17,
    KEVO_KIND_ROK_POWER = 18,
    KEVO_KIND_CAMERA_FILES = 19,
    KEVO_KIND_INVALID = 20,
};

constexpr int32_t KEVO_KIND_COUNT = 21;

// Display name of a kind, 0 to 20; a number outside that range gets the
// name of KEVO_KIND_INVALID rather than a read past the table.
const char* kevo_streamKindName(int32_t kind);

// Kind of a stream fourcc; every fourcc without a kind of its own is
// KEVO_KIND_UNKNOWN_RAW.
int32_t kevo_streamKindOf(uint32_t fourcc);

// Packet size a stream of this fourcc is held with: 74 for 'pav ', 24 for
// 'ltln', 5 for 'ant8' whatever the file says; the size as read otherwise.
uint32_t kevo_packetSizeOf(uint32_t fourcc, uint32_t sizeAsRead);

// ---------------------------------------------------------------------------
// Records

// The offsets below are where the reader found each part, counted from the
// start of the file (from the header's first byte on a stream that has no
// position); kevo_placeHeader sets them for a header built in memory.
// Everything that needs to know where a part stands takes it from there.

struct kevo_atom {
    uint32_t id;     // fourcc
    uint32_t type;   // type letter, zero-extended: 'i' int32 LE, 'c' one byte
    int32_t length;  // payload bytes, never negative once read
    uint8_t* data;   // malloc'ed payload, owned
    uint64_t offset;  // of the atom's id; the payload starts KEVO_ATOM_FIXED_BYTES on
};

struct kevo_stream {
    int32_t kind;          // derived from id, never stored
    uint32_t id;           // fourcc
    uint32_t streamParam;  // carried, never interpreted
    uint32_t packetSize;   // 16 bits on disk
    uint32_t symbolID;     // 16 bits on disk; names the stream inside packets
    int32_t metaCount;
    kevo_atom* metas;      // metaCount entries, or null when metaCount <= 0
    uint32_t present;      // non-zero: kevo_writeHeader writes this stream
    // The 16 bits the file holds, which differ from packetSize where the
    // kind forces a size; kept so a reader can show what a rewrite changes.
    uint32_t packetSizeInFile;
    uint64_t offset;  // of the descriptor's id
};

struct kevo_rokBoard {
    int32_t interruptCount;    // 'intr'
    int32_t gyroHz;            // 'gyro'
    int32_t magnetometerHz;    // 'mag '
    int32_t power;             // 'powr'
    int32_t boardNr;           // 'bdnr'
    int32_t hardwareVersion;   // 'hver'
    int32_t majorSoftVersion;  // 'swma'
    int32_t minorSoftVersion;  // 'swmi'
    int32_t calibrationWord1;  // 'wd01'
    int32_t calibrationWord2;  // 'wd02'
    int32_t calibrationWord3;  // 'wd03'
    int32_t calibrationWord4;  // 'wd04'
};

struct kevo_pav2Board {
    int32_t interruptCount;    // 'intr'
    int32_t micHz;             // 'mic ' or 'mics'
    int32_t accelerometerHz;   // 'acc '
    int32_t ambLightHz;        // 'amb '
    int32_t barometerHz;       // 'bar '
    int32_t compassHz;         // 'comp'
    int32_t dalsHz;            // 'dals'
    int32_t humidityHz;        // 'hum '
    int32_t power;             // 'powr'
    int32_t micGain;           // no atom sets it
    int32_t boardNr;           // 'bdnr'
    int32_t hardwareVersion;   // 'hver'
    int32_t majorSoftVersion;  // 'swma'
    int32_t minorSoftVersion;  // 'swmi'
    int32_t calibrationWord1;  // 'wd01'
    int32_t calibrationWord2;  // 'wd02'
    int32_t calibrationWord3;  // 'wd03'
    int32_t calibrationWord4;  // 'wd04'
};

// One opened container. Every field starts zero however the record is made
// (`new kevo_file`, `kevo_file record;`); discarding it closes a stream still
// open and frees the path and every array and payload it holds.
struct kevo_file {
    char* path = nullptr;  // owned copy of the opened path, or "stdin"/"stdout"
    FILE* file = nullptr;
    int32_t streamCount = 0;         // as read, even when <= 0
    kevo_stream* streams = nullptr;  // streamCount entries, or null
    uint64_t headerValue = 0;
    int32_t metaCount = 0;           // file-level atoms, as read
    kevo_atom* metas = nullptr;      // metaCount entries, or null
    kevo_rokBoard rokBoard{};
    kevo_pav2Board pav2Board{};
    int32_t pav2CalValues[6] = {};  // c1 to c6
    uint64_t streamCountOffset = 0;  // of the stream count
    uint64_t headerBytes = 0;        // where the packet data starts

    kevo_file() = default;
    kevo_file(const kevo_file&) = delete;
    kevo_file& operator=(const kevo_file&) = delete;
    ~kevo_file();
};

// Where an atom stands, in kevo-modify's numbers: streamID -1 is the
// file-level list, metaID counts from 0 in the chosen list.
struct kevo_atomPlace {
    int32_t streamID;
    int32_t metaID;
};

constexpr int32_t KEVO_FILE_LEVEL = -1;

// The atom a place names, or null when the record holds no such atom.
const kevo_atom* kevo_atomAt(const kevo_file& record, kevo_atomPlace place);
kevo_atom* kevo_atomAt(kevo_file& record, kevo_atomPlace place);

// ---------------------------------------------------------------------------
// Opening and closing

// True for the names that kevo_open takes as standard input ("-", "stdin",
// "/dev/stdin", any letter case).
bool kevo_isStdinAlias(const char* path);

// True for the names that kevo_open takes as standard output ("-",
// "stdout", "/dev/stdout", any letter case).
bool kevo_isStdoutAlias(const char* path);

// Opens `path` in mode "r", "r+", "w" or "a" (any letter case); the stdin
// and stdout aliases select the process's own streams. Input modes clear the
// header part of the record. Prints "ERROR: can't open file ..." or
// "ERROR: unknown file mode ..." and returns 0 on failure.
int kevo_open(kevo_file* record, const char* path, const char* mode);

// Takes `stream`, already open for reading on `path`, as the record's stream,
// as kevo_open in mode "r" would have opened it: the path is copied and the
// header part cleared. A null stream stands for an open that failed: prints
// "ERROR: can't open file ..." like kevo_open and returns 0.
int kevo_openStream(kevo_file* record, const char* path, FILE* stream);

// Closes the stream if one is open and clears the handle. Always 1.
int kevo_close(kevo_file* record);

// Frees the header part (arrays, atoms, payloads) and zeroes its counts.
void kevo_freeHeader(kevo_file* record);

// ---------------------------------------------------------------------------
// Header codec

// Reads one atom at the stream's position. Returns 0 when the file ends
// early or the length is negative or larger than what can still follow;
// the atom then owns no payload.
int kevo_readAtom(FILE* stream, kevo_atom* atom);

// Reads a whole header from record->file, positioned at its start, and
// leaves the stream at the first byte of packet data. Records the offset of
// every atom, stream descriptor and the stream count, and headerBytes. Past its first 4 KiB,
// a header in a regular file is read in blocks of up to 64 KiB and the
// stream moved back over what was read beyond it; other streams are read as
// the header asks. Returns 0 on a wrong magic or version, a short read, a
// negative atom length, or a count or length that cannot fit in what can
// still follow; the record then holds no
// header (counts zero, no arrays). Memory grows only with entries that have
// really arrived, so a hostile count costs nothing.
int kevo_readHeader(kevo_file* record);

// Writes the atom as it stands, or nothing once the stream is in its error
// state. Returns 0 without writing a byte when there is no stream or atom,
// or the atom could not read back: a negative length, or a positive one
// without a payload. Otherwise 1; write errors show in the stream's error
// state.
int kevo_writeAtom(FILE* stream, const kevo_atom* atom);

// Writes the record's header at the stream's position, then flushes. Only
// streams with `present` set are written and counted. Stops writing at the
// first failed write, so nothing lands at a shifted offset. Returns 0
// without writing a byte when there is no stream or record, or what would be
// written is inconsistent: a positive count without its array, or an atom
// kevo_writeAtom refuses. Otherwise 1; write errors show in the stream's
// error state.
int kevo_writeHeader(FILE* stream, const kevo_file* record);

// Sets the offsets of a header built in memory to where kevo_writeHeader
// puts each part, when it writes the header at the start of a file: the
// present streams, their atoms, the file-level atoms, the stream count and
// headerBytes. Returns 0, with nothing changed, for a record that
// kevo_writeHeader would refuse.
int kevo_placeHeader(kevo_file* record);

// One stretch of header bytes that an edit writes: `size` (at most 4) bytes
// at `offset` from the start of the file.
struct kevo_headerRange {
    uint64_t offset;
    uint32_t size;
    uint8_t bytes[4];
};

// Whether a list of changes also holds the fields that kevo_writeHeader
// would write differently from the file the record was read from.
enum kevo_changeScope : int {
    KEVO_CHANGE_PAYLOADS_ONLY = 0,
    // Also each packet size that the stream's kind forces where the file
    // holds another, and a negative stream count, as 0: what rewriting the
    // whole header would change.
    KEVO_CHANGE_AS_REWRITE = 1,
};

// Lists, in file order, the ranges an edit of the record writes: the first
// four payload bytes of each atom in `edited`, as the record now holds them,
// and the fields `scope` adds, each where the reader recorded it. The record
// must hold a header as read from the start of a file, every stream present.
// Returns 0 with errno EINVAL, and no ranges, when its offsets do not add up
// with its lengths (a header that was not read, or whose lengths changed
// since), or a place names no atom or one with fewer than four payload
// bytes. An atom named twice is listed once.
int kevo_listHeaderChanges(const kevo_file* record, const kevo_atomPlace* edited, size_t count,
                           kevo_changeScope scope, std::vector<kevo_headerRange>* ranges);

// ---------------------------------------------------------------------------
// Whole numbers in text

enum class kevo_numberForm { Whole, NotWhole, OutOfRange };

// Reads `text` only when all of it is one whole decimal number: blanks, an
// optional sign, digits, blanks. A number outside [min, max] is OutOfRange,
// never wrapped, whatever the bounds; anything else ("", "abc", "0x10",
// "1e3") is NotWhole. `value` is set only for a Whole number.
kevo_numberForm kevo_parseWholeNumber(const char* text, int64_t min, int64_t max, int64_t* value);

// ---------------------------------------------------------------------------
// Selectors: an atom named as "[STREAM/]ATOM"
//
// STREAM and ATOM are each a fourcc of one to four characters, padded with
// spaces and matched as stored, letter case included, or "#N", an index
// counted from 0. Without "STREAM/" the atom is looked for among the
// file-level atoms. A stream fourcc names every stream that has it.

struct kevo_selectorPart {
    bool byIndex;
    uint32_t fourcc;  // when not byIndex
    int32_t index;    // when byIndex
};

struct kevo_selector {
    bool fileLevel;
    kevo_selectorPart stream;  // unused at the file level
    kevo_selectorPart atom;
};

// Reads a selector. Returns 0, with `selector` as it was, when a part is
// empty, longer than four characters, or an index that is not a whole
// number that fits in 32 bits.
int kevo_parseSelector(const std::string& text, kevo_selector* selector);

// True when two selectors are written alike: they name the same atom in any
// header.
bool kevo_sameSelector(const kevo_selector& a, const kevo_selector& b);

// Every atom of the header that the selector names, in header order: none
// when nothing matches, several when it is ambiguous.
std::vector<kevo_atomPlace> kevo_findAtoms(const kevo_file& record, const kevo_selector& selector);

// Why `found`, what kevo_findAtoms gave, is not exactly one atom, in words
// for a person: "no atom 'xyz ' in stream 'pav2' (has: intr, mic , ...)",
// "no stream 'PAV2' (has: ...)", "2 matches for atom 'intr' in stream
// 'rok ': -streamID 1 -metaID 0, -streamID 2 -metaID 0". Bytes of a fourcc
// outside printable ASCII are shown as \xNN.
std::string kevo_describeMatches(const kevo_file& record, const kevo_selector& selector,
                                 const std::vector<kevo_atomPlace>& found);

// A fourcc as a message shows it: printable ASCII as it is, any other byte
// as \xNN.
std::string kevo_fourccText(uint32_t fourcc);

// A fourcc as text that is always valid UTF-8, for JSON: each byte as the
// code point of the same number, so printable ASCII stays as it is.
std::string kevo_fourccUtf8(uint32_t fourcc);

// ---------------------------------------------------------------------------
// Board descriptors

// Decode the atoms whose fourccs belong to the board into its fields; the
// last occurrence of a fourcc wins. Return how many atoms matched. A payload
// shorter than four bytes counts as zeros beyond its end.
int32_t kevo_decodeRokAtoms(int32_t count, const kevo_atom* atoms, kevo_rokBoard* board);
int32_t kevo_decodePav2Atoms(int32_t count, const kevo_atom* atoms, kevo_pav2Board* board);

// Fill record->rokBoard from the first ROK stream only. 1 when at least one
// board atom was found, else 0.
int kevo_findRokBoard(kevo_file* record);

// Fill record->pav2Board from every PAV2 and MIC stream (later ones win), or
// from the file-level atoms when those streams hold none, then unpack the
// calibration words into pav2CalValues. 1 when at least one atom was found.
int kevo_findPav2Board(kevo_file* record);

// Unpacks four 16-bit calibration words into the six values c1 to c6.
void kevo_unpackCalWords(uint16_t w1, uint16_t w2, uint16_t w3, uint16_t w4, int32_t out[6]);
