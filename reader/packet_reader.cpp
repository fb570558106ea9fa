#include <cstdio>
#include <cstring>
#include <new>

#include "reader/kevo_reader.h"

namespace {

constexpr int32_t kDefaultBlockSize = 4096;
constexpr int32_t kDefaultLimit = 100000;
constexpr int32_t kSmallestInputCapacity = 8192;

}  // namespace

kevo_packetReader::kevo_packetReader(const char* path)
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
    open(path);
}

kevo_packetReader::~kevo_packetReader()
{
    if (ownsFile && fileRecord) {
        kevo_close(fileRecord);
        delete fileRecord;
        fileRecord = nullptr;
    }
    delete input;
    input = nullptr;
    if (traceEnabled) {
        std::remove(tracePath.c_str());
    }
}

void kevo_packetReader::setDefaults()
{
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
    kevo_file* record = new kevo_file();
    ownsFile = true;
    if (!kevo_open(record, path, "r")) {
        ok = false;
        valid = false;
        std::fprintf(stderr, "# kevo_packetReader: ERROR, unable to open kevo file: %s\n", path);
        delete record;
        return;
    }
    if (traceEnabled) {
        tracePath = std::string(path) + ".processing";
        FILE* trace = std::fopen(tracePath.c_str(), "wt");
        if (trace) {
            std::fclose(trace);
        } else {
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
    return blockSize > kSmallestInputCapacity ? 2 * blockSize : kSmallestInputCapacity;
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
