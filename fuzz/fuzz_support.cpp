#include "fuzz/fuzz_support.h"

#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

namespace kevo_fuzz {

namespace {

constexpr size_t kFixedHeaderBytes = KEVO_HEADER_FIXED_BYTES;
constexpr size_t kCountBytes = KEVO_STREAM_COUNT_BYTES;
constexpr size_t kStreamFixedBytes = KEVO_STREAM_FIXED_BYTES;
constexpr size_t kAtomFixedBytes = KEVO_ATOM_FIXED_BYTES;
constexpr size_t kPacketSizeOffset = 8;  // inside a stream descriptor

int gDevNull = -1;
int gRealStderr = -1;

size_t atomListBytes(int32_t count, const kevo_atom* atoms)
{
    size_t bytes = 0;
    for (int32_t i = 0; atoms && i < count; ++i) {
        bytes += kAtomFixedBytes + static_cast<size_t>(atoms[i].length);
    }
    return bytes;
}

// Walks a list of atoms from `*offset`, checking each recorded offset on the
// way, and leaves `*offset` past the list.
bool atomOffsetsAgree(int32_t count, const kevo_atom* atoms, uint64_t* offset)
{
    for (int32_t i = 0; atoms && i < count; ++i) {
        if (atoms[i].offset != *offset) {
            return false;
        }
        *offset += kAtomFixedBytes + static_cast<uint64_t>(atoms[i].length);
    }
    return true;
}

}  // namespace

void fail(const char* target, const char* rule)
{
    std::fflush(stderr);
    if (gRealStderr >= 0) {
        dup2(gRealStderr, STDERR_FILENO);
    }
    std::fprintf(stderr, "%s: %s\n", target, rule);
    std::fflush(stderr);
    __builtin_trap();
}

void setupFailed(const char* what)
{
    std::perror(what);
    std::abort();
}

ScratchFile::ScratchFile(const char* prefix)
{
    const char* folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::snprintf(path_, sizeof path_, "%s/%s-XXXXXX", folder, prefix);
    const int fd = mkstemp(path_);
    if (fd < 0) {
        setupFailed("mkstemp");
    }
    stream_ = fdopen(fd, "w+b");
    if (!stream_) {
        setupFailed("fdopen");
    }
}

ScratchFile::~ScratchFile()
{
    std::fclose(stream_);
    unlink(path_);
}

void ScratchFile::rewrite(const uint8_t* data, size_t size)
{
    std::rewind(stream_);
    if (ftruncate(fileno(stream_), 0) != 0) {
        setupFailed("ftruncate");
    }
    if (std::fwrite(data, 1, size, stream_) != size || std::fflush(stream_) != 0) {
        setupFailed("write");
    }
    std::rewind(stream_);
}

size_t ScratchFile::readBack(uint8_t* out, size_t capacity)
{
    // Someone else wrote through another handle: drop what stdio buffered.
    std::fflush(stream_);
    std::rewind(stream_);
    const size_t got = std::fread(out, 1, capacity, stream_);
    if (std::fseek(stream_, 0, SEEK_END) != 0) {
        setupFailed("fseek");
    }
    const long length = std::ftell(stream_);
    std::rewind(stream_);
    if (length < 0 || (static_cast<size_t>(length) <= capacity && got != static_cast<size_t>(length))) {
        setupFailed("read back");
    }
    return static_cast<size_t>(length);
}

void prepareQuietStderr()
{
    gDevNull = open("/dev/null", O_WRONLY);
    gRealStderr = dup(STDERR_FILENO);
    if (gDevNull < 0 || gRealStderr < 0) {
        setupFailed("/dev/null");
    }
    // A sanitizer report from inside a quiet stretch must still be seen.
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(gRealStderr)));
}

QuietStderr::QuietStderr()
{
    std::fflush(stderr);
    dup2(gDevNull, STDERR_FILENO);
}

QuietStderr::~QuietStderr()
{
    std::fflush(stderr);
    dup2(gRealStderr, STDERR_FILENO);
}

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
    // A memory stream has no file descriptor, so the reader cannot learn
    // its size.
    static uint8_t empty[1];
    void* bytes = size > 0 ? const_cast<uint8_t*>(data) : empty;
    FILE* stream = fmemopen(bytes, size, "rb");
    if (!stream) {
        setupFailed("fmemopen");
    }
    const int ok = parse(stream, record, consumed);
    std::fclose(stream);
    return ok;
}

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

bool recordedOffsetsAgree(const kevo_file& record)
{
    uint64_t offset = kFixedHeaderBytes;
    if (!atomOffsetsAgree(record.metaCount, record.metas, &offset) ||
        record.streamCountOffset != offset) {
        return false;
    }
    offset += kCountBytes;
    for (int32_t i = 0; record.streams && i < record.streamCount; ++i) {
        const kevo_stream& stream = record.streams[i];
        if (stream.offset != offset) {
            return false;
        }
        offset += kStreamFixedBytes;
        if (!atomOffsetsAgree(stream.metaCount, stream.metas, &offset)) {
            return false;
        }
    }
    return record.headerBytes == offset;
}

size_t payloadOffset(const kevo_file& record, int32_t streamID, int32_t metaID)
{
    size_t offset = kFixedHeaderBytes;
    if (streamID < 0) {
        return offset + atomListBytes(metaID, record.metas) + kAtomFixedBytes;
    }
    offset += atomListBytes(record.metaCount, record.metas) + kCountBytes;
    for (int32_t i = 0; i < streamID; ++i) {
        const kevo_stream& stream = record.streams[i];
        offset += kStreamFixedBytes + atomListBytes(stream.metaCount, stream.metas);
    }
    offset += kStreamFixedBytes;
    return offset + atomListBytes(metaID, record.streams[streamID].metas) + kAtomFixedBytes;
}

}  // namespace kevo_fuzz
