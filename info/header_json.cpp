#include "info/kevo_info.h"

namespace {

using Json = nlohmann::ordered_json;

// The reader accepts no other version, so a header it holds is this one.
constexpr uint32_t kFormatVersion = 2;

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

std::string fourccText(uint32_t id)
{
    std::string out;
    for (int shift = 0; shift < 32; shift += 8) {
        appendCodePoint(out, static_cast<uint8_t>(id >> shift));
    }
    return out;
}

uint64_t payloadBytes(const kevo_atom& atom)
{
    return atom.length > 0 ? static_cast<uint64_t>(atom.length) : 0;
}

std::string hexOf(const kevo_atom& atom)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    if (!atom.data) {
        return out;
    }
    const uint64_t length = payloadBytes(atom);
    out.reserve(2 * length);
    for (uint64_t i = 0; i < length; ++i) {
        out.push_back(kDigits[atom.data[i] >> 4]);
        out.push_back(kDigits[atom.data[i] & 0x0F]);
    }
    return out;
}

// Adds the value exactly where the dump prints one, so the two never differ.
void addValue(Json& out, const kevo_atom& atom)
{
    if (!atom.data) {
        return;
    }
    if (atom.type == 'c' && atom.length >= 1) {
        out["value"] = atom.data[0];
    } else if (atom.type == 'i' && atom.length >= 4) {
        out["value"] = kevo_getLE32Signed(atom.data);
    }
}

// `offset` is where the atom starts in the file.
Json atomJson(const kevo_atom& atom, int32_t index, uint64_t offset)
{
    std::string type;
    appendCodePoint(type, static_cast<uint8_t>(atom.type));
    Json out;
    out["index"] = index;
    out["fourcc"] = fourccText(atom.id);
    out["id"] = atom.id;
    out["type"] = type;
    out["length"] = atom.length;
    out["offset"] = offset + KEVO_ATOM_FIXED_BYTES;
    addValue(out, atom);
    out["hex"] = hexOf(atom);
    return out;
}

// Renders a list of atoms that starts at `*offset` and moves it past them.
Json atomListJson(int32_t count, const kevo_atom* atoms, uint64_t* offset)
{
    Json list = Json::array();
    for (int32_t j = 0; atoms && j < count; ++j) {
        list.push_back(atomJson(atoms[j], j, *offset));
        *offset += KEVO_ATOM_FIXED_BYTES + payloadBytes(atoms[j]);
    }
    return list;
}

Json streamJson(const kevo_stream& stream, int32_t index, uint64_t* offset)
{
    Json out;
    out["index"] = index;
    out["fourcc"] = fourccText(stream.id);
    out["id"] = stream.id;
    out["kind"] = kevo_streamKindName(stream.kind);
    out["symbolID"] = stream.symbolID;
    out["streamParam"] = stream.streamParam;
    out["packetSize"] = stream.packetSize;
    if (stream.packetSizeInFile != stream.packetSize) {
        out["packetSizeInFile"] = stream.packetSizeInFile;
    }
    *offset += KEVO_STREAM_FIXED_BYTES;
    out["metas"] = atomListJson(stream.metaCount, stream.metas, offset);
    return out;
}

}  // namespace

nlohmann::ordered_json kevo_headerJson(const kevo_file& record)
{
    // Offsets come from the sizes the record holds, not from the stream's
    // position, which a pipe does not have.
    uint64_t offset = KEVO_HEADER_FIXED_BYTES;
    Json metas = atomListJson(record.metaCount, record.metas, &offset);
    offset += KEVO_STREAM_COUNT_BYTES;
    Json streams = Json::array();
    for (int32_t i = 0; record.streams && i < record.streamCount; ++i) {
        streams.push_back(streamJson(record.streams[i], i, &offset));
    }

    Json out;
    out["path"] = record.path ? record.path : "";
    out["headerBytes"] = offset;
    out["version"] = kFormatVersion;
    out["headerValue"] = record.headerValue;
    out["metas"] = std::move(metas);
    out["streams"] = std::move(streams);
    return out;
}
