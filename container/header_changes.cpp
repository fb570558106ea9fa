#include <algorithm>
#include <cerrno>
#include <vector>

#include <unistd.h>

#include "container/kevo_container.h"

namespace {

// One stretch of header bytes to write, at most a 32-bit field wide.
struct Change {
    uint64_t offset;
    uint8_t bytes[4];
    size_t size;
};

Change packetSizeChange(uint64_t descriptorOffset, uint32_t packetSize)
{
    Change change{descriptorOffset + 8, {}, 2};
    kevo_putLE16(change.bytes, static_cast<uint16_t>(packetSize));
    return change;
}

// Offset of the first byte after a list of atoms that starts at `offset`;
// `payloadOf` gets the payload offset of atom `index` when it is in the list.
uint64_t skipAtoms(uint64_t offset, int32_t count, const kevo_atom* atoms, int32_t index,
                   uint64_t* payloadOf)
{
    for (int32_t j = 0; atoms && j < count; ++j) {
        if (j == index) {
            *payloadOf = offset + KEVO_ATOM_FIXED_BYTES;
        }
        offset += KEVO_ATOM_FIXED_BYTES + static_cast<uint32_t>(atoms[j].length);
    }
    return offset;
}

bool editable(const kevo_atom* atoms, int32_t count, int32_t metaID)
{
    if (!atoms || metaID < 0 || metaID >= count) {
        return false;
    }
    return atoms[metaID].length >= 4 && atoms[metaID].data;
}

bool readAsIs(const kevo_file& record)
{
    if (record.streamCount > 0 && !record.streams) {
        return false;
    }
    for (int32_t i = 0; i < record.streamCount; ++i) {
        if (!record.streams[i].present) {
            return false;
        }
    }
    return true;
}

// Lists, in file order, every range the rewrite changes. False when the
// record or the atom named cannot be the header as read with one edit.
bool listChanges(const kevo_file& record, int32_t streamID, int32_t metaID,
                 std::vector<Change>* changes)
{
    const bool fileLevel = streamID == -1;
    if (!readAsIs(record) || (!fileLevel && (streamID < 0 || streamID >= record.streamCount))) {
        return false;
    }
    const kevo_atom* atoms = fileLevel ? record.metas : record.streams[streamID].metas;
    const int32_t count = fileLevel ? record.metaCount : record.streams[streamID].metaCount;
    if (!editable(atoms, count, metaID)) {
        return false;
    }
    const uint8_t* edited = atoms[metaID].data;
    auto addPayload = [&](uint64_t offset) {
        Change change{offset, {}, 4};
        std::copy(edited, edited + 4, change.bytes);
        changes->push_back(change);
    };

    uint64_t payload = 0;
    uint64_t offset = skipAtoms(KEVO_HEADER_FIXED_BYTES, record.metaCount, record.metas,
                                fileLevel ? metaID : -1, &payload);
    if (fileLevel) {
        addPayload(payload);
    }
    if (record.streamCount < 0) {
        changes->push_back(Change{offset, {0, 0, 0, 0}, KEVO_STREAM_COUNT_BYTES});
    }
    offset += KEVO_STREAM_COUNT_BYTES;
    for (int32_t i = 0; i < record.streamCount; ++i) {
        const kevo_stream& stream = record.streams[i];
        if (static_cast<uint16_t>(stream.packetSize) != stream.packetSizeInFile) {
            changes->push_back(packetSizeChange(offset, stream.packetSize));
        }
        offset = skipAtoms(offset + KEVO_STREAM_FIXED_BYTES, stream.metaCount, stream.metas,
                           i == streamID ? metaID : -1, &payload);
        if (i == streamID) {
            addPayload(payload);
        }
    }
    return true;
}

bool writeAt(int fd, const Change& change)
{
    size_t done = 0;
    while (done < change.size) {
        const ssize_t written = pwrite(fd, change.bytes + done, change.size - done,
                                       static_cast<off_t>(change.offset + done));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            errno = written == 0 ? EIO : errno;
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

int kevo_writeHeaderChanges(int fd, const kevo_file* record, int32_t streamID, int32_t metaID)
{
    std::vector<Change> changes;
    if (!record || !listChanges(*record, streamID, metaID, &changes)) {
        errno = EINVAL;
        return 0;
    }
    for (const Change& change : changes) {
        if (!writeAt(fd, change)) {
            return 0;
        }
    }
    return 1;
}
