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
//  - the board lookups stay inside the atoms, leave what the writer writes
//    alone, and unpack calibration values into their bit widths;
//  - the packet reader agrees with kevo_readHeader on validity and holds the
//    same header, and its dump stays inside every payload;
//  - the JSON of a header that was read is valid UTF-8, parses back to the
//    same document, agrees with the record, ends where the read stopped, and
//    every atom's offset points at that atom's payload in the input; the
//    listing that kevo-info writes as it goes is that document's dump(2);
//  - no read holds more heap than a small multiple of the input's size.
// A broken rule stops the run with a line saying which, then a trap.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

using Json = nlohmann::ordered_json;

void checkJsonAtoms(const uint8_t* data, uint64_t consumed, const Json& atoms, int32_t count,
                    const kevo_atom* records)
{
    if (atoms.size() != static_cast<size_t>(count > 0 ? count : 0)) {
        fail("the JSON lists a different number of atoms");
    }
    for (size_t j = 0; j < atoms.size(); ++j) {
        const uint64_t offset = atoms[j]["offset"].get<uint64_t>();
        const uint64_t length = static_cast<uint64_t>(records[j].length);
        const size_t hexDigits = atoms[j]["hex"].get<std::string>().size();
        if (atoms[j]["id"] != records[j].id || hexDigits != 2 * length) {
            fail("an atom's JSON differs from the record");
        }
        if (offset > consumed || length > consumed - offset ||
            std::memcmp(data + offset, records[j].data, length) != 0) {
            fail("an atom's JSON offset does not point at its payload");
        }
    }
}

void checkStreamedJson(const kevo_file& record, const std::string& expected)
{
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    kevo_jsonListing listing(out);
    listing.add(record);
    listing.finish();
    std::fclose(out);
    const bool same = std::string(text, size) == expected;
    std::free(text);
    if (!same) {
        fail("the streamed JSON differs from the dump of the whole document");
    }
}

void checkJson(const uint8_t* data, const kevo_file& record, long consumed)
{
    const Json json = kevo_headerJson(record);
    // dump() throws on text that is not UTF-8, which ends the run as a finding.
    const Json back = Json::parse(json.dump(2), nullptr, false);
    if (back.is_discarded() || back != json) {
        fail("the header's JSON does not parse back to the same document");
    }
    checkStreamedJson(record, Json::array({json}).dump(2) + "\n");
    const uint64_t size = static_cast<uint64_t>(consumed);
    if (back["headerBytes"] != size) {
        fail("the header's JSON ends elsewhere than the read");
    }
    checkJsonAtoms(data, size, back["metas"], record.metaCount, record.metas);
    const Json& streams = back["streams"];
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

void checkCalValues(const int32_t values[6])
{
    static const int32_t kLargest[6] = {32767, 4095, 1023, 1023, 2047, 63};
    for (int i = 0; i < 6; ++i) {
        if (values[i] < 0 || values[i] > kLargest[i]) {
            fail("a calibration value is outside its bit width");
        }
    }
}

void checkBoards(kevo_file* record)
{
    const WrittenHeader before(*record);
    if (kevo_findPav2Board(record)) {
        if (record->pav2Board.micGain != 0) {
            fail("the PAV2 lookup left micGain set");
        }
        checkCalValues(record->pav2CalValues);
    }
    kevo_findRokBoard(record);
    const WrittenHeader after(*record);
    if (!after.sameAs(before)) {
        fail("a board lookup changed what the writer writes");
    }
}

void checkPacketReader(int parsed, const kevo_file& record)
{
    kevo_packetReader* reader = nullptr;
    {
        kevo_fuzz::QuietStderr quiet;
        reader = new kevo_packetReader(gScratch->path());
        reader->printHeader(nullptr);
    }
    if (reader->valid != (parsed == 1)) {
        fail("the packet reader and kevo_readHeader disagree on validity");
    }
    if (reader->valid && !WrittenHeader(*reader->fileRecord).sameAs(WrittenHeader(record))) {
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
        if (!WrittenHeader(fromMemory).sameAs(WrittenHeader(fromFile))) {
            fail("a stream of unknown size and a regular file gave different records");
        }
        checkRewrite(data, size, fromFile, fileConsumed);
        checkJson(data, fromFile, fileConsumed);
        checkBoards(&fromFile);
    }
    checkPacketReader(fileParsed, fromFile);
    return 0;
}
