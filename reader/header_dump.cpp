#include <cassert>
#include <csignal>
#include <cstdio>
#include <iterator>

#include <pthread.h>
#include <sys/stat.h>

#include <fmt/compile.h>
#include <fmt/format.h>

#include "reader/kevo_reader.h"

namespace {

constexpr fmt::string_view kDefaultPrefix = "# INFO:";
constexpr fmt::string_view kFileLevelIndent = " kevo header ";
constexpr fmt::string_view kStreamAtomIndent = "             ";

// A dump of a million atoms is some 80 MB of text. It leaves in blocks of
// about this size, one fwrite each, and a block always ends at a line end:
// few writes, and on an unbuffered stream a run stopped between two blocks
// has printed whole lines only.
constexpr size_t kBlockBytes = 64 * 1024;
// Room for the line that takes a block past kBlockBytes, so that a block
// needs one allocation rather than a dozen growing ones.
constexpr size_t kLastLineRoom = 4 * 1024;

// The most bytes an argument of the dump's formats can come to. Numbers are
// printed in decimal or as eight hex digits, and no width in the formats is
// wider than a number's longest form, so these bound every field.
constexpr size_t mostBytes(int) { return 11; }            // -2147483648
constexpr size_t mostBytes(unsigned int) { return 10; }   // 4294967295
constexpr size_t mostBytes(char) { return 1; }
constexpr size_t mostBytes(fmt::string_view text) { return text.size(); }

// The signals that stop a run from a terminal, kill(1) or timeout(1). One
// that arrives while the kernel copies a block into a file cuts the block
// short at a page boundary, mid-line; held for the length of each write,
// they end the run between two blocks instead. SIGKILL cannot be held.
class StopSignalsHeld {
public:
    explicit StopSignalsHeld(bool hold) : held_(hold)
    {
        if (!held_) {
            return;
        }
        sigset_t stop;
        sigemptyset(&stop);
        for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
            sigaddset(&stop, signal);
        }
        pthread_sigmask(SIG_BLOCK, &stop, &saved_);
    }
    ~StopSignalsHeld()
    {
        if (held_) {
            pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
        }
    }
    StopSignalsHeld(const StopSignalsHeld&) = delete;
    StopSignalsHeld& operator=(const StopSignalsHeld&) = delete;

private:
    bool held_;
    sigset_t saved_;
};

// A write to a pipe, socket or terminal can wait on its reader for as long
// as the reader likes, and must not hold the stop signals that long.
bool writesCannotStall(FILE* out)
{
    const int fd = fileno(out);
    if (fd < 0) {
        return true;  // a stream in memory
    }
    struct stat info;
    return fstat(fd, &info) == 0 && !S_ISFIFO(info.st_mode) && !S_ISSOCK(info.st_mode) &&
           !S_ISCHR(info.st_mode);
}

// Gathers the dump's lines and hands them to `out` a block at a time; the
// last block goes out when the writer goes away.
class DumpWriter {
public:
    explicit DumpWriter(FILE* out) : out_(out), holdStopSignals_(writesCannotStall(out))
    {
        text_.reserve(kBlockBytes + kLastLineRoom);
    }
    ~DumpWriter() { writeBlock(); }
    DumpWriter(const DumpWriter&) = delete;
    DumpWriter& operator=(const DumpWriter&) = delete;

    // Appends the start of a line; `format` is a FMT_COMPILE string. fmt
    // writes through a plain pointer at twice the speed of its buffer's
    // appender, so room is made first for the most the text can take: the
    // format's own length, which covers its literal text, and each
    // argument's longest form.
    template <typename Format, typename... Args>
    void append(const Format& format, const Args&... args)
    {
        const size_t start = text_.size();
        const size_t most = fmt::string_view(format).size() + (mostBytes(args) + ... + 0);
        text_.resize(start + most);
        char* const end = fmt::format_to(text_.data() + start, format, args...);
        assert(end <= text_.data() + start + most);
        text_.resize(static_cast<size_t>(end - text_.data()));
    }

    // Appends the rest of a line, its line end included.
    template <typename Format, typename... Args>
    void line(const Format& format, const Args&... args)
    {
        append(format, args...);
        if (text_.size() >= kBlockBytes) {
            writeBlock();
        }
    }

private:
    void writeBlock()
    {
        if (text_.size() > 0) {
            StopSignalsHeld held(holdStopSignals_);
            std::fwrite(text_.data(), 1, text_.size(), out_);
        }
        text_.clear();
    }

    FILE* out_;
    bool holdStopSignals_;
    fmt::memory_buffer text_;
};

// The four bytes of a fourcc from the least significant up, each written as
// the character with that code, a zero byte included.
class FourccText {
public:
    explicit FourccText(uint32_t id) { kevo_putLE32(bytes_, id); }

    fmt::string_view view() const
    {
        return {reinterpret_cast<const char*>(bytes_), sizeof bytes_};
    }

private:
    uint8_t bytes_[4];
};

// Measured once per dump rather than once per line.
fmt::string_view prefixOrDefault(const char* prefix)
{
    return prefix ? fmt::string_view(prefix) : kDefaultPrefix;
}

void appendBadFile(DumpWriter& dump)
{
    dump.line(FMT_COMPILE("# kevo_packetReader: ERROR kevo file is bad, unable to proceed\n"));
}

// The end of an atom line after its head: the value as the type says.
void appendValue(DumpWriter& dump, uint32_t type, const uint8_t* payload, int32_t payloadLength)
{
    const bool isByte = type == 'c';
    const bool isInt = type == 'i';
    // A payload too short for its type is as unreadable as a missing one.
    if (!payload || (isByte && payloadLength < 1) || (isInt && payloadLength < 4)) {
        dump.line(FMT_COMPILE(" BAD Data Section!\n"));
    } else if (isByte) {
        dump.line(FMT_COMPILE("{}\n"), static_cast<int>(payload[0]));
    } else if (isInt) {
        dump.line(FMT_COMPILE("{}\n"), kevo_getLE32Signed(payload));
    } else {
        dump.line(FMT_COMPILE("unknown type\n"));
    }
}

void appendMeta(DumpWriter& dump, fmt::string_view prefix, fmt::string_view indent, int32_t index,
                int32_t count, uint32_t id, uint32_t type, const uint8_t* payload,
                int32_t payloadLength)
{
    dump.append(FMT_COMPILE("{}{}meta {:3}/{:3}: (ID = 0x{:08X}:'{}') type='{}' = "), prefix,
                indent, index, count, id, FourccText(id).view(),
                static_cast<char>(type));
    appendValue(dump, type, payload, payloadLength);
}

// Every line of a list shares its text up to the index and from the slash
// to the fourcc's hex digits, so that text is formatted once per list.
void appendAtoms(DumpWriter& dump, fmt::string_view prefix, fmt::string_view indent, int32_t count,
                 const kevo_atom* atoms)
{
    if (!atoms || count <= 0) {
        return;
    }
    fmt::memory_buffer lead;
    fmt::format_to(std::back_inserter(lead), FMT_COMPILE("{}{}meta "), prefix, indent);
    fmt::memory_buffer slash;
    fmt::format_to(std::back_inserter(slash), FMT_COMPILE("/{:3}: (ID = 0x"), count);
    const fmt::string_view leadText(lead.data(), lead.size());
    const fmt::string_view slashText(slash.data(), slash.size());
    for (int32_t j = 0; j < count; ++j) {
        const kevo_atom& atom = atoms[j];
        dump.append(FMT_COMPILE("{}{:3}{}{:08X}:'{}') type='{}' = "), leadText, j, slashText,
                    atom.id, FourccText(atom.id).view(), static_cast<char>(atom.type));
        appendValue(dump, atom.type, atom.data, atom.length);
    }
}

void appendStreams(DumpWriter& dump, const kevo_file& record, fmt::string_view prefix,
                   bool withAtoms)
{
    for (int32_t i = 0; record.streams && i < record.streamCount; ++i) {
        const kevo_stream& stream = record.streams[i];
        dump.line(FMT_COMPILE("{} Stream {:3}: Symbol ID={:3} (ID = 0x{:08X}:'{}') [{}]\n"),
                  prefix, i, static_cast<int>(stream.symbolID), stream.id,
                  FourccText(stream.id).view(), fmt::string_view(kevo_streamKindName(stream.kind)));
        if (withAtoms) {
            appendAtoms(dump, prefix, kStreamAtomIndent, stream.metaCount, stream.metas);
        }
    }
}

}  // namespace

void kevo_packetReader::printHeader(const char* prefix, FILE* out) const
{
    const fmt::string_view prefixText = prefixOrDefault(prefix);
    DumpWriter dump(out);
    if (!valid) {
        appendBadFile(dump);
        return;
    }
    const kevo_file& record = *fileRecord;
    dump.line(FMT_COMPILE("{} File: \"{}\"\n"), prefixText,
              fmt::string_view(record.path ? record.path : ""));
    dump.line(FMT_COMPILE("{} KEVO File Contains {:3} streams\n"), prefixText, record.streamCount);
    dump.line(FMT_COMPILE("{} Symbol ID = auto-generated ID number used inside each data packet\n"),
              prefixText);
    dump.line(FMT_COMPILE("{}        ID = KEVO_STREAM ID for identifying stream types\n"),
              prefixText);
    dump.line(FMT_COMPILE("{}\n"), prefixText);
    appendStreams(dump, record, prefixText, false);
    dump.line(FMT_COMPILE("{}\n"), prefixText);
    if (record.metas) {
        dump.line(FMT_COMPILE("{} KEVO File Meta Data:\n"), prefixText);
        appendAtoms(dump, prefixText, kFileLevelIndent, record.metaCount, record.metas);
    }
    appendStreams(dump, record, prefixText, true);
}

void kevo_packetReader::printStreams(const char* prefix, bool withAtoms, FILE* out) const
{
    DumpWriter dump(out);
    if (!valid) {
        appendBadFile(dump);
        return;
    }
    appendStreams(dump, *fileRecord, prefixOrDefault(prefix), withAtoms);
}

void kevo_packetReader::printMeta(const char* prefix, const char* indent, int32_t index,
                                  int32_t count, uint32_t id, uint32_t type,
                                  const uint8_t* payload, int32_t payloadLength, FILE* out)
{
    DumpWriter dump(out);
    appendMeta(dump, prefixOrDefault(prefix), indent ? indent : "", index, count, id, type,
               payload, payloadLength);
}
