#include <array>
#include <cassert>
#include <iterator>
#include <string>
#include <string_view>

#include <fmt/compile.h>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "info/kevo_info.h"

namespace {

using Json = nlohmann::ordered_json;

// The reader accepts no other version, so a header it holds is this one.
constexpr uint32_t kFormatVersion = 2;

// Text gathered before it is handed to the stream in one write.
constexpr size_t kBlockBytes = 64 * 1024;

// dump(2): two spaces per level. A header's object is level 1 in the array,
// its streams and file-level atoms level 3, a stream's atoms level 5, the
// deepest that indent() is asked for.
constexpr int kIndentStep = 2;
constexpr int kHeaderLevel = 1;
constexpr int kDeepestLevel = 5;
constexpr std::string_view kSpaces = "          ";
static_assert(kSpaces.size() == kIndentStep * kDeepestLevel);

// Appends the code point U+00XX for the byte, in UTF-8.
void appendCodePoint(std::string& out, uint8_t byte)
{
    if (byte < 0x80) {
        // Its own byte; the JSON writer escapes the control characters.
        out.push_back(static_cast<char>(byte));
        return;
    }
    out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
    out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
}

uint64_t payloadBytes(const kevo_atom& atom)
{
    return atom.length > 0 ? static_cast<uint64_t>(atom.length) : 0;
}

void appendHex(std::string& out, const kevo_atom& atom)
{
    static const char kDigits[] = "0123456789abcdef";
    if (!atom.data) {
        return;
    }
    const uint64_t length = payloadBytes(atom);
    for (uint64_t i = 0; i < length; ++i) {
        out.push_back(kDigits[atom.data[i] >> 4]);
        out.push_back(kDigits[atom.data[i] & 0x0F]);
    }
}

// Gives the value exactly where the dump prints one, so the two never
// differ: the first byte of a 'c', the signed number of an 'i'.
bool atomValue(const kevo_atom& atom, int64_t* value)
{
    if (!atom.data) {
        return false;
    }
    if (atom.type == 'c' && atom.length >= 1) {
        *value = atom.data[0];
        return true;
    }
    if (atom.type == 'i' && atom.length >= 4) {
        *value = kevo_getLE32Signed(atom.data);
        return true;
    }
    return false;
}

// A string as nlohmann writes it, quotes included; a path or a text atom
// that is not UTF-8 gets U+FFFD for its stray bytes rather than an
// exception.
std::string jsonString(const std::string& text)
{
    return Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The payload of an 's' atom as it stands, NULs included: nothing says such
// text ends at one.
std::string payloadText(const kevo_atom& atom)
{
    if (!atom.data) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(atom.data), payloadBytes(atom));
}

// What each byte of a fourcc or a type becomes between the quotes: the
// escaping of its code point is nlohmann's own, worked out once per byte.
const std::array<std::string, 256>& escapedBytes()
{
    static const std::array<std::string, 256> table = [] {
        std::array<std::string, 256> out;
        for (size_t byte = 0; byte < out.size(); ++byte) {
            std::string text;
            appendCodePoint(text, static_cast<uint8_t>(byte));
            const std::string inQuotes = jsonString(text);
            out[byte] = inQuotes.substr(1, inQuotes.size() - 2);
        }
        return out;
    }();
    return table;
}

std::string_view escaped(uint32_t byte)
{
    return escapedBytes()[byte & 0xFF];
}

std::string_view indent(int level)
{
    assert(level >= 0 && level <= kDeepestLevel);
    return kSpaces.substr(0, static_cast<size_t>(kIndentStep * level));
}

// Writes the text of one header's object into a block and hands each full
// block to the stream.
class ObjectWriter {
public:
    ObjectWriter(std::string& block, FILE* out) : block_(block), out_(out) {}

    void header(const kevo_file& record)
    {
        const std::string_view pad = indent(kHeaderLevel);
        fmt::format_to(std::back_inserter(block_),
                       FMT_COMPILE("{0}{{\n"
                                   "{0}  \"path\": {1},\n"
                                   "{0}  \"headerBytes\": {2},\n"
                                   "{0}  \"version\": {3},\n"
                                   "{0}  \"headerValue\": {4},\n"
                                   "{0}  \"metas\": "),
                       pad, jsonString(record.path ? record.path : ""), record.headerBytes,
                       kFormatVersion, record.headerValue);
        atomList(record.metaCount, record.metas, kHeaderLevel + 1);
        fmt::format_to(std::back_inserter(block_), FMT_COMPILE(",\n{0}  \"streams\": "), pad);
        const int32_t count = record.streams ? record.streamCount : 0;
        list(count, kHeaderLevel + 1, [&](int32_t i, int level) {
            stream(record.streams[i], i, level);
        });
        fmt::format_to(std::back_inserter(block_), FMT_COMPILE("\n{0}}}"), pad);
    }

    void flush()
    {
        std::fwrite(block_.data(), 1, block_.size(), out_);
        block_.clear();
    }

private:
    // "[]", or the elements one level deeper than `level`, where the
    // list's name stands, and the closing bracket back at that level.
    template <typename WriteElement>
    void list(int32_t count, int level, WriteElement writeElement)
    {
        if (count <= 0) {
            block_ += "[]";
            return;
        }
        block_ += "[\n";
        for (int32_t i = 0; i < count; ++i) {
            if (i > 0) {
                block_ += ",\n";
            }
            writeElement(i, level + 1);
            if (block_.size() >= kBlockBytes) {
                flush();
            }
        }
        block_ += '\n';
        block_ += indent(level);
        block_ += ']';
    }

    void atomList(int32_t count, const kevo_atom* atoms, int level)
    {
        list(atoms ? count : 0, level,
             [&](int32_t j, int atomLevel) { atom(atoms[j], j, atomLevel); });
    }

    void stream(const kevo_stream& stream, int32_t index, int level)
    {
        const std::string_view pad = indent(level);
        fmt::format_to(std::back_inserter(block_),
                       FMT_COMPILE("{0}{{\n"
                                   "{0}  \"index\": {1},\n"
                                   "{0}  \"fourcc\": \"{2}{3}{4}{5}\",\n"
                                   "{0}  \"id\": {6},\n"
                                   "{0}  \"kind\": {7},\n"
                                   "{0}  \"symbolID\": {8},\n"
                                   "{0}  \"streamParam\": {9},\n"
                                   "{0}  \"packetSize\": {10},\n"),
                       pad, index, escaped(stream.id), escaped(stream.id >> 8),
                       escaped(stream.id >> 16), escaped(stream.id >> 24), stream.id,
                       jsonString(kevo_streamKindName(stream.kind)), stream.symbolID,
                       stream.streamParam, stream.packetSize);
        if (stream.packetSizeInFile != stream.packetSize) {
            fmt::format_to(std::back_inserter(block_),
                           FMT_COMPILE("{0}  \"packetSizeInFile\": {1},\n"), pad,
                           stream.packetSizeInFile);
        }
        fmt::format_to(std::back_inserter(block_), FMT_COMPILE("{0}  \"metas\": "), pad);
        atomList(stream.metaCount, stream.metas, level + 1);
        fmt::format_to(std::back_inserter(block_), FMT_COMPILE("\n{0}}}"), pad);
    }

    void atom(const kevo_atom& atom, int32_t index, int level)
    {
        const std::string_view pad = indent(level);
        fmt::format_to(std::back_inserter(block_),
                       FMT_COMPILE("{0}{{\n"
                                   "{0}  \"index\": {1},\n"
                                   "{0}  \"fourcc\": \"{2}{3}{4}{5}\",\n"
                                   "{0}  \"id\": {6},\n"
                                   "{0}  \"type\": \"{7}\",\n"
                                   "{0}  \"length\": {8},\n"
                                   "{0}  \"offset\": {9},\n"),
                       pad, index, escaped(atom.id), escaped(atom.id >> 8), escaped(atom.id >> 16),
                       escaped(atom.id >> 24), atom.id, escaped(atom.type), atom.length,
                       atom.offset + KEVO_ATOM_FIXED_BYTES);
        int64_t value = 0;
        if (atomValue(atom, &value)) {
            fmt::format_to(std::back_inserter(block_), FMT_COMPILE("{0}  \"value\": {1},\n"), pad,
                           value);
        }
        if (atom.type == 's') {
            fmt::format_to(std::back_inserter(block_), FMT_COMPILE("{0}  \"text\": {1},\n"), pad,
                           jsonString(payloadText(atom)));
        }
        fmt::format_to(std::back_inserter(block_), FMT_COMPILE("{0}  \"hex\": \""), pad);
        appendHex(block_, atom);
        fmt::format_to(std::back_inserter(block_), FMT_COMPILE("\"\n{0}}}"), pad);
    }

    std::string& block_;
    FILE* out_;
};

}  // namespace

kevo_jsonListing::kevo_jsonListing(FILE* out) : out_(out)
{
    block_.reserve(kBlockBytes + kBlockBytes / 4);
}

void kevo_jsonListing::add(const kevo_file& record)
{
    block_ += empty_ ? "[\n" : ",\n";
    empty_ = false;
    ObjectWriter writer(block_, out_);
    writer.header(record);
    writer.flush();
}

void kevo_jsonListing::finish()
{
    block_ += empty_ ? "[]\n" : "\n]\n";
    ObjectWriter(block_, out_).flush();
}
