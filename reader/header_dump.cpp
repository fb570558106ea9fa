#include <cstdint>
#include <cstdio>
#include <iterator>

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

// What a line's text takes at most is the format's whole length, which
// covers its literal text and any sign, prefix or separator a field's options
// asks for, plus the padding its widths and precisions can add, plus each
// argument's longest form. Only these argument types have a longest form;
// any other does not compile.
constexpr size_t mostBytes(int) { return 11; }            // -2147483648
constexpr size_t mostBytes(unsigned int) { return 10; }   // 4294967295
constexpr size_t mostBytes(char) { return 1; }
constexpr size_t mostBytes(fmt::string_view text) { return text.size(); }

constexpr size_t kUnbounded = SIZE_MAX;

// The sum of the numbers written in a format's replacement fields, which
// bounds the padding their widths and precisions add. A field that takes its
// width from an argument ("{:{}}") has no bound.
constexpr size_t fieldPadding(fmt::string_view format)
{
    size_t padding = 0;
    size_t number = 0;
    bool inField = false;
    for (size_t i = 0; i < format.size(); ++i) {
        const char c = format[i];
        if (!inField) {
            const bool escaped = c == '{' && i + 1 < format.size() && format[i + 1] == '{';
            i += escaped ? 1 : 0;
            inField = c == '{' && !escaped;
        } else if (c == '{') {
            return kUnbounded;
        } else if (c >= '0' && c <= '9') {
            number = number * 10 + static_cast<size_t>(c - '0');
        } else {
            padding += number;
            number = 0;
            inField = c != '}';
        }
    }
    return padding;
}

// Gathers the dump's lines and hands them to `out` a block at a time; the
// last block goes out when the writer goes away.
class DumpWriter {
public:
    explicit DumpWriter(FILE* out) : out_(out)
    {
        text_.reserve(kBlockBytes + kLastLineRoom);
    }
    ~DumpWriter() { writeBlock(); }
    DumpWriter(const DumpWriter&) = delete;
    DumpWriter& operator=(const DumpWriter&) = delete;

    // Appends the start of a line; `format` is a FMT_COMPILE string. fmt
    // writes through a plain pointer at 1.35 times the speed of its
    // buffer's appender, so room is made first for what the text takes at
    // most, and the pointer writes into that room only. A format whose
    // bound cannot be known is written through the appender, which grows
    // the buffer as it goes.
    template <typename Format, typename... Args>
    void append(const Format& format, const Args&... args)
    {
        constexpr fmt::string_view text = fmt::string_view(Format{});
        constexpr size_t padding = fieldPadding(text);
        if constexpr (padding == kUnbounded) {
            fmt::format_to(fmt::appender(text_), format, args...);
        } else {
            const size_t start = text_.size();
            text_.resize(start + text.size() + padding + (mostBytes(args) + ... + 0));
            char* const end = fmt::format_to(text_.data() + start, format, args...);
            text_.resize(static_cast<size_t>(end - text_.data()));
        }
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
            std::fwrite(text_.data(), 1, text_.size(), out_);
        }
        text_.clear();
    }

    FILE* out_;
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
