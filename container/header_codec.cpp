#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <sys/stat.h>

#include "container/kevo_container.h"

namespace {

constexpr uint8_t kMagic[4] = {'K', 'E', 'V', 'O'};
constexpr uint32_t kVersion = 2;
constexpr size_t kAtomFixedBytes = KEVO_ATOM_FIXED_BYTES;
constexpr size_t kStreamFixedBytes = KEVO_STREAM_FIXED_BYTES;
// Payloads are read in pieces of at most this size, so that a length from a
// stream of unknown size never reserves memory the data does not fill.
constexpr size_t kPayloadChunk = 64 * 1024;

// A long header in a regular file is read through a block of the codec's
// own: two small reads per atom, each an fread call taking the stream's
// lock, were most of the time spent reading a header of a million atoms. Its
// first bytes go through stdio as they always did, so a small header costs
// the same system calls and memory as before; then the blocks double up to
// the largest.
constexpr uint64_t kReadAheadAfter = 4 * 1024;
constexpr size_t kFirstBlockBytes = 8 * 1024;
constexpr size_t kLargestBlockBytes = 64 * 1024;

// The header's byte source. For a regular file it knows how many bytes can
// still follow, which lets a count or a length be refused before anything is
// allocated for it; for a pipe it cannot know, and callers grow as entries
// arrive instead. Only a regular file is read ahead, since only there can
// the bytes read past the header be given back.
class HeaderInput {
public:
    explicit HeaderInput(FILE* stream) : stream_(stream)
    {
        struct stat info;
        const off_t position = ftello(stream);
        // A stream without a position counts from the header's first byte.
        position_ = position > 0 ? static_cast<uint64_t>(position) : 0;
        if (position >= 0 && fstat(fileno(stream), &info) == 0 && S_ISREG(info.st_mode)) {
            sizeKnown_ = true;
            left_ = info.st_size > position ? static_cast<uint64_t>(info.st_size - position) : 0;
        }
    }

    // Where the next byte read stands.
    uint64_t position() const { return position_; }

    // True when the bytes that can still follow are known, so that a count
    // canHold() accepts is one the data can fill.
    bool sizeKnown() const { return sizeKnown_; }

    bool read(uint8_t* out, size_t size)
    {
        position_ += size;
        if (sizeKnown_) {
            left_ -= size < left_ ? size : left_;
        }
        if (!readingAhead_) {
            taken_ += size;
            readingAhead_ = sizeKnown_ && taken_ >= kReadAheadAfter;
            return std::fread(out, 1, size, stream_) == size;
        }
        while (size > 0) {
            if (next_ == end_ && !refill()) {
                return false;
            }
            const size_t piece = std::min(size, end_ - next_);
            std::memcpy(out, block_.get() + next_, piece);
            next_ += piece;
            out += piece;
            size -= piece;
        }
        return true;
    }

    // The next `size` bytes where the block holds them already, to be read
    // in place and then skipped; null when they must be read.
    const uint8_t* peek(size_t size) const
    {
        return readingAhead_ && end_ - next_ >= size ? block_.get() + next_ : nullptr;
    }

    // Moves past `size` bytes that peek() gave.
    void skip(size_t size)
    {
        position_ += size;
        left_ -= size < left_ ? size : left_;
        next_ += size;
    }

    // False when `count` entries of at least `minBytes` each cannot fit in
    // the bytes that can still follow.
    bool canHold(uint64_t count, uint64_t minBytes) const
    {
        return !sizeKnown_ || count <= left_ / minBytes;
    }

    // Moves the stream back over what was read ahead and not used, so that
    // it stands at the first byte after the last one read. False when the
    // stream cannot be moved.
    bool giveBackReadAhead()
    {
        const off_t unused = static_cast<off_t>(end_ - next_);
        next_ = end_;
        return unused == 0 || fseeko(stream_, -unused, SEEK_CUR) == 0;
    }

private:
    bool refill()
    {
        if (capacity_ < kLargestBlockBytes) {
            capacity_ = capacity_ > 0 ? 2 * capacity_ : kFirstBlockBytes;
            block_.reset(new (std::nothrow) uint8_t[capacity_]);
        }
        next_ = 0;
        end_ = block_ ? std::fread(block_.get(), 1, capacity_, stream_) : 0;
        return end_ > 0;
    }

    FILE* stream_;
    uint64_t position_ = 0;
    bool sizeKnown_ = false;
    uint64_t left_ = 0;
    uint64_t taken_ = 0;  // bytes read before the block took over
    bool readingAhead_ = false;
    std::unique_ptr<uint8_t[]> block_;
    size_t capacity_ = 0;
    size_t next_ = 0;  // first byte of the block not yet handed out
    size_t end_ = 0;   // end of what the last fread put in the block
};

void freeAtoms(int32_t count, kevo_atom* atoms)
{
    if (!atoms) {
        return;
    }
    for (int32_t i = 0; i < count; ++i) {
        std::free(atoms[i].data);
    }
    std::free(atoms);
}

// Entries read so far, in a malloc'ed array. From a source of unknown size
// the array doubles as they arrive, so memory grows only with what has
// really been read; where the file's size vouches for the count, it is asked
// for once, whole. The finished array is handed to the record as it stands,
// trimmed to its entries: no copy at the end.
template <typename T>
class ArrivedList {
public:
    ArrivedList() = default;
    ~ArrivedList() { std::free(items_); }
    ArrivedList(const ArrivedList&) = delete;
    ArrivedList& operator=(const ArrivedList&) = delete;

    // Room for `count` entries in one allocation. A growing array is copied
    // at each step whenever the C library serves it from its heap, as it
    // does once a large block has been freed; one asked for whole never is.
    // False, with the list as it was, when there is no memory for them.
    bool reserve(size_t count)
    {
        if (count <= capacity_) {
            return true;
        }
        if (count > SIZE_MAX / sizeof(T)) {
            return false;
        }
        T* room = static_cast<T*>(std::realloc(items_, count * sizeof(T)));
        if (!room) {
            return false;
        }
        items_ = room;
        capacity_ = count;
        return true;
    }

    // False, with the list as it was, when there is no memory for one more.
    bool append(const T& item)
    {
        if (size_ == capacity_) {
            const size_t grown = capacity_ > 0 ? 2 * capacity_ : kFirstCapacity;
            T* bigger = static_cast<T*>(std::realloc(items_, grown * sizeof(T)));
            if (!bigger) {
                return false;
            }
            items_ = bigger;
            capacity_ = grown;
        }
        items_[size_++] = item;
        return true;
    }

    // The array, for the record to own; the list is empty afterwards.
    T* handOver()
    {
        T* trimmed = static_cast<T*>(std::realloc(items_, size_ * sizeof(T)));
        T* array = trimmed ? trimmed : items_;
        items_ = nullptr;
        size_ = 0;
        capacity_ = 0;
        return array;
    }

    size_t size() const { return size_; }
    T& operator[](size_t index) { return items_[index]; }

private:
    static constexpr size_t kFirstCapacity = 8;

    T* items_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

uint8_t* readPayload(HeaderInput& in, int32_t length)
{
    if (length < 0 || !in.canHold(static_cast<uint64_t>(length), 1)) {
        return nullptr;
    }
    const size_t total = static_cast<size_t>(length);
    // A zero-length payload still gets a buffer: "empty" and "missing" are
    // different things to the dump.
    size_t capacity = total < kPayloadChunk ? (total > 0 ? total : 1) : kPayloadChunk;
    uint8_t* data = static_cast<uint8_t*>(std::malloc(capacity));
    size_t filled = 0;
    while (data && filled < total) {
        if (filled == capacity) {
            const size_t grown = capacity * 2 < total ? capacity * 2 : total;
            uint8_t* bigger = static_cast<uint8_t*>(std::realloc(data, grown));
            if (!bigger) {
                break;
            }
            data = bigger;
            capacity = grown;
        }
        const size_t piece = capacity - filled;
        if (!in.read(data + filled, piece)) {
            break;
        }
        filled += piece;
    }
    if (filled != total) {
        std::free(data);
        return nullptr;
    }
    return data;
}

// An atom whose bytes the read-ahead block holds whole is taken from there
// in place: most atoms of a long header are, and two reads each were most of
// the time spent reading it.
bool takeAtomInPlace(HeaderInput& in, kevo_atom* atom)
{
    const uint8_t* fixed = in.peek(kAtomFixedBytes);
    if (!fixed) {
        return false;
    }
    const int32_t length = kevo_getLE32Signed(fixed + 5);
    const uint8_t* whole =
        length >= 0 ? in.peek(kAtomFixedBytes + static_cast<size_t>(length)) : nullptr;
    if (!whole) {
        return false;
    }
    const size_t payloadBytes = static_cast<size_t>(length);
    // A zero-length payload still gets a buffer: "empty" and "missing" are
    // different things to the dump.
    uint8_t* data = static_cast<uint8_t*>(std::malloc(payloadBytes > 0 ? payloadBytes : 1));
    if (!data) {
        return false;
    }
    std::memcpy(data, whole + kAtomFixedBytes, payloadBytes);
    atom->id = kevo_getLE32(fixed);
    atom->type = fixed[4];
    atom->length = length;
    atom->data = data;
    in.skip(kAtomFixedBytes + payloadBytes);
    return true;
}

bool readAtomFrom(HeaderInput& in, kevo_atom* atom)
{
    uint8_t fixed[kAtomFixedBytes];
    atom->data = nullptr;
    atom->offset = in.position();
    if (takeAtomInPlace(in, atom)) {
        return true;
    }
    if (!in.read(fixed, sizeof fixed)) {
        return false;
    }
    atom->id = kevo_getLE32(fixed);
    atom->type = fixed[4];
    atom->length = kevo_getLE32Signed(fixed + 5);
    atom->data = readPayload(in, atom->length);
    return atom->data != nullptr;
}

// Atoms read so far; frees their payloads unless handed over.
struct PendingAtoms {
    ArrivedList<kevo_atom> items;

    ~PendingAtoms()
    {
        for (size_t i = 0; i < items.size(); ++i) {
            std::free(items[i].data);
        }
    }
};

// Reads `count` atoms into a new array; a count of 0 or below gives none.
bool readAtomList(HeaderInput& in, int32_t count, kevo_atom** out)
{
    *out = nullptr;
    if (count <= 0) {
        return true;
    }
    if (!in.canHold(static_cast<uint64_t>(count), kAtomFixedBytes)) {
        return false;
    }
    PendingAtoms pending;
    // canHold() has held the count against the bytes that follow, so the
    // array asked for is no larger than the file can fill.
    if (in.sizeKnown() && !pending.items.reserve(static_cast<size_t>(count))) {
        return false;
    }
    for (int32_t i = 0; i < count; ++i) {
        kevo_atom atom{};
        if (!readAtomFrom(in, &atom)) {
            return false;
        }
        if (!pending.items.append(atom)) {
            std::free(atom.data);
            return false;
        }
    }
    *out = pending.items.handOver();
    return true;
}

bool readStreamFrom(HeaderInput& in, kevo_stream* stream)
{
    uint8_t fixed[kStreamFixedBytes];
    stream->offset = in.position();
    if (!in.read(fixed, sizeof fixed)) {
        return false;
    }
    stream->present = 1;
    stream->id = kevo_getLE32(fixed);
    stream->streamParam = kevo_getLE32(fixed + 4);
    stream->packetSizeInFile = kevo_getLE16(fixed + 8);
    stream->packetSize = kevo_packetSizeOf(stream->id, stream->packetSizeInFile);
    stream->symbolID = kevo_getLE16(fixed + 10);
    stream->kind = kevo_streamKindOf(stream->id);
    stream->metaCount = kevo_getLE32Signed(fixed + 12);
    return readAtomList(in, stream->metaCount, &stream->metas);
}

// Streams read so far; frees their atoms unless handed over.
struct PendingStreams {
    ArrivedList<kevo_stream> items;

    ~PendingStreams()
    {
        for (size_t i = 0; i < items.size(); ++i) {
            freeAtoms(items[i].metaCount, items[i].metas);
        }
    }
};

bool readStreamList(HeaderInput& in, int32_t count, kevo_stream** out)
{
    *out = nullptr;
    if (count <= 0) {
        return true;
    }
    if (!in.canHold(static_cast<uint64_t>(count), kStreamFixedBytes)) {
        return false;
    }
    PendingStreams pending;
    if (in.sizeKnown() && !pending.items.reserve(static_cast<size_t>(count))) {
        return false;
    }
    for (int32_t i = 0; i < count; ++i) {
        kevo_stream stream{};
        if (!readStreamFrom(in, &stream)) {
            return false;
        }
        if (!pending.items.append(stream)) {
            freeAtoms(stream.metaCount, stream.metas);
            return false;
        }
    }
    *out = pending.items.handOver();
    return true;
}

bool readHeaderFrom(HeaderInput& in, kevo_file* record)
{
    uint8_t fixed[KEVO_HEADER_FIXED_BYTES];
    if (!in.read(fixed, sizeof fixed)) {
        return false;
    }
    if (std::memcmp(fixed, kMagic, sizeof kMagic) != 0 || kevo_getLE32(fixed + 4) != kVersion) {
        return false;
    }
    record->headerValue = kevo_getLE64(fixed + 8);
    record->metaCount = kevo_getLE32Signed(fixed + 16);
    if (!readAtomList(in, record->metaCount, &record->metas)) {
        return false;
    }
    uint8_t count[KEVO_STREAM_COUNT_BYTES];
    record->streamCountOffset = in.position();
    if (!in.read(count, sizeof count)) {
        return false;
    }
    record->streamCount = kevo_getLE32Signed(count);
    if (!readStreamList(in, record->streamCount, &record->streams)) {
        return false;
    }
    record->headerBytes = in.position();
    return true;
}

// Once a write has failed, the file offset no longer matches what was meant
// to be written, so anything written after it would land on the wrong bytes
// of the header. Stop at the first failure; the caller sees the stream's
// error state.
void writeBytes(FILE* stream, const void* bytes, size_t size)
{
    if (std::ferror(stream)) {
        return;
    }
    std::fwrite(bytes, 1, size, stream);
}

void write32(FILE* stream, uint32_t value)
{
    uint8_t bytes[4];
    kevo_putLE32(bytes, value);
    writeBytes(stream, bytes, sizeof bytes);
}

// What the reader would take back: a length it accepts and, when there are
// bytes to write, the bytes.
bool atomConsistent(const kevo_atom& atom)
{
    return atom.length == 0 || (atom.length > 0 && atom.data);
}

bool atomListConsistent(int32_t count, const kevo_atom* atoms)
{
    if (count <= 0) {
        return true;
    }
    if (!atoms) {
        return false;
    }
    for (int32_t i = 0; i < count; ++i) {
        if (!atomConsistent(atoms[i])) {
            return false;
        }
    }
    return true;
}

// Checked before the first byte goes out: a header abandoned half-way over
// the start of a file would leave it unreadable. Streams not present are
// not written, so they are not checked.
bool recordConsistent(const kevo_file& record)
{
    if (!atomListConsistent(record.metaCount, record.metas)) {
        return false;
    }
    if (record.streamCount > 0 && !record.streams) {
        return false;
    }
    for (int32_t i = 0; i < record.streamCount; ++i) {
        const kevo_stream& s = record.streams[i];
        if (s.present && !atomListConsistent(s.metaCount, s.metas)) {
            return false;
        }
    }
    return true;
}

uint64_t placeAtoms(int32_t count, kevo_atom* atoms, uint64_t offset)
{
    for (int32_t i = 0; atoms && i < count; ++i) {
        atoms[i].offset = offset;
        offset += kAtomFixedBytes + static_cast<uint32_t>(atoms[i].length);
    }
    return offset;
}

}  // namespace

void kevo_freeHeader(kevo_file* record)
{
    freeAtoms(record->metaCount, record->metas);
    if (record->streams) {
        for (int32_t i = 0; i < record->streamCount; ++i) {
            freeAtoms(record->streams[i].metaCount, record->streams[i].metas);
        }
        std::free(record->streams);
    }
    record->streamCount = 0;
    record->streams = nullptr;
    record->headerValue = 0;
    record->metaCount = 0;
    record->metas = nullptr;
    record->streamCountOffset = 0;
    record->headerBytes = 0;
}

int kevo_readAtom(FILE* stream, kevo_atom* atom)
{
    HeaderInput in(stream);
    if (readAtomFrom(in, atom) && in.giveBackReadAhead()) {
        return 1;
    }
    std::free(atom->data);
    atom->data = nullptr;
    return 0;
}

int kevo_readHeader(kevo_file* record)
{
    kevo_freeHeader(record);
    if (!record->file) {
        return 0;
    }
    HeaderInput in(record->file);
    if (!readHeaderFrom(in, record) || !in.giveBackReadAhead()) {
        kevo_freeHeader(record);
        return 0;
    }
    return 1;
}

int kevo_placeHeader(kevo_file* record)
{
    if (!record || !recordConsistent(*record)) {
        return 0;
    }
    uint64_t offset = placeAtoms(record->metaCount, record->metas, KEVO_HEADER_FIXED_BYTES);
    record->streamCountOffset = offset;
    offset += KEVO_STREAM_COUNT_BYTES;
    for (int32_t i = 0; record->streams && i < record->streamCount; ++i) {
        kevo_stream& stream = record->streams[i];
        if (stream.present) {
            stream.offset = offset;
            offset = placeAtoms(stream.metaCount, stream.metas, offset + kStreamFixedBytes);
        }
    }
    record->headerBytes = offset;
    return 1;
}

int kevo_writeAtom(FILE* stream, const kevo_atom* atom)
{
    if (!stream || !atom || !atomConsistent(*atom)) {
        return 0;
    }
    uint8_t fixed[kAtomFixedBytes];
    kevo_putLE32(fixed, atom->id);
    fixed[4] = static_cast<uint8_t>(atom->type);
    kevo_putLE32(fixed + 5, static_cast<uint32_t>(atom->length));
    writeBytes(stream, fixed, sizeof fixed);
    if (atom->length > 0) {
        writeBytes(stream, atom->data, static_cast<size_t>(atom->length));
    }
    return 1;
}

int kevo_writeHeader(FILE* stream, const kevo_file* record)
{
    if (!stream || !record || !recordConsistent(*record)) {
        return 0;
    }
    uint8_t fixed[16];
    std::memcpy(fixed, kMagic, sizeof kMagic);
    kevo_putLE32(fixed + 4, kVersion);
    kevo_putLE64(fixed + 8, record->headerValue);
    writeBytes(stream, fixed, sizeof fixed);

    write32(stream, static_cast<uint32_t>(record->metaCount));
    for (int32_t i = 0; record->metas && i < record->metaCount; ++i) {
        kevo_writeAtom(stream, &record->metas[i]);
    }

    uint32_t presentCount = 0;
    for (int32_t i = 0; record->streams && i < record->streamCount; ++i) {
        presentCount += record->streams[i].present ? 1 : 0;
    }
    write32(stream, presentCount);

    for (int32_t i = 0; record->streams && i < record->streamCount; ++i) {
        const kevo_stream& s = record->streams[i];
        if (!s.present) {
            continue;
        }
        uint8_t descriptor[kStreamFixedBytes];
        kevo_putLE32(descriptor, s.id);
        kevo_putLE32(descriptor + 4, s.streamParam);
        kevo_putLE16(descriptor + 8, static_cast<uint16_t>(s.packetSize));
        kevo_putLE16(descriptor + 10, static_cast<uint16_t>(s.symbolID));
        kevo_putLE32(descriptor + 12, static_cast<uint32_t>(s.metaCount));
        writeBytes(stream, descriptor, sizeof descriptor);
        for (int32_t j = 0; s.metas && j < s.metaCount; ++j) {
            kevo_writeAtom(stream, &s.metas[j]);
        }
    }
    std::fflush(stream);
    return 1;
}
