// What the fuzz targets share: a named scratch file that holds each input,
// a way to silence standard error around code that prints, and the way a
// broken rule ends the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "container/kevo_container.h"

namespace kevo_fuzz {

// Prints "<target>: <rule>" on the real standard error, then traps, so the
// fuzzer records the input.
[[noreturn]] void fail(const char* target, const char* rule);

// For the harness's own failures (no scratch space, no /dev/null): these are
// not findings, so they abort with the system's reason.
[[noreturn]] void setupFailed(const char* what);

// A named file, made once per process in memory where possible (/dev/shm),
// removed at exit. Truncating a file on disk would cost more than all the
// parsing.
class ScratchFile {
public:
    explicit ScratchFile(const char* prefix);
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const char* path() const { return path_; }
    // Open for reading and writing; positioned at the start after rewrite().
    FILE* stream() const { return stream_; }

    // Replaces the file's bytes with `data`.
    void rewrite(const uint8_t* data, size_t size);
    // Returns the file's length and copies up to `capacity` of its bytes.
    size_t readBack(uint8_t* out, size_t capacity);

private:
    char path_[96];
    FILE* stream_ = nullptr;
};

// Standard error goes to /dev/null while one of these lives. Call
// prepareQuietStderr() once first; sanitizer reports still reach the real
// standard error.
void prepareQuietStderr();

class QuietStderr {
public:
    QuietStderr();
    ~QuietStderr();
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;
};

// Reads a header from `stream` without taking it over; `consumed` is where
// the read stopped. The record's `file` stays null. Returns what
// kevo_readHeader returned.
int parse(FILE* stream, kevo_file* record, long* consumed);

// The same from bytes in memory, as a stream of unknown size.
int parseBytes(const uint8_t* data, size_t size, kevo_file* record, long* consumed);

// The bytes the writer must give back for a header read from `input`: the
// input itself with the stream count and the packet sizes as the record
// holds them. Returns false when the record's atoms and streams do not add
// up to the `consumed` bytes.
bool expectedRewrite(const uint8_t* input, size_t consumed, const kevo_file& record,
                     std::vector<uint8_t>* out);

// Whether the offsets the reader recorded for a header it read (each atom's,
// each stream descriptor's, the stream count's and headerBytes) are where a
// walk of this file's own over the record's lengths puts them.
bool recordedOffsetsAgree(const kevo_file& record);

// Offset, from the start of the file, of the payload of atom `metaID` of
// stream `streamID` (-1: the file-level atoms) in a header the record was
// read from. Both numbers must name an existing atom.
size_t payloadOffset(const kevo_file& record, int32_t streamID, int32_t metaID);

}  // namespace kevo_fuzz
