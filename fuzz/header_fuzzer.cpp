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

// UTF-8 as RFC 3629 has it: no overlong forms, no surrogates, nothing past
// U+10FFFF. Only the byte after the lead has bounds of its own.
bool isUtf8(const uint8_t* bytes, size_t size)
{
    size_t i = 0;
    while (i < size) {
        const uint8_t lead = bytes[i];
        size_t more = 0;
        uint8_t low = 0x80;
        uint8_t high = 0xBF;
        if (lead < 0x80) {
            more = 0;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            more = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            more = 2;
            low = lead == 0xE0 ? 0xA0 : low;
            high = lead == 0xED ? 0x9F : high;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            more = 3;
            low = lead == 0xF0 ? 0x90 : low;
            high = lead == 0xF4 ? 0x8F : high;
        } else {
            return false;
        }
        if (size - i - 1 < more) {
            return false;
        }
        for (size_t k = 1; k <= more; ++k) {
            const uint8_t byte = bytes[i + k];
            if (byte < (k == 1 ? low : 0x80) || byte > (k == 1 ? high : 0xBF)) {
                return false;
            }
        }
        i += 1 + more;
    }
    return true;
}

// What the listing says of an atom or a stream: only the fields checked.
struct JsonAtom {
    uint64_t id = 0;
    uint64_t length = 0;
    uint64_t offset = 0;
    size_t hexDigits = 0;
    bool hasText = false;
    std::string text;
};

struct JsonStream {
    uint64_t id = 0;
    uint64_t packetSize = 0;
    bool hasPacketSizeInFile = false;
    std::vector<JsonAtom> metas;
};

struct JsonHeader {
    size_t objects = 0;
    uint64_t headerBytes = 0;
    std::vector<JsonAtom> metas;
    std::vector<JsonStream> streams;
};

// Gathers a JsonHeader as the parser reads the listing, with no document
// built: a document of every atom would cost more than everything else the
// target does. The listing's shape is fixed: level 0 is the array, 1 its
// header objects, 2 their "metas" and "streams", 3 the atoms and streams in
// those, 4 a stream's "metas", 5 that stream's atoms. Inside a container of
// level n, depth_ is n + 1 and key_[n] is the key last read there.
class JsonGatherer : public nlohmann::json_sax<nlohmann::json> {
public:
    explicit JsonGatherer(JsonHeader* out) : out_(out) {}

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }

    bool number_unsigned(number_unsigned_t value) override
    {
        if (depth_ == 2 && key_[1] == "headerBytes") {
            out_->headerBytes = value;
        } else if (JsonAtom* atom = currentAtom()) {
            setAtomNumber(atom, key_[depth_ - 1], value);
        } else if (depth_ == 4 && inStreams() && key_[3] == "id") {
            out_->streams.back().id = value;
        } else if (depth_ == 4 && inStreams() && key_[3] == "packetSize") {
            out_->streams.back().packetSize = value;
        }
        return true;
    }

    bool string(string_t& value) override
    {
        JsonAtom* atom = currentAtom();
        if (atom && key_[depth_ - 1] == "hex") {
            atom->hexDigits = value.size();
        } else if (atom && key_[depth_ - 1] == "text") {
            atom->hasText = true;
            atom->text = value;
        }
        return true;
    }

    bool key(string_t& name) override
    {
        key_[depth_ - 1] = name;
        if (depth_ == 4 && inStreams() && name == "packetSizeInFile") {
            out_->streams.back().hasPacketSizeInFile = true;
        }
        return true;
    }

    bool start_object(std::size_t) override
    {
        if (depth_ == 1) {
            ++out_->objects;
        } else if (depth_ == 3 && key_[1] == "metas") {
            out_->metas.emplace_back();
        } else if (depth_ == 3 && inStreams()) {
            out_->streams.emplace_back();
        } else if (depth_ == 5 && inStreams() && key_[3] == "metas") {
            out_->streams.back().metas.emplace_back();
        }
        return enter();
    }

    bool start_array(std::size_t) override { return enter(); }
    bool end_object() override { return leave(); }
    bool end_array() override { return leave(); }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override
    {
        return false;
    }

private:
    static constexpr int kDeepest = 6;

    bool enter()
    {
        if (depth_ == kDeepest) {
            return false;
        }
        key_[depth_++].clear();
        return true;
    }

    bool leave()
    {
        --depth_;
        return true;
    }

    bool inStreams() const { return key_[1] == "streams"; }

    // The atom whose field the parser is at, if it is at one.
    JsonAtom* currentAtom()
    {
        if (depth_ == 4 && key_[1] == "metas" && !out_->metas.empty()) {
            return &out_->metas.back();
        }
        if (depth_ == 6 && inStreams() && key_[3] == "metas" && !out_->streams.empty() &&
            !out_->streams.back().metas.empty()) {
            return &out_->streams.back().metas.back();
        }
        return nullptr;
    }

    static void setAtomNumber(JsonAtom* atom, const std::string& name, uint64_t value)
    {
        if (name == "id") {
            atom->id = value;
        } else if (name == "length") {
            atom->length = value;
        } else if (name == "offset") {
            atom->offset = value;
        }
    }

    JsonHeader* out_;
    int depth_ = 0;
    std::string key_[kDeepest];
};

void checkJsonText(const JsonAtom& atom, const kevo_atom& record)
{
    if (atom.hasText != (record.type == 's')) {
        fail("an atom's JSON has text where its type is not 's', or none where it is");
    }
    if (record.type != 's') {
        return;
    }
    const std::string payload(reinterpret_cast<const char*>(record.data),
                              static_cast<size_t>(record.length));
    const bool utf8 = isUtf8(record.data, payload.size());
    if (utf8 ? atom.text != payload : atom.text.find("\xEF\xBF\xBD") == std::string::npos) {
        fail("an 's' atom's JSON text is not its payload with U+FFFD for bytes that are not UTF-8");
    }
}

void checkJsonAtoms(const uint8_t* data, uint64_t consumed, const std::vector<JsonAtom>& atoms,
                    int32_t count, const kevo_atom* records)
{
    if (atoms.size() != static_cast<size_t>(count > 0 ? count : 0)) {
        fail("the JSON lists a different number of atoms");
    }
    for (size_t j = 0; j < atoms.size(); ++j) {
        const JsonAtom& atom = atoms[j];
        const uint64_t length = static_cast<uint64_t>(records[j].length);
        if (atom.id != records[j].id || atom.length != length || atom.hexDigits != 2 * length) {
            fail("an atom's JSON differs from the record");
        }
        if (atom.offset > consumed || length > consumed - atom.offset ||
            std::memcmp(data + atom.offset, records[j].data, length) != 0) {
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
    JsonHeader header;
    JsonGatherer gatherer(&header);
    // The parser refuses text that is not UTF-8.
    if (!nlohmann::json::sax_parse(streamedJson(record), &gatherer) || header.objects != 1) {
        fail("the streamed JSON is not an array of one valid object");
    }
    const uint64_t size = static_cast<uint64_t>(consumed);
    if (header.headerBytes != size) {
        fail("the header's JSON ends elsewhere than the read");
    }
    checkJsonAtoms(data, size, header.metas, record.metaCount, record.metas);
    if (header.streams.size() !=
        static_cast<size_t>(record.streamCount > 0 ? record.streamCount : 0)) {
        fail("the JSON lists a different number of streams");
    }
    for (size_t i = 0; i < header.streams.size(); ++i) {
        const kevo_stream& stream = record.streams[i];
        const JsonStream& shown = header.streams[i];
        const bool forced = stream.packetSizeInFile != stream.packetSize;
        if (shown.id != stream.id || shown.packetSize != stream.packetSize ||
            shown.hasPacketSizeInFile != forced) {
            fail("a stream's JSON differs from the record");
        }
        checkJsonAtoms(data, size, shown.metas, stream.metaCount, stream.metas);
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
