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
//    same header, and its dump stays inside every payload.
// A broken rule stops the run with a line saying which, then a trap.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include "container/kevo_container.h"
#include "reader/kevo_reader.h"

namespace {

constexpr size_t kFixedHeaderBytes = 20;  // magic, version, headerValue, metaCount
constexpr size_t kCountBytes = 4;
constexpr size_t kStreamFixedBytes = 16;
constexpr size_t kAtomFixedBytes = 9;
constexpr size_t kPacketSizeOffset = 8;  // inside a stream descriptor

// The named file the regular-file parse and the packet reader read, made
// once per process and rewritten for every input. It lives in memory where
// it can: truncating a file on a disk costs more than all the parsing.
char gTempPath[64];
FILE* gTempFile = nullptr;

// The dump and the reader's messages would drown the fuzzer's own output;
// standard error is pointed at /dev/null around them and put back after.
int gDevNull = -1;
int gRealStderr = -1;

[[noreturn]] void fail(const char* rule)
{
    std::fprintf(stderr, "header_fuzzer: %s\n", rule);
    std::fflush(stderr);
    __builtin_trap();
}

[[noreturn]] void setupFailed(const char* what)
{
    std::perror(what);
    std::abort();
}

void removeTempFile()
{
    if (gTempFile) {
        std::fclose(gTempFile);
        gTempFile = nullptr;
    }
    unlink(gTempPath);
}

void prepareTempFile()
{
    const char* folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::snprintf(gTempPath, sizeof gTempPath, "%s/kevo-header-fuzzer-XXXXXX", folder);
    const int fd = mkstemp(gTempPath);
    if (fd < 0) {
        setupFailed("header_fuzzer: mkstemp");
    }
    gTempFile = fdopen(fd, "w+b");
    if (!gTempFile) {
        setupFailed("header_fuzzer: fdopen");
    }
    std::atexit(removeTempFile);
}

void prepareQuietStderr()
{
    gDevNull = open("/dev/null", O_WRONLY);
    gRealStderr = dup(STDERR_FILENO);
    if (gDevNull < 0 || gRealStderr < 0) {
        setupFailed("header_fuzzer: /dev/null");
    }
    // A sanitizer report from inside a quiet stretch must still be seen.
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(gRealStderr)));
}

class QuietStderr {
public:
    QuietStderr()
    {
        std::fflush(stderr);
        dup2(gDevNull, STDERR_FILENO);
    }
    ~QuietStderr()
    {
        std::fflush(stderr);
        dup2(gRealStderr, STDERR_FILENO);
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;
};

void rewriteTempFile(const uint8_t* data, size_t size)
{
    std::rewind(gTempFile);
    if (ftruncate(fileno(gTempFile), 0) != 0) {
        setupFailed("header_fuzzer: ftruncate");
    }
    if (std::fwrite(data, 1, size, gTempFile) != size || std::fflush(gTempFile) != 0) {
        setupFailed("header_fuzzer: write");
    }
    std::rewind(gTempFile);
}

// A memory stream has no file descriptor, so the reader cannot learn its size.
FILE* openUnknownSize(const uint8_t* data, size_t size)
{
    static uint8_t empty[1];
    void* bytes = size > 0 ? const_cast<uint8_t*>(data) : empty;
    FILE* stream = fmemopen(bytes, size, "rb");
    if (!stream) {
        setupFailed("header_fuzzer: fmemopen");
    }
    return stream;
}

// Reads a header from a stream the caller keeps; `consumed` is where the
// read stopped.
int parse(FILE* stream, kevo_file* record, long* consumed)
{
    record->file = stream;
    const int ok = kevo_readHeader(record);
    *consumed = std::ftell(stream);
    record->file = nullptr;
    return ok;
}

int parseBytes(const uint8_t* data, size_t size, kevo_file* record, long* consumed)
{
    FILE* stream = openUnknownSize(data, size);
    const int ok = parse(stream, record, consumed);
    std::fclose(stream);
    return ok;
}

// A header as kevo_writeHeader writes it, in a buffer open_memstream made.
struct WrittenHeader {
    char* bytes = nullptr;
    size_t size = 0;

    explicit WrittenHeader(const kevo_file& record)
    {
        FILE* stream = open_memstream(&bytes, &size);
        if (!stream) {
            setupFailed("header_fuzzer: open_memstream");
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

size_t atomListBytes(int32_t count, const kevo_atom* atoms)
{
    size_t bytes = 0;
    for (int32_t i = 0; atoms && i < count; ++i) {
        bytes += kAtomFixedBytes + static_cast<size_t>(atoms[i].length);
    }
    return bytes;
}

// The bytes the writer must give back for a header read from `input`:
// the input itself with the stream count and the packet sizes as the record
// holds them. Fails when the record's atoms and streams do not add up to
// what was consumed.
bool expectedRewrite(const uint8_t* input, size_t consumed, const kevo_file& record,
                     std::vector<uint8_t>* out)
{
    out->assign(input, input + consumed);
    size_t offset = kFixedHeaderBytes + atomListBytes(record.metaCount, record.metas);
    if (offset > consumed || consumed - offset < kCountBytes) {
        return false;
    }
    const int32_t streams = record.streamCount > 0 ? record.streamCount : 0;
    kevo_putLE32(out->data() + offset, static_cast<uint32_t>(streams));
    offset += kCountBytes;
    for (int32_t i = 0; i < streams; ++i) {
        const kevo_stream& stream = record.streams[i];
        if (consumed - offset < kStreamFixedBytes) {
            return false;
        }
        const uint16_t packetSize = static_cast<uint16_t>(stream.packetSize);
        kevo_putLE16(out->data() + offset + kPacketSizeOffset, packetSize);
        offset += kStreamFixedBytes + atomListBytes(stream.metaCount, stream.metas);
        if (offset > consumed) {
            return false;
        }
    }
    return offset == consumed;
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
    if (!expectedRewrite(data, first.size, record, &expected)) {
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
        QuietStderr quiet;
        reader = new kevo_packetReader(gTempPath);
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
    prepareTempFile();
    prepareQuietStderr();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kevo_file fromMemory{};
    long memoryConsumed = -1;
    const int memoryParsed = parseBytes(data, size, &fromMemory, &memoryConsumed);

    rewriteTempFile(data, size);
    kevo_file fromFile{};
    long fileConsumed = -1;
    const int fileParsed = parse(gTempFile, &fromFile, &fileConsumed);

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
        checkBoards(&fromFile);
    }
    checkPacketReader(fileParsed, fromFile);
    return 0;
}
