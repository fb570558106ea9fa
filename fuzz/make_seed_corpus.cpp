// Writes the generated part of the fuzz seed corpus: recordings made with the
// sample generator in every shape the command meets (each stream kind alone,
// both boards, no streams, no file-level atoms, the kinds whose packet sizes
// are forced, more streams than the reader and the decoder allow, a header
// long enough for the codec's block reads) and the full recording cut at a
// spread of lengths. Each recording goes to
// <folder>/header as it is, and to <folder>/edit behind the six request bytes
// the edit target reads first (stream, meta, value).
//
//   make_seed_corpus <folder>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "cli/standard_descriptors.h"
#include "container/kevo_container.h"
#include "sample/sample_recording.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kPacketBytes = 64;
constexpr size_t kCutStep = 53;
// Over both the reader's limit (19 streams) and, by one more, the decoder's.
constexpr int32_t kManyStreams = 20;
// A header past the codec's first 4 KiB, read through stdio, and past its
// first 8 KiB block, yet within the length fuzz/run lets inputs reach: the
// sample's own atoms with one long text. Many atoms would do as well, but
// every input made from them would cost a read of each, four times over.
constexpr size_t kLongTextBytes = 12 * 1024;

struct Request {
    int8_t streamID;
    int8_t metaID;
    int32_t metaValue;
};

// Stream 0, meta 1 is the PAV2 board's microphone rate: an edit that works.
constexpr Request kUsualEdit = {0, 1, 1000};

std::string gFolder;

bool makeFolder(const std::string& path)
{
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool writeFile(const std::string& path, const Bytes& bytes)
{
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return std::fclose(out) == 0 && written;
}

// The header as the library writes it, then a few packet bytes.
Bytes recording(const kevo_file& record)
{
    char* buffer = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&buffer, &size);
    if (!stream) {
        return {};
    }
    kevo_writeHeader(stream, &record);
    std::fclose(stream);
    Bytes bytes(buffer, buffer + size);
    std::free(buffer);

    uint8_t packets[kPacketBytes];
    uint32_t state = KEVO_SAMPLE_PACKET_SEED;
    kevo_fillSamplePackets(packets, sizeof packets, &state);
    bytes.insert(bytes.end(), packets, packets + sizeof packets);
    return bytes;
}

Bytes withRequest(const Request& request, const Bytes& file)
{
    Bytes bytes(6);
    bytes[0] = static_cast<uint8_t>(request.streamID);
    bytes[1] = static_cast<uint8_t>(request.metaID);
    kevo_putLE32(bytes.data() + 2, static_cast<uint32_t>(request.metaValue));
    bytes.insert(bytes.end(), file.begin(), file.end());
    return bytes;
}

bool emit(const std::string& name, const Bytes& file, const std::vector<Request>& requests)
{
    if (file.empty() || !writeFile(gFolder + "/header/" + name + ".bin", file)) {
        return false;
    }
    for (size_t i = 0; i < requests.size(); ++i) {
        const std::string path = gFolder + "/edit/" + name + "-" + std::to_string(i) + ".bin";
        if (!writeFile(path, withRequest(requests[i], file))) {
            return false;
        }
    }
    return true;
}

// Writes the sample with only the streams `keep` says yes to.
template <typename Keep>
bool emitSubset(kevo_file& record, const std::string& name, Keep keep)
{
    for (int32_t i = 0; i < record.streamCount; ++i) {
        record.streams[i].present = keep(record.streams[i]) ? 1 : 0;
    }
    const bool ok = emit(name, recording(record), {{0, 0, 7}, {0, 1, -5}, {-1, 0, 1}});
    for (int32_t i = 0; i < record.streamCount; ++i) {
        record.streams[i].present = 1;
    }
    return ok;
}

bool emitEachStreamAlone(kevo_file& record)
{
    for (int32_t i = 0; i < record.streamCount; ++i) {
        const uint32_t id = record.streams[i].id;
        std::string name = "sample-only-";
        for (int shift = 0; shift < 32; shift += 8) {
            const char c = static_cast<char>((id >> shift) & 0xFF);
            name += c == ' ' ? '_' : c;
        }
        if (!emitSubset(record, name, [id](const kevo_stream& s) { return s.id == id; })) {
            return false;
        }
    }
    return true;
}

bool emitWithoutFileAtoms(kevo_file& record)
{
    const int32_t count = record.metaCount;
    record.metaCount = 0;
    const bool ok = emit("sample-no-file-atoms", recording(record), {kUsualEdit, {-1, 0, 1}});
    record.metaCount = count;
    return ok;
}

// The first three streams renamed to the kinds whose packet sizes the reader
// forces; the writer then writes the forced sizes back.
bool emitForcedSizes(kevo_file& record)
{
    static const char ids[3][5] = {"pav ", "ltln", "ant8"};
    uint32_t saved[3];
    for (int i = 0; i < 3; ++i) {
        saved[i] = record.streams[i].id;
        record.streams[i].id = kevo_fourcc(ids[i]);
    }
    const bool ok = emit("sample-forced-sizes", recording(record), {{0, 0, 3}, {2, 0, 9}});
    for (int i = 0; i < 3; ++i) {
        record.streams[i].id = saved[i];
    }
    return ok;
}

// The sample's streams repeated until there are too many. The copies share
// the sample's atoms, so only the array is freed here.
bool emitTooManyStreams(const kevo_file& record)
{
    kevo_file many{};
    many.headerValue = record.headerValue;
    many.metaCount = record.metaCount;
    many.metas = record.metas;
    many.streamCount = kManyStreams;
    many.streams = static_cast<kevo_stream*>(std::malloc(sizeof(kevo_stream) * kManyStreams));
    if (!many.streams) {
        return false;
    }
    for (int32_t i = 0; i < kManyStreams; ++i) {
        many.streams[i] = record.streams[i % record.streamCount];
    }
    const bool ok = emit("sample-twenty-streams", recording(many), {{19, 1, 4}, kUsualEdit});
    std::free(many.streams);
    many.streams = nullptr;
    many.streamCount = 0;
    many.metas = nullptr;
    many.metaCount = 0;
    return ok;
}

kevo_atom* firstTextAtom(kevo_file& record)
{
    for (int32_t i = 0; i < record.streamCount; ++i) {
        for (int32_t j = 0; j < record.streams[i].metaCount; ++j) {
            if (record.streams[i].metas[j].type == 's') {
                return &record.streams[i].metas[j];
            }
        }
    }
    return nullptr;
}

// The sample with its text atom made long by repeating its text; the
// record is left as it was.
bool emitLongText(kevo_file& record)
{
    kevo_atom* text = firstTextAtom(record);
    uint8_t* longText = static_cast<uint8_t*>(std::malloc(kLongTextBytes));
    if (!text || text->length <= 0 || !longText) {
        std::free(longText);
        return false;
    }
    for (size_t k = 0; k < kLongTextBytes; ++k) {
        longText[k] = text->data[k % static_cast<size_t>(text->length)];
    }
    uint8_t* const shortText = text->data;
    const int32_t shortLength = text->length;
    text->data = longText;
    text->length = static_cast<int32_t>(kLongTextBytes);
    const bool ok = emit("sample-long-text", recording(record), {kUsualEdit});
    text->data = shortText;
    text->length = shortLength;
    std::free(longText);
    return ok;
}

bool emitCuts(const Bytes& full)
{
    for (size_t length = 0; length < full.size(); length += kCutStep) {
        char name[32];
        std::snprintf(name, sizeof name, "sample-cut-%04zu", length);
        Bytes cut(full.begin(), full.begin() + static_cast<long>(length));
        if (cut.empty()) {
            cut.push_back('K');
        }
        if (!emit(name, cut, {kUsualEdit})) {
            return false;
        }
    }
    return true;
}

bool emitAll()
{
    kevo_file record{};
    if (!kevo_buildSampleHeader(&record)) {
        return false;
    }
    const Bytes full = recording(record);
    const std::vector<Request> fullRequests = {
        kUsualEdit,    {-1, 0, 1717243201}, {3, 0, 4800}, {-1, 2, 1} /* a 'c' atom */,
        {9, 0, 1},     {0, 17, 1},          {-2, 0, 1},   {7, 0, 1} /* an 's' atom */,
    };
    return emit("sample-full", full, fullRequests) &&
           emitSubset(record, "sample-no-streams", [](const kevo_stream&) { return false; }) &&
           emitSubset(record, "sample-boards-only",
                      [](const kevo_stream& s) {
                          return s.kind == KEVO_KIND_PAV2 || s.kind == KEVO_KIND_ROK;
                      }) &&
           emitEachStreamAlone(record) && emitWithoutFileAtoms(record) &&
           emitForcedSizes(record) && emitTooManyStreams(record) && emitLongText(record) &&
           emitCuts(full);
}

}  // namespace

int main(int argc, char** argv)
{
    if (!kevo_openStandardDescriptors()) {
        return 1;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seed_corpus <folder>\n");
        return 2;
    }
    gFolder = argv[1];
    if (!makeFolder(gFolder) || !makeFolder(gFolder + "/header") ||
        !makeFolder(gFolder + "/edit")) {
        std::perror(argv[1]);
        return 1;
    }
    if (!emitAll()) {
        std::perror("make_seed_corpus");
        return 1;
    }
    return 0;
}
