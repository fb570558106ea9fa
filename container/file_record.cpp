#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "container/kevo_container.h"

namespace {

bool equalsIgnoringCase(const char* a, const char* b)
{
    return strcasecmp(a, b) == 0;
}

bool isStdoutAlias(const char* path)
{
    return equalsIgnoringCase(path, "-") || equalsIgnoringCase(path, "stdout") ||
           equalsIgnoringCase(path, "/dev/stdout");
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
    if (isStdoutAlias(path)) {
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

int kevo_closeSynced(kevo_file* record)
{
    if (!record->file) {
        errno = EBADF;
        return 0;
    }
    FILE* stream = record->file;
    record->file = nullptr;

    bool ok = std::fflush(stream) == 0;
    // A write that failed earlier left only the error flag; errno may still
    // hold its reason, which says more than a generic I/O error.
    if (ok && std::ferror(stream)) {
        errno = errno != 0 ? errno : EIO;
        ok = false;
    }
    // The stream's buffer is out; a copy of its descriptor is synced and
    // closed last, so that its close is the one that reports what a network
    // file system refused, and every sync goes through one routine.
    const int copy = ok ? fcntl(fileno(stream), F_DUPFD_CLOEXEC, 0) : -1;
    ok = ok && copy >= 0;
    const int savedErrno = errno;
    const bool closed = std::fclose(stream) == 0;
    if (!ok) {
        errno = savedErrno;
        return 0;
    }
    return kevo_syncAndClose(copy) && closed ? 1 : 0;
}

int kevo_syncAndClose(int fd)
{
    // EINVAL from a terminal or a pipe: there is no stable storage to sync,
    // and what could be written has been. A regular file always has some,
    // and a network file system that refuses its sync may say EINVAL too.
    bool ok = fsync(fd) == 0;
    int reason = errno;
    struct stat info;
    if (!ok && reason == EINVAL && fstat(fd, &info) == 0 && !S_ISREG(info.st_mode)) {
        ok = true;
    }
    reason = ok ? 0 : reason;
    if (::close(fd) != 0 && ok) {
        return 0;
    }
    errno = reason;
    return ok ? 1 : 0;
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
