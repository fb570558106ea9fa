#include <string>

#include "cli/kevo_cli.h"
#include "info/kevo_info.h"

namespace {

// The reader accepts no other version, so a header it holds is this one.
constexpr uint32_t kFormatVersion = 2;

size_t payloadBytes(const kevo_atom& atom)
{
    return atom.data && atom.length > 0 ? static_cast<size_t>(atom.length) : 0;
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

// What atoms and streams both begin with: where they stand in their list
// and their fourcc, as text and as the number it is.
void writeIdentity(kevo_jsonWriter& json, int32_t index, uint32_t fourcc)
{
    json.beginObject();
    json.key("index").number(index);
    json.key("fourcc").fourcc(fourcc);
    json.key("id").unsignedNumber(fourcc);
}

void writeAtom(kevo_jsonWriter& json, const kevo_atom& atom, int32_t index)
{
    writeIdentity(json, index, atom.id);
    json.key("type").typeLetter(atom.type);
    json.key("length").number(atom.length);
    json.key("offset").unsignedNumber(atom.offset + KEVO_ATOM_FIXED_BYTES);
    int64_t value = 0;
    if (atomValue(atom, &value)) {
        json.key("value").number(value);
    }
    // The payload as it stands, NULs included: nothing says such text ends
    // at one.
    if (atom.type == 's') {
        const auto* text = reinterpret_cast<const char*>(atom.data);
        json.key("text").string(std::string(text, payloadBytes(atom)));
    }
    json.key("hex").hex(atom.data, payloadBytes(atom));
    json.end();
}

void writeAtoms(kevo_jsonWriter& json, int32_t count, const kevo_atom* atoms)
{
    json.beginArray();
    for (int32_t j = 0; atoms && j < count; ++j) {
        writeAtom(json, atoms[j], j);
    }
    json.end();
}

void writeStream(kevo_jsonWriter& json, const kevo_stream& stream, int32_t index)
{
    writeIdentity(json, index, stream.id);
    json.key("kind").string(kevo_streamKindName(stream.kind));
    json.key("symbolID").unsignedNumber(stream.symbolID);
    json.key("streamParam").unsignedNumber(stream.streamParam);
    json.key("packetSize").unsignedNumber(stream.packetSize);
    if (stream.packetSizeInFile != stream.packetSize) {
        json.key("packetSizeInFile").unsignedNumber(stream.packetSizeInFile);
    }
    json.key("metas");
    writeAtoms(json, stream.metaCount, stream.metas);
    json.end();
}

}  // namespace

kevo_jsonListing::kevo_jsonListing(FILE* out) : json_(out)
{
    json_.beginArray();
}

void kevo_jsonListing::add(const kevo_file& record)
{
    json_.beginObject();
    json_.pathFields(record.path ? record.path : "");
    json_.key("headerBytes").unsignedNumber(record.headerBytes);
    json_.key("version").unsignedNumber(kFormatVersion);
    json_.key("headerValue").unsignedNumber(record.headerValue);
    json_.key("metas");
    writeAtoms(json_, record.metaCount, record.metas);
    json_.key("streams");
    json_.beginArray();
    for (int32_t i = 0; record.streams && i < record.streamCount; ++i) {
        writeStream(json_, record.streams[i], i);
    }
    json_.end();
    json_.end();
    json_.flush();
}

void kevo_jsonListing::finish()
{
    json_.end();
}
