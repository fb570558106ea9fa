#include <cstdlib>
#include <cstring>

#include <strings.h>

#include "container/kevo_container.h"

namespace {

bool equalsIgnoringCase(const char* a, const char* b)
{
    return strcasecmp(a, b) == 0;
}

void setPath(kevo_file* record, const char* path)
{
    std::free(record->path);
    const size_t size = std::strlen(path) + 1;
    record->path = static_cast<char*>(std::malloc(size));
    if (record->path) {
        std::memcpy(record->path, path, size);
    }
}

int openOutput(kevo_file* record, const char* path, const char* mode)
{
    if (kevo_isStdoutAlias(path)) {
        setPath(record, "stdout");
        record->file = stdout;
        return 1;
    }
    setPath(record, path);
    record->file = std::fopen(path, equalsIgnoringCase(mode, "w") ? "wb" : "ab");
    if (!record->file) {
        std::fprintf(stderr, "ERROR: can't open file %s\n", path);
        return 0;
    }
    return 1;
}

int openInput(kevo_file* record, const char* path, const char* mode)
{
    if (kevo_isStdinAlias(path)) {
        setPath(record, "stdin");
        record->file = stdin;
    } else {
        setPath(record, path);
        record->file = std::fopen(path, equalsIgnoringCase(mode, "r") ? "rb" : "r+b");
        if (!record->file) {
            std::fprintf(stderr, "ERROR: can't open file %s\n", path);
            return 0;
        }
    }
    kevo_freeHeader(record);
    return 1;
}

}  // namespace

kevo_file::~kevo_file()
{
    kevo_close(this);
    kevo_freeHeader(this);
    std::free(path);
    path = nullptr;
}

bool kevo_isStdinAlias(const char* path)
{
    return equalsIgnoringCase(path, "-") || equalsIgnoringCase(path, "stdin") ||
           equalsIgnoringCase(path, "/dev/stdin");
}

bool kevo_isStdoutAlias(const char* path)
{
    return equalsIgnoringCase(path, "-") || equalsIgnoringCase(path, "stdout") ||
           equalsIgnoringCase(path, "/dev/stdout");
}

int kevo_open(kevo_file* record, const char* path, const char* mode)
{
    if (equalsIgnoringCase(mode, "w") || equalsIgnoringCase(mode, "a")) {
        return openOutput(record, path, mode);
    }
    if (equalsIgnoringCase(mode, "r") || equalsIgnoringCase(mode, "r+")) {
        return openInput(record, path, mode);
    }
    std::fprintf(stderr, "ERROR: unknown file mode %s\n", mode);
    return 0;
}

int kevo_openStream(kevo_file* record, const char* path, FILE* stream)
{
    setPath(record, path);
    record->file = stream;
    if (!stream) {
        std::fprintf(stderr, "ERROR: can't open file %s\n", path);
        return 0;
    }
    kevo_freeHeader(record);
    return 1;
}

int kevo_close(kevo_file* record)
{
    if (record->file) {
        std::fclose(record->file);
        record->file = nullptr;
    }
    return 1;
}

const kevo_atom* kevo_atomAt(const kevo_file& record, kevo_atomPlace place)
{
    const bool fileLevel = place.streamID == KEVO_FILE_LEVEL;
    if (!fileLevel && (place.streamID < 0 || place.streamID >= record.streamCount ||
                       !record.streams)) {
        return nullptr;
    }
    const int32_t count = fileLevel ? record.metaCount : record.streams[place.streamID].metaCount;
    const kevo_atom* atoms = fileLevel ? record.metas : record.streams[place.streamID].metas;
    if (!atoms || place.metaID < 0 || place.metaID >= count) {
        return nullptr;
    }
    return &atoms[place.metaID];
}

kevo_atom* kevo_atomAt(kevo_file& record, kevo_atomPlace place)
{
    return const_cast<kevo_atom*>(kevo_atomAt(static_cast<const kevo_file&>(record), place));
}
