#include "sample/sample_recording.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "edit/kevo_edit.h"


namespace {

constexpr size_t kPacketChunk = 4096;

// Microseconds and seconds since 1970 of the same moment: when the sample
// recording claims to have started.
constexpr uint64_t kHeaderValue = 1717243200000000ULL;
constexpr int32_t kStartSeconds = 1717243200;

struct AtomSpec {
    uint32_t id;
    uint8_t type;
    int32_t value;     // 'i' and 'c' atoms
    const char* text;  // any other type: the payload, without its terminator
};

constexpr AtomSpec intAtom(const char (&id)[5], int32_t value)
{
    return {kevo_fourcc(id), 'i', value, nullptr};
}

constexpr AtomSpec byteAtom(const char (&id)[5], uint8_t value)
{
    return {kevo_fourcc(id), 'c', value, nullptr};
}

constexpr AtomSpec textAtom(const char (&id)[5], const char* text)
{
    return {kevo_fourcc(id), 's', 0, text};
}

struct StreamSpec {
    uint32_t id;
    uint16_t packetSize;
    uint16_t symbolID;
    const AtomSpec* atoms;
    int32_t atomCount;
};

template <size_t N>
constexpr StreamSpec streamSpec(const char (&id)[5], uint16_t packetSize, uint16_t symbolID,
                                const AtomSpec (&atoms)[N])
{
    return {kevo_fourcc(id), packetSize, symbolID, atoms, static_cast<int32_t>(N)};
}

constexpr AtomSpec kFileAtoms[] = {
    intAtom("strt", kStartSeconds),
    intAtom("devi", 4711),
    byteAtom("frmt", 2),
};

// 'mic ' stays second: it is the atom an edit of stream 0, meta 1 reaches.
constexpr AtomSpec kPav2Atoms[] = {
    intAtom("intr", 100),  intAtom("mic ", 800),    intAtom("acc ", 50),
    intAtom("amb ", 10),   intAtom("bar ", 10),     intAtom("comp", 10),
    intAtom("dals", 4),    intAtom("hum ", 2),      intAtom("powr", 1),
    intAtom("bdnr", 1042), intAtom("hver", 3),      intAtom("swma", 2),
    intAtom("swmi", 7),    intAtom("wd01", 0x8C35), intAtom("wd02", 0x4A1B),
    intAtom("wd03", 0x1D47), intAtom("wd04", 0x6E92),
};

constexpr AtomSpec kMicAtoms[] = {
    intAtom("mics", 800),
    intAtom("chan", 1),
    intAtom("bits", 16),
};

constexpr AtomSpec kRokAtoms[] = {
    intAtom("intr", 100),    intAtom("gyro", 100),    intAtom("mag ", 20),
    intAtom("powr", 1),      intAtom("bdnr", 311),    intAtom("hver", 2),
    intAtom("swma", 1),      intAtom("swmi", 12),     intAtom("wd01", 0x51E3),
    intAtom("wd02", 0x07C9), intAtom("wd03", 0xA214), intAtom("wd04", 0x3B60),
};

constexpr AtomSpec kSirfGpsAtoms[] = {
    intAtom("baud", 57600),
};

constexpr AtomSpec kCameraAtoms[] = {
    intAtom("fps ", 30),
    intAtom("wdth", 640),
    intAtom("hght", 480),
    byteAtom("qual", 85),
};

constexpr AtomSpec kClockAtoms[] = {
    intAtom("tick", 32768),
};

constexpr AtomSpec kLatLonAtoms[] = {
    textAtom("datm", "WGS84"),
    intAtom("fix ", 3),
};

constexpr AtomSpec kGpsAtoms[] = {
    intAtom("baud", 4800),
    intAtom("rate", 1),
};

constexpr StreamSpec kStreams[] = {
    streamSpec("pav2", 48, 1, kPav2Atoms),
    streamSpec("mic ", 1604, 2, kMicAtoms),
    streamSpec("rok ", 40, 3, kRokAtoms),
    streamSpec("sgps", 128, 4, kSirfGpsAtoms),
    streamSpec("cams", 4096, 5, kCameraAtoms),
    streamSpec("clck", 12, 6, kClockAtoms),
    {kevo_fourcc("tag "), 8, 7, nullptr, 0},
    // The reader holds 'ltln' streams at 24 bytes whatever the file says, so
    // writing anything else would not read back unchanged.
    streamSpec("ltln", 24, 8, kLatLonAtoms),
    streamSpec("gps ", 82, 9, kGpsAtoms),
};

// Every stream carries the same format revision; nothing reads it back.
constexpr uint32_t kStreamParam = 1;

constexpr int32_t ownAtomCount()
{
    int32_t count = static_cast<int32_t>(std::size(kFileAtoms));
    for (const StreamSpec& stream : kStreams) {
        count += stream.atomCount;
    }
    return count;
}

static_assert(ownAtomCount() == KEVO_SAMPLE_DEFAULT_ATOMS, "the default header changed size");

constexpr char kBase36[] = "0123456789abcdefghijklmnopqrstuvwxyz";
constexpr int32_t kExtraAtomNames = 36 * 36 * 36;

// Extra atom j of a list: 'x' and j in three base-36 digits, so a dump shows
// which one it is. Names repeat after 46656, which the format allows.
AtomSpec extraAtom(int32_t j)
{
    const int32_t n = j % kExtraAtomNames;
    const char name[5] = {'x', kBase36[n / (36 * 36)], kBase36[n / 36 % 36], kBase36[n % 36],
                          '\0'};
    return {kevo_fourcc(name), 'i', j, nullptr};
}

// How many of its own atoms an atom list keeps, and how many extra atoms
// follow them.
struct ListShape {
    int32_t own;
    int32_t extra;
};

// Hands out the default header's own atoms in header order while any of the
// budget is left.
int32_t takeOwn(int32_t* budget, int32_t available)
{
    const int32_t taken = *budget < available ? *budget : available;
    *budget -= taken;
    return taken;
}

// Extra atoms are dealt to the streams in turn, so the first streams get one
// more when they do not share out evenly.
int32_t extraForStream(int32_t extraAtoms, size_t streamIndex, size_t streamCount)
{
    const int32_t streams = static_cast<int32_t>(streamCount);
    const int32_t index = static_cast<int32_t>(streamIndex);
    return extraAtoms / streams + (index < extraAtoms % streams ? 1 : 0);
}

int32_t payloadLength(const AtomSpec& entry)
{
    if (entry.type == 'i') {
        return 4;
    }
    if (entry.type == 'c') {
        return 1;
    }
    return static_cast<int32_t>(std::strlen(entry.text));
}

int fillAtom(kevo_atom* atom, const AtomSpec& entry)
{
    atom->id = entry.id;
    atom->type = entry.type;
    atom->length = payloadLength(entry);
    atom->data = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(atom->length)));
    if (!atom->data) {
        return 0;
    }
    if (entry.type == 'i') {
        kevo_putLE32(atom->data, static_cast<uint32_t>(entry.value));
    } else if (entry.type == 'c') {
        atom->data[0] = static_cast<uint8_t>(entry.value);
    } else {
        std::memcpy(atom->data, entry.text, static_cast<size_t>(atom->length));
    }
    return 1;
}

// The array is zeroed before its count is set, so a failure part-way leaves
// entries the record's destructor can free.
int fillAtomList(int32_t* count, kevo_atom** atoms, const AtomSpec* entries, ListShape shape)
{
    const int32_t total = shape.own + shape.extra;
    if (total == 0) {
        return 1;
    }
    *atoms = static_cast<kevo_atom*>(std::calloc(static_cast<size_t>(total), sizeof(kevo_atom)));
    if (!*atoms) {
        return 0;
    }
    *count = total;
    for (int32_t i = 0; i < shape.own; ++i) {
        if (!fillAtom(&(*atoms)[i], entries[i])) {
            return 0;
        }
    }
    for (int32_t j = 0; j < shape.extra; ++j) {
        if (!fillAtom(&(*atoms)[shape.own + j], extraAtom(j))) {
            return 0;
        }
    }
    return 1;
}

int fillStream(kevo_stream* stream, const StreamSpec& entry, ListShape shape)
{
    stream->id = entry.id;
    stream->kind = kevo_streamKindOf(entry.id);
    stream->streamParam = kStreamParam;
    stream->packetSize = entry.packetSize;
    stream->symbolID = entry.symbolID;
    stream->present = 1;
    return fillAtomList(&stream->metaCount, &stream->metas, entry.atoms, shape);
}

bool atomCountInRange(int32_t atomCount)
{
    return atomCount >= KEVO_SAMPLE_MIN_ATOMS && atomCount <= KEVO_SAMPLE_MAX_ATOMS;
}

// "x" makes the existence test part of the open itself: a file that appears
// at the path after any earlier look is still refused, never truncated.
FILE* openOutput(const char* path, kevo_sampleOverwrite overwrite)
{
    if (kevo_isStdoutAlias(path)) {
        return stdout;
    }
    return std::fopen(path, overwrite == KEVO_SAMPLE_OVERWRITE ? "wb" : "wbx");
}

int writePackets(FILE* stream, long long packetBytes)
{
    uint8_t chunk[kPacketChunk];
    uint32_t state = KEVO_SAMPLE_PACKET_SEED;
    long long left = packetBytes;
    while (left > 0 && !std::ferror(stream)) {
        const size_t piece =
            left < static_cast<long long>(sizeof chunk) ? static_cast<size_t>(left) : sizeof chunk;
        kevo_fillSamplePackets(chunk, piece, &state);
        std::fwrite(chunk, 1, piece, stream);
        left -= static_cast<long long>(piece);
    }
    return std::ferror(stream) ? 0 : 1;
}

}  // namespace

int kevo_buildSampleHeader(kevo_file* record)
{
    return kevo_buildSampleHeaderOf(record, KEVO_SAMPLE_DEFAULT_ATOMS);
}

int kevo_buildSampleHeaderOf(kevo_file* record, int32_t atomCount)
{
    if (!atomCountInRange(atomCount)) {
        return 0;
    }
    const int32_t extraAtoms =
        atomCount > KEVO_SAMPLE_DEFAULT_ATOMS ? atomCount - KEVO_SAMPLE_DEFAULT_ATOMS : 0;
    int32_t ownBudget = atomCount - extraAtoms;

    record->headerValue = kHeaderValue;
    const int32_t fileAtoms = static_cast<int32_t>(std::size(kFileAtoms));
    const ListShape fileLevel = {takeOwn(&ownBudget, fileAtoms), 0};
    if (!fillAtomList(&record->metaCount, &record->metas, kFileAtoms, fileLevel)) {
        return 0;
    }
    const size_t streamCount = std::size(kStreams);
    record->streams = static_cast<kevo_stream*>(std::calloc(streamCount, sizeof(kevo_stream)));
    if (!record->streams) {
        return 0;
    }
    record->streamCount = static_cast<int32_t>(streamCount);
    for (size_t i = 0; i < streamCount; ++i) {
        const ListShape shape = {takeOwn(&ownBudget, kStreams[i].atomCount),
                                 extraForStream(extraAtoms, i, streamCount)};
        if (!fillStream(&record->streams[i], kStreams[i], shape)) {
            return 0;
        }
    }
    return kevo_placeHeader(record);
}

int64_t kevo_sampleHeaderBytes(const kevo_file* record)
{
    return static_cast<int64_t>(record->headerBytes);
}

// xorshift32: cheap, fixed for all time, and its top byte varies enough that
// the bytes look like sampled data rather than a pattern.
void kevo_fillSamplePackets(uint8_t* out, size_t size, uint32_t* state)
{
    uint32_t x = *state;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<uint8_t>(x >> 24);
    }
    *state = x;
}

int kevo_writeSampleRecording(const char* path, long long packetBytes, int32_t atomCount,
                              kevo_sampleOverwrite overwrite, kevo_sampleSummary* summary)
{
    if (packetBytes < 0 || packetBytes > KEVO_SAMPLE_MAX_PACKET_BYTES ||
        !atomCountInRange(atomCount)) {
        errno = EINVAL;
        return 0;
    }
    kevo_file record{};
    if (!kevo_buildSampleHeaderOf(&record, atomCount)) {
        errno = ENOMEM;
        return 0;
    }
    record.file = openOutput(path, overwrite);
    if (!record.file) {
        return 0;
    }
    // kevo_closeSynced reports a failed write by the errno it left.
    errno = 0;
    kevo_writeHeader(record.file, &record);
    if (!writePackets(record.file, packetBytes)) {
        // The write's own errno says more than the close would.
        const int writeErrno = errno;
        kevo_close(&record);
        errno = writeErrno;
        return 0;
    }
    if (!kevo_closeSynced(&record)) {
        return 0;
    }
    summary->streamCount = record.streamCount;
    summary->atomCount = atomCount;
    summary->headerBytes = kevo_sampleHeaderBytes(&record);
    summary->packetBytes = packetBytes;
    return 1;
}
