// libFuzzer target for the header codec, the board lookups and the header
// dump. Each input is taken as the start of a container file.
//
// What must hold for every input:
//  - a stream of unknown size (a pipe, standard input) and a regular file
//    accept and reject the same inputs and give the same record: the reader
//    refuses counts early only when it knows the size, never differently;
//  - a header that was read writes back as the very bytes it was read from,
//    except the stream count (a negative one comes back as 0) and the
//    packet sizes the reader forces; so its length is what the read consumed;
//  - writing is idempotent: the rewritten header reads back and writes the
//    same bytes again;
//  - the board lookups stay inside the atoms, leave the header alone, and
//    unpack calibration values into their bit widths;
//  - the offsets the reader recorded are where the harness's own walk over
//    the lengths puts them, and headerBytes is what the read consumed;
//  - the packet reader agrees with kevo_readHeader on validity and holds the
//    same header, and its dump stays inside every payload;
//  - the listing that kevo-info --json writes for a header that was read
//    parses, agrees with the record, ends where the read stopped, every
//    atom's offset points at that atom's payload in the input, and an 's'
//    atom's text is its payload where that is UTF-8 and holds U+FFFD where
//    it is not;
//  - no read holds more heap than a small multiple of the input's size.
// The dump and the JSON cost more to render, and the JSON to parse, than
// all the rest together, and the more the longer the input: only one input
// in kRenderSampleRate per started kRenderSampleBytes, picked by its bytes,
// is rendered. The edit target dumps every input it reads.
// A broken rule stops the run with a line saying which, then a trap.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <sanitizer/allocator_interface.h>

#include "container/kevo_container.h"
#include "fuzz/fuzz_support.h"
#include "info/kevo_info.h"
#include "reader/kevo_reader.h"

namespace {

using kevo_fuzz::parse;
using kevo_fuzz::parseBytes;

const char* const kTarget = "header_fuzzer";

// The reader may hold several times a header's size in memory (records and
// arrays are wider than the bytes they come from, and arrays double as they
// grow), plus fixed buffers: the first payload piece and stdio's own. More
// than this for any input means a count or a length was trusted.
constexpr size_t kReaderBytesPerInputByte = 12;
constexpr size_t kReaderFixedBytes = 256 * 1024;

constexpr uint32_t kRenderSampleRate = 32;
constexpr size_t kRenderSampleBytes = 4096;

kevo_fuzz::ScratchFile* gScratch = nullptr;

[[noreturn]] void fail(const char* rule)
{
    kevo_fuzz::fail(kTarget, rule);
}

// Live heap bytes while a read is being watched, and their high-water mark.
bool gWatching = false;
int64_t gLiveBytes = 0;
int64_t gPeakBytes = 0;
size_t gLargestInput = 0;
int64_t gLargestPeak = 0;

void onMalloc(const volatile void*, size_t size)
{
    if (gWatching) {
        gLiveBytes += static_cast<int64_t>(size);
        gPeakBytes = gLiveBytes > gPeakBytes ? gLiveBytes : gPeakBytes;
    }
}

void onFree(const volatile void* pointer)
{
    if (gWatching && pointer) {
        gLiveBytes -= static_cast<int64_t>(__sanitizer_get_allocated_size(pointer));
    }
}

void reportPeak()
{
    std::fprintf(stderr, "%s: the largest reader peak was %lld heap bytes, for a %zu-byte input\n",
                 kTarget, static_cast<long long>(gLargestPeak), gLargestInput);
}

// Runs `read` and fails when it held more heap than the input can justify.
template <typename Read>
int watchMemory(size_t inputSize, Read read)
{
    gLiveBytes = 0;
    gPeakBytes = 0;
    gWatching = true;
    const int result = read();
    gWatching = false;
    if (gPeakBytes > gLargestPeak) {
        gLargestPeak = gPeakBytes;
        gLargestInput = inputSize;
    }
    const uint64_t allowed = kReaderBytesPerInputByte * static_cast<uint64_t>(inputSize) +
                             kReaderFixedBytes;
    if (static_cast<uint64_t>(gPeakBytes) > allowed) {
        fail("the reader held more memory than the input can justify");
    }
    return result;
}

// A header as kevo_writeHeader writes it, in a buffer open_memstream made.
struct WrittenHeader {
    char* bytes = nullptr;
    size_t size = 0;

    explicit WrittenHeader(const kevo_file& record)
    {
        FILE* stream = open_memstream(&bytes, &size);
        if (!stream) {
            kevo_fuzz::setupFailed("open_memstream");
        }
        kevo_writeHeader(stream, &record);
        std::fclose(stream);
    }
    ~WrittenHeader() { std::free(bytes); }
    WrittenHeader(const WrittenHeader&) = delete;
    WrittenHeader& operator=(const WrittenHeader&) = delete;

    const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(bytes); }

    bool sameAs(const uint8_t* other, size_t otherSize) const
    {
        return size == otherSize && (size == 0 || std::memcmp(bytes, other, size) == 0);
    }

    bool sameAs(const WrittenHeader& other) const { return sameAs(other.data(), other.size); }
};

bool sameAtoms(int32_t count, const kevo_atom* a, const kevo_atom* b)
{
    for (int32_t j = 0; j < count; ++j) {
        if (a[j].id != b[j].id || a[j].type != b[j].type || a[j].length != b[j].length ||
            a[j].offset != b[j].offset ||
            std::memcmp(a[j].data, b[j].data, static_cast<size_t>(a[j].length)) != 0) {
            return false;
        }
    }
    return true;
}

// Whether two records hold the same header, field by field, offsets
// included: cheaper than writing both out, and it sees the offsets, which
// the writer does not write.
bool sameHeader(const kevo_file& a, const kevo_file& b)
{
    if (a.headerValue != b.headerValue || a.metaCount != b.metaCount ||
        a.streamCount != b.streamCount || a.streamCountOffset != b.streamCountOffset ||
        a.headerBytes != b.headerBytes || !sameAtoms(a.metaCount, a.metas, b.metas)) {
        return false;
    }
    for (int32_t i = 0; i < a.streamCount; ++i) {
        const kevo_stream& x = a.streams[i];
        const kevo_stream& y = b.streams[i];
        if (x.kind != y.kind || x.id != y.id || x.streamParam != y.streamParam ||
            x.packetSize != y.packetSize || x.symbolID != y.symbolID ||
            x.metaCount != y.metaCount || x.present != y.present ||
            x.packetSizeInFile != y.packetSizeInFile || x.offset != y.offset ||
            !sameAtoms(x.metaCount, x.metas, y.metas)) {
            return false;
        }
    }
    return true;
}

void checkRewrite(const uint8_t* data, size_t size, const kevo_file& record, long consumed)
{
    if (consumed < 0 || static_cast<size_t>(consumed) > size) {
        fail("the read consumed more than the input");
    }
    const WrittenHeader first(record);
    if (first.size != static_cast<size_t>(consumed)) {
        fail("the rewritten header's length differs from what the read consumed");
    }
    std::vector<uint8_t> expected;
    if (!kevo_fuzz::expectedRewrite(data, first.size, record, &expected)) {
        fail("the record's atoms and streams do not add up to what the read consumed");
    }
    if (!first.sameAs(expected.data(), expected.size())) {
        fail("the rewritten header differs from the input beyond count and forced sizes");
    }

    kevo_file again{};
    long againConsumed = -1;
    if (!parseBytes(first.data(), first.size, &again, &againConsumed)) {
        fail("the rewritten header does not read back");
    }
    if (againConsumed != consumed) {
        fail("the rewritten header reads back to a different length");
    }
    const WrittenHeader second(again);
    if (!second.sameAs(first)) {
        fail("writing is not idempotent");
    }
}

// FNV-1a: the same input is always picked or never, so a finding replays.
bool pickedForRendering(const uint8_t* data, size_t size)
{
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; ++i) {
        hash = (hash ^ data[i]) * 16777619u;
    }
    return hash % (kRenderSampleRate * (1 + size / kRenderSampleBytes)) == 0;
}

using Json = nlohmann::json;

// Whether the bytes are UTF-8, by nlohmann's strict writer, which refuses
// any that are not.
bool isUtf8(const std::string& bytes)
{
    try {
        Json(bytes).dump();
        return true;
    } catch (const Json::type_error&) {
        return false;
    }
}

void checkJsonText(const Json& atom, const kevo_atom& record)
{
    if (atom.contains("text") != (record.type == 's')) {
        fail("an atom's JSON has text where its type is not 's', or none where it is");
    }
    if (record.type != 's') {
        return;
    }
    const std::string payload(reinterpret_cast<const char*>(record.data),
                              static_cast<size_t>(record.length));
    const std::string text = atom["text"].get<std::string>();
    if (isUtf8(payload) ? text != payload : text.find("\xEF\xBF\xBD") == std::string::npos) {
        fail("an 's' atom's JSON text is not its payload with U+FFFD for bytes that are not UTF-8");
    }
}

void checkJsonAtoms(const uint8_t* data, uint64_t consumed, const Json& atoms, int32_t count,
                    const kevo_atom* records)
{
    if (atoms.size() != static_cast<size_t>(count > 0 ? count : 0)) {
        fail("the JSON lists a different number of atoms");
    }
    for (size_t j = 0; j < atoms.size(); ++j) {
        const Json& atom = atoms[j];
        const uint64_t offset = atom["offset"].get<uint64_t>();
        const uint64_t length = static_cast<uint64_t>(records[j].length);
        if (atom["id"] != records[j].id || atom["length"] != length ||
            atom["hex"].get<std::string>().size() != 2 * length) {
            fail("an atom's JSON differs from the record");
        }
        if (offset > consumed || length > consumed - offset ||
            std::memcmp(data + offset, records[j].data, length) != 0) {
            fail("an atom's JSON offset does not point at its payload");
        }
        checkJsonText(atom, records[j]);
    }
}

// The listing as kevo-info --json writes it for this one header.
std::string streamedJson(const kevo_file& record)
{
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    if (!out) {
        kevo_fuzz::setupFailed("open_memstream");
    }
    kevo_jsonListing listing(out);
    listing.add(record);
    listing.finish();
    std::fclose(out);
    std::string copy(text, size);
    std::free(text);
    return copy;
}

void checkJson(const uint8_t* data, const kevo_file& record, long consumed)
{
    // The parser refuses text that is not UTF-8.
    const Json listing = Json::parse(streamedJson(record), nullptr, false);
    if (listing.is_discarded() || !listing.is_array() || listing.size() != 1) {
        fail("the streamed JSON is not an array of one valid object");
    }
    const Json& header = listing[0];
    const uint64_t size = static_cast<uint64_t>(consumed);
    if (header["headerBytes"] != size) {
        fail("the header's JSON ends elsewhere than the read");
    }
    checkJsonAtoms(data, size, header["metas"], record.metaCount, record.metas);
    const Json& streams = header["streams"];
    if (streams.size() != static_cast<size_t>(record.streamCount > 0 ? record.streamCount : 0)) {
        fail("the JSON lists a different number of streams");
    }
    for (size_t i = 0; i < streams.size(); ++i) {
        const kevo_stream& stream = record.streams[i];
        const bool forced = stream.packetSizeInFile != stream.packetSize;
        if (streams[i]["id"] != stream.id || streams[i]["packetSize"] != stream.packetSize ||
            streams[i].contains("packetSizeInFile") != forced) {
            fail("a stream's JSON differs from the record");
        }
        checkJsonAtoms(data, size, streams[i]["metas"], stream.metaCount, stream.metas);
    }
}

void checkOffsets(const kevo_file& record, long consumed)
{
    if (!kevo_fuzz::recordedOffsetsAgree(record)) {
        fail("the offsets the reader recorded differ from the walk over the lengths");
    }
    if (record.headerBytes != static_cast<uint64_t>(consumed)) {
        fail("headerBytes differs from what the read consumed");
    }
}

void checkCalValues(const int32_t values[6])
{
    static const int32_t kLargest[6] = {32767, 4095, 1023, 1023, 2047, 63};
    for (int i = 0; i < 6; ++i) {
        if (values[i] < 0 || values[i] > kLargest[i]) {
            fail("a calibration value is outside its bit width");
        }
    }
}

// `same` holds the header `record` holds, read on its own.
void checkBoards(kevo_file* record, const kevo_file& same)
{
    if (kevo_findPav2Board(record)) {
        if (record->pav2Board.micGain != 0) {
            fail("the PAV2 lookup left micGain set");
        }
        checkCalValues(record->pav2CalValues);
    }
    kevo_findRokBoard(record);
    if (!sameHeader(*record, same)) {
        fail("a board lookup changed the header");
    }
}

void checkPacketReader(int parsed, const kevo_file& record, bool render)
{
    kevo_packetReader* reader = nullptr;
    {
        kevo_fuzz::QuietStderr quiet;
        reader = new kevo_packetReader(gScratch->path());
        if (render) {
            reader->printHeader(nullptr);
        }
    }
    if (reader->valid != (parsed == 1)) {
        fail("the packet reader and kevo_readHeader disagree on validity");
    }
    if (reader->valid && !sameHeader(*reader->fileRecord, record)) {
        fail("the packet reader holds a different header");
    }
    delete reader;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    gScratch = new kevo_fuzz::ScratchFile(kTarget);
    kevo_fuzz::prepareQuietStderr();
    __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
    std::atexit([] {
        reportPeak();
        delete gScratch;
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const bool render = pickedForRendering(data, size);
    kevo_file fromMemory{};
    long memoryConsumed = -1;
    const int memoryParsed = watchMemory(
        size, [&] { return parseBytes(data, size, &fromMemory, &memoryConsumed); });

    gScratch->rewrite(data, size);
    kevo_file fromFile{};
    long fileConsumed = -1;
    const int fileParsed = watchMemory(
        size, [&] { return parse(gScratch->stream(), &fromFile, &fileConsumed); });

    if (memoryParsed != fileParsed) {
        fail("a stream of unknown size and a regular file disagree on the result");
    }
    if (fileParsed) {
        if (memoryConsumed != fileConsumed) {
            fail("a stream of unknown size and a regular file consumed different lengths");
        }
        if (!sameHeader(fromMemory, fromFile)) {
            fail("a stream of unknown size and a regular file gave different records");
        }
        checkOffsets(fromMemory, memoryConsumed);
        checkOffsets(fromFile, fileConsumed);
        checkRewrite(data, size, fromFile, fileConsumed);
        if (render) {
            checkJson(data, fromFile, fileConsumed);
        }
        checkBoards(&fromFile, fromMemory);
    }
    checkPacketReader(fileParsed, fromMemory, render);
    return 0;
}
