#include <cstdio>

#include "reader/kevo_reader.h"

namespace {

const char* const kDefaultPrefix = "# INFO:";
const char* const kFileLevelIndent = " kevo header ";
const char* const kStreamAtomIndent = "             ";

void printBadFile(FILE* out)
{
    std::fprintf(out, "# kevo_packetReader: ERROR kevo file is bad, unable to proceed\n");
}

// The fourcc's four bytes from the least significant up, as characters.
char fourccChar(uint32_t id, int index)
{
    return static_cast<char>((id >> (8 * index)) & 0xFF);
}

void printSeparator(const char* prefix, FILE* out)
{
    std::fprintf(out, "%s\n", prefix);
}

void printAtoms(const char* prefix, const char* indent, int32_t count, const kevo_atom* atoms,
                FILE* out)
{
    for (int32_t j = 0; atoms && j < count; ++j) {
        const kevo_atom& atom = atoms[j];
        kevo_packetReader::printMeta(prefix, indent, j, count, atom.id, atom.type, atom.data,
                                     atom.length, out);
    }
}

}  // namespace

void kevo_packetReader::printHeader(const char* prefix, FILE* out) const
{
    if (!prefix) {
        prefix = kDefaultPrefix;
    }
    if (!valid) {
        printBadFile(out);
        return;
    }
    const kevo_file& record = *fileRecord;
    std::fprintf(out, "%s File: \"%s\"\n", prefix, record.path ? record.path : "");
    std::fprintf(out, "%s KEVO File Contains %3d streams\n", prefix, record.streamCount);
    std::fprintf(out, "%s Symbol ID = auto-generated ID number used inside each data packet\n",
                 prefix);
    std::fprintf(out, "%s        ID = KEVO_STREAM ID for identifying stream types\n", prefix);
    printSeparator(prefix, out);
    printStreams(prefix, false, out);
    printSeparator(prefix, out);
    if (record.metas) {
        std::fprintf(out, "%s KEVO File Meta Data:\n", prefix);
        printAtoms(prefix, kFileLevelIndent, record.metaCount, record.metas, out);
    }
    printStreams(prefix, true, out);
}

void kevo_packetReader::printStreams(const char* prefix, bool withAtoms, FILE* out) const
{
    if (!valid) {
        printBadFile(out);
        return;
    }
    const kevo_file& record = *fileRecord;
    for (int32_t i = 0; record.streams && i < record.streamCount; ++i) {
        const kevo_stream& stream = record.streams[i];
        std::fprintf(out, "%s Stream %3d: Symbol ID=%3d (ID = 0x%08X:'%c%c%c%c') [%s]\n", prefix,
                     i, static_cast<int>(stream.symbolID), stream.id, fourccChar(stream.id, 0),
                     fourccChar(stream.id, 1), fourccChar(stream.id, 2), fourccChar(stream.id, 3),
                     kevo_streamKindName(stream.kind));
        if (withAtoms) {
            printAtoms(prefix, kStreamAtomIndent, stream.metaCount, stream.metas, out);
        }
    }
}

void kevo_packetReader::printMeta(const char* prefix, const char* indent, int32_t index,
                                  int32_t count, uint32_t id, uint32_t type,
                                  const uint8_t* payload, int32_t payloadLength, FILE* out)
{
    std::fprintf(out, "%s%smeta %3d/%3d: (ID = 0x%08X:'%c%c%c%c') type='%c' = ", prefix, indent,
                 index, count, id, fourccChar(id, 0), fourccChar(id, 1), fourccChar(id, 2),
                 fourccChar(id, 3), static_cast<char>(type));
    const bool isByte = type == 'c';
    const bool isInt = type == 'i';
    // A payload too short for its type is as unreadable as a missing one.
    if (!payload || (isByte && payloadLength < 1) || (isInt && payloadLength < 4)) {
        std::fprintf(out, " BAD Data Section!\n");
    } else if (isByte) {
        std::fprintf(out, "%d\n", static_cast<int>(payload[0]));
    } else if (isInt) {
        std::fprintf(out, "%d\n", kevo_getLE32Signed(payload));
    } else {
        std::fprintf(out, "unknown type\n");
    }
}
