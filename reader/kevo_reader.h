// The packet reader: opens a KEVO container read-only, validates and holds its
// header, builds the stream registry and the input block over the packet
// data, and prints the header, on standard error unless told otherwise. It
// reads no packets.
//
// It never ends the process: every failure prints one line and leaves
// `valid` false and `fileRecord` null.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "container/kevo_container.h"

// A block buffer over the packet data. The block is built but nothing here
// reads through it; `source` belongs to the file record and is never closed
// by the block.
class kevo_bufferedInput {
public:
    // Builds a block of `length` usable bytes over `stream`. Without a
    // stream prints one "# ERROR:" line and keeps the defaults: no block.
    kevo_bufferedInput(FILE* stream, int32_t length);
    ~kevo_bufferedInput();
    kevo_bufferedInput(const kevo_bufferedInput&) = delete;
    kevo_bufferedInput& operator=(const kevo_bufferedInput&) = delete;

    // Releases the block and puts every field back to its default: no
    // stream, no block, 1024 bytes.
    void setDefaults();

    // Replaces the block with a fresh one of `length` usable bytes and resets
    // the reading state. A failed allocation leaves `block` null.
    void allocate(int32_t length);

    // Where the usable area of an allocation starts: the first multiple of 8
    // strictly above its address.
    static uintptr_t alignedStart(uintptr_t allocationAddress);

    bool reading = false;
    FILE* source = nullptr;
    uint8_t* block = nullptr;
    uint8_t* allocation = nullptr;
    int32_t capacity = 0;
    uint32_t consumed = 0;
    int32_t marker = 0;
    uint32_t filled = 0;
    int32_t halfCapacity = 0;
};

class kevo_packetReader {
public:
    // Opens `path` and reads its header; see `valid` for the outcome. A null
    // path prints one error line and leaves a reader that holds nothing.
    explicit kevo_packetReader(const char* path);
    // Reads the header from `stream`, already open on `path` and standing at
    // its start, instead of opening the path again; the reader owns the
    // stream from here on. A null stream stands for an open that failed and
    // prints the same lines.
    kevo_packetReader(const char* path, FILE* stream);
    ~kevo_packetReader();
    kevo_packetReader(const kevo_packetReader&) = delete;
    kevo_packetReader& operator=(const kevo_packetReader&) = delete;

    // Releases whatever the reader holds (record, input block, its own trace
    // file, registry) and puts the settings back to their defaults (no
    // trace, 4096-byte blocks).
    void setDefaults();

    // Releases whatever the reader holds, then opens the container and reads
    // its header. Prints why and leaves `valid` false when the path is null,
    // the file cannot be opened or it holds no valid header. With tracing on,
    // creates `<path>.processing`, but never over an existing file: then it
    // prints why and turns tracing off for this reader.
    void open(const char* path);

    // As open(path), reading through `stream` as the two-argument
    // constructor does.
    void open(const char* path, FILE* stream);

    // Adopts a parsed record, releasing one held before, and builds the
    // registry and the input block. The teardown deletes the record while
    // `ownsFile` is set, so a caller keeping its record clears that flag. A
    // null record prints one error line and changes nothing.
    void registerStreams(kevo_file* record);

    // Prints the whole header on `out`, each line led by `prefix` ("# INFO:"
    // if null). A reader that is not valid prints only the bad-file line.
    // The dump and the two below gather their text and hand it to `out` in
    // blocks of whole lines of about 64 KiB, one fwrite each.
    void printHeader(const char* prefix, FILE* out = stderr) const;

    // Prints one line per stream on `out`, and each stream's atoms when asked.
    void printStreams(const char* prefix, bool withAtoms, FILE* out = stderr) const;

    // Prints one atom line on `out`, with one fwrite. `payloadLength` guards
    // the value read: a payload too short for its type prints like a missing
    // one.
    static void printMeta(const char* prefix, const char* indent, int32_t index, int32_t count,
                          uint32_t id, uint32_t type, const uint8_t* payload,
                          int32_t payloadLength, FILE* out = stderr);

    // The capacity of the input block for a given block size setting: 8192,
    // or twice a larger block size; INT32_MAX when twice does not fit.
    static int32_t inputCapacityFor(int32_t blockSize);

    static constexpr int32_t kMaxStreams = 19;

    int32_t streamCount;
    uint32_t reservedWords[5];
    uint64_t headerValue;
    bool ok;
    bool valid;
    std::map<int32_t, int32_t> kindCounter;

    kevo_file* fileRecord;
    bool traceEnabled;
    std::string tracePath;
    int32_t maxStreams;
    int32_t blockSize;
    int32_t reservedLimit;
    uint32_t reservedSetting;
    bool ownsFile;
    uint8_t reservedBlock[16];
    kevo_bufferedInput* input;
    std::map<int32_t, int32_t> kindToSymbol;
    std::map<int32_t, int32_t> symbolToKind;
    std::map<std::string, int32_t> nameToKind;
    std::string reservedText;
    bool reservedFlag;
    std::map<int32_t, bool> kindPresent;

private:
    // Every field at its default, nothing opened.
    kevo_packetReader();
    kevo_file* startOpen(const char* path, FILE* stream);
    void readFrom(kevo_file* record, const char* path);
    void fillRegistry(const kevo_file& record);
    void releaseHeader(const kevo_file* keep);
    void removeTraceFile();

    bool traceFileCreated = false;  // by this reader, so it may remove it
};
