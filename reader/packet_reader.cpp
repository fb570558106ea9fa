#include <cstdio>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <unistd.h>

#include "reader/kevo_reader.h"

namespace {

constexpr int32_t kDefaultBlockSize = 4096;
constexpr int32_t kDefaultLimit = 100000;
constexpr int32_t kSmallestInputCapacity = 8192;
constexpr const char* kTraceSuffix = ".processing";

// Exclusive creation: a file or directory already there, or a link planted
// in its place, is never truncated, written through or later removed.
bool createEmptyFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

}  // namespace

kevo_packetReader::kevo_packetReader()
    : streamCount(0),
      reservedWords{0, 0, 0, 0, 0},
      headerValue(0),
      ok(true),
      valid(false),
      fileRecord(nullptr),
      traceEnabled(false),
      maxStreams(kMaxStreams),
      blockSize(kDefaultBlockSize),
      reservedLimit(kDefaultLimit),
      reservedSetting(0),
      ownsFile(false),
      reservedBlock{},
      input(nullptr),
      reservedFlag(false)
{
    setDefaults();
}

kevo_packetReader::kevo_packetReader(const char* path) : kevo_packetReader()
{
    open(path);
}

kevo_packetReader::kevo_packetReader(const char* path, FILE* stream) : kevo_packetReader()
{
    open(path, stream);
}

kevo_packetReader::~kevo_packetReader()
{
    releaseHeader(nullptr);
    removeTraceFile();
}

void kevo_packetReader::setDefaults()
{
    releaseHeader(nullptr);
    removeTraceFile();
    traceEnabled = false;
    std::memset(reservedBlock, 0, sizeof reservedBlock);
    fileRecord = nullptr;
    input = nullptr;
    reservedFlag = false;
    reservedSetting = 0;
    reservedLimit = kDefaultLimit;
    blockSize = kDefaultBlockSize;
    maxStreams = kMaxStreams;
}

void kevo_packetReader::open(const char* path)
{
    kevo_file* record = startOpen(path, nullptr);
    if (record) {
        kevo_open(record, path, "r");
        readFrom(record, path);
    }
}

void kevo_packetReader::open(const char* path, FILE* stream)
{
    kevo_file* record = startOpen(path, stream);
    if (record) {
        kevo_openStream(record, path, stream);
        readFrom(record, path);
    }
}

// Releases what the reader held and gives a fresh record for `path`; null,
// after printing why and closing `stream`, when there is no path.
kevo_file* kevo_packetReader::startOpen(const char* path, FILE* stream)
{
    releaseHeader(nullptr);
    removeTraceFile();
    if (!path) {
        ok = false;
        if (stream) {
            std::fclose(stream);
        }
        std::fprintf(stderr, "# kevo_packetReader: ERROR, no kevo file path given\n");
        return nullptr;
    }
    ownsFile = true;
    return new kevo_file();
}

// The rest of open, on a record that holds an open stream or, when the open
// failed, none.
void kevo_packetReader::readFrom(kevo_file* record, const char* path)
{
    if (!record->file) {
        ok = false;
        valid = false;
        std::fprintf(stderr, "# kevo_packetReader: ERROR, unable to open kevo file: %s\n", path);
        delete record;
        return;
    }
    if (traceEnabled) {
        tracePath = std::string(path) + kTraceSuffix;
        traceFileCreated = createEmptyFile(tracePath);
        if (!traceFileCreated) {
            traceEnabled = false;
            std::fprintf(stderr, "# kevo_packetReader: ERROR, unable to write trace file: %s\n",
                         tracePath.c_str());
        }
    }
    if (!kevo_readHeader(record)) {
        kevo_close(record);
        delete record;
        ok = false;
        valid = false;
        std::fprintf(stderr,
                     "# kevo_packetReader: ERROR, kevo file does not contain a valid KEVO header\n");
        return;
    }
    registerStreams(record);
}

void kevo_packetReader::registerStreams(kevo_file* record)
{
    if (!record) {
        std::fprintf(stderr, "# kevo_packetReader: ERROR, no kevo file record to register\n");
        return;
    }
    releaseHeader(record);
    fileRecord = record;
    valid = true;
    ok = true;
    if (record->streamCount > kMaxStreams) {
        std::fprintf(stderr,
                     "# kevo_packetReader: WARNING, kevo header contains more streams, %d, than "
                     "allowed, %d\n",
                     record->streamCount, kMaxStreams);
    }
    fillRegistry(*record);
    streamCount = record->streamCount;
    headerValue = record->headerValue;
    input = new (std::nothrow) kevo_bufferedInput(record->file, inputCapacityFor(blockSize));
}

int32_t kevo_packetReader::inputCapacityFor(int32_t blockSize)
{
    if (blockSize <= kSmallestInputCapacity) {
        return kSmallestInputCapacity;
    }
    return blockSize > INT32_MAX / 2 ? INT32_MAX : 2 * blockSize;
}

// Everything `open` builds, except the trace file. `keep` is a record that
// is being adopted again, so it must survive its own release.
void kevo_packetReader::releaseHeader(const kevo_file* keep)
{
    if (ownsFile && fileRecord && fileRecord != keep) {
        kevo_close(fileRecord);
        delete fileRecord;
    }
    fileRecord = nullptr;
    delete input;
    input = nullptr;
    valid = false;
    streamCount = 0;
    headerValue = 0;
    kindCounter.clear();
    kindToSymbol.clear();
    symbolToKind.clear();
    nameToKind.clear();
    kindPresent.clear();
}

// unlink, not remove: should the name ever be a directory, it stays.
void kevo_packetReader::removeTraceFile()
{
    if (traceFileCreated) {
        ::unlink(tracePath.c_str());
        traceFileCreated = false;
    }
}

void kevo_packetReader::fillRegistry(const kevo_file& record)
{
    for (int32_t i = 0; i < record.streamCount; ++i) {
        if (!record.streams) {
            std::fprintf(stderr,
                         "# kevo_packetReader: KEVO File header error, stream found with NULL "
                         "pointer\n");
            continue;
        }
        const kevo_stream& stream = record.streams[i];
        const int32_t symbol = static_cast<int32_t>(stream.symbolID);
        kindToSymbol[stream.kind] = symbol;
        symbolToKind[symbol] = stream.kind;
        nameToKind[kevo_streamKindName(stream.kind)] = stream.kind;
        kindPresent[stream.kind] = true;
        kindCounter[stream.kind] = 0;
    }
}
