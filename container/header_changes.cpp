#include <algorithm>
#include <cerrno>
#include <vector>

#include "container/kevo_container.h"

namespace {

// Offset of the packet size inside a stream descriptor.
constexpr uint64_t kPacketSizeOffset = 8;
constexpr uint32_t kPayloadBytes = 4;

// Every recorded offset must be where the one before it ends, or an edit
// would land at the wrong bytes: the offsets were recorded as the header
// was read, so a length changed since, or a record that was never read,
// shows here.
bool atomsFollowOn(int32_t count, const kevo_atom* atoms, uint64_t* offset)
{
    for (int32_t j = 0; atoms && j < count; ++j) {
        const kevo_atom& atom = atoms[j];
        if (atom.offset != *offset || atom.length < 0 || (atom.length > 0 && !atom.data)) {
            return false;
        }
        *offset += KEVO_ATOM_FIXED_BYTES + static_cast<uint32_t>(atom.length);
    }
    return true;
}

bool layoutAddsUp(const kevo_file& record)
{
    if ((record.metaCount > 0 && !record.metas) || (record.streamCount > 0 && !record.streams)) {
        return false;
    }
    uint64_t offset = KEVO_HEADER_FIXED_BYTES;
    if (!atomsFollowOn(record.metaCount, record.metas, &offset) ||
        record.streamCountOffset != offset) {
        return false;
    }
    offset += KEVO_STREAM_COUNT_BYTES;
    for (int32_t i = 0; i < record.streamCount; ++i) {
        const kevo_stream& stream = record.streams[i];
        if (!stream.present || stream.offset != offset) {
            return false;
        }
        offset += KEVO_STREAM_FIXED_BYTES;
        if (!atomsFollowOn(stream.metaCount, stream.metas, &offset)) {
            return false;
        }
    }
    return record.headerBytes == offset;
}

bool addPayload(const kevo_file& record, kevo_atomPlace place,
                std::vector<kevo_headerRange>* ranges)
{
    const kevo_atom* atom = kevo_atomAt(record, place);
    if (!atom || atom->length < static_cast<int32_t>(kPayloadBytes) || !atom->data) {
        return false;
    }
    kevo_headerRange range{atom->offset + KEVO_ATOM_FIXED_BYTES, kPayloadBytes, {}};
    std::copy(atom->data, atom->data + kPayloadBytes, range.bytes);
    ranges->push_back(range);
    return true;
}

// What a whole rewrite changes besides the payloads.
void addRewrittenFields(const kevo_file& record, std::vector<kevo_headerRange>* ranges)
{
    if (record.streamCount < 0) {
        ranges->push_back(
            kevo_headerRange{record.streamCountOffset, KEVO_STREAM_COUNT_BYTES, {0, 0, 0, 0}});
    }
    for (int32_t i = 0; i < record.streamCount; ++i) {
        const kevo_stream& stream = record.streams[i];
        const uint16_t held = static_cast<uint16_t>(stream.packetSize);
        if (held != stream.packetSizeInFile) {
            kevo_headerRange range{stream.offset + kPacketSizeOffset, 2, {}};
            kevo_putLE16(range.bytes, held);
            ranges->push_back(range);
        }
    }
}

}  // namespace

int kevo_listHeaderChanges(const kevo_file* record, const kevo_atomPlace* edited, size_t count,
                           kevo_changeScope scope, std::vector<kevo_headerRange>* ranges)
{
    ranges->clear();
    if (!record || (count > 0 && !edited) || !layoutAddsUp(*record)) {
        errno = EINVAL;
        return 0;
    }
    for (size_t i = 0; i < count; ++i) {
        if (!addPayload(*record, edited[i], ranges)) {
            ranges->clear();
            errno = EINVAL;
            return 0;
        }
    }
    if (scope == KEVO_CHANGE_AS_REWRITE) {
        addRewrittenFields(*record, ranges);
    }
    const auto byOffset = [](const kevo_headerRange& a, const kevo_headerRange& b) {
        return a.offset < b.offset;
    };
    const auto sameOffset = [](const kevo_headerRange& a, const kevo_headerRange& b) {
        return a.offset == b.offset;
    };
    std::sort(ranges->begin(), ranges->end(), byOffset);
    ranges->erase(std::unique(ranges->begin(), ranges->end(), sameOffset), ranges->end());
    return 1;
}
