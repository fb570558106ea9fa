// Writes a one-stream header with the installed writer, sets a value in it
// with the installed edit, reads it back with the installed reader and sets
// the sensor decoder up over it: each of the four libraries, through the
// headers as a user includes them.
//
//   kevo-consumer <scratch file>
//
// Exit status 0 when everything read back as written, 1 otherwise.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <kevo/container/kevo_container.h>
#include <kevo/decoder/kevo_decoder.h>
#include <kevo/edit/kevo_edit.h>
#include <kevo/reader/kevo_reader.h>

namespace {

constexpr int32_t kMicHz = 800;
constexpr int32_t kEditedMicHz = 1000;

void setIntAtom(kevo_atom* atom, uint32_t id, int32_t value)
{
    atom->id = id;
    atom->type = 'i';
    atom->length = 4;
    atom->data = static_cast<uint8_t*>(std::malloc(4));
    kevo_putLE32(atom->data, static_cast<uint32_t>(value));
}

int writeHeader(const char* path)
{
    kevo_file record{};
    record.streamCount = 1;
    record.streams = static_cast<kevo_stream*>(std::calloc(1, sizeof(kevo_stream)));
    kevo_stream& stream = record.streams[0];
    stream.id = kevo_fourcc("pav2");
    stream.kind = kevo_streamKindOf(stream.id);
    stream.symbolID = 1;
    stream.present = 1;
    stream.metaCount = 2;
    stream.metas = static_cast<kevo_atom*>(std::calloc(2, sizeof(kevo_atom)));
    setIntAtom(&stream.metas[0], kevo_fourcc("intr"), 100);
    setIntAtom(&stream.metas[1], kevo_fourcc("mic "), kMicHz);

    kevo_file target{};
    if (!kevo_open(&target, path, "w")) {
        return 0;
    }
    kevo_writeHeader(target.file, &record);
    return kevo_closeSynced(&target);
}

// Sets 'mic ' by name, as kevo-edit would; says why when it did not.
bool editMic(const char* path, std::string* why)
{
    kevo_editRequest request;
    if (!kevo_addSet(&request, "pav2/mic", kEditedMicHz, why)) {
        return false;
    }
    kevo_editResult result;
    if (kevo_editValues(path, request, &result) != KEVO_EDIT_EDITED) {
        *why = "the edit failed: " + result.error;
        return false;
    }
    if (result.changes.size() != 1 || result.changes[0].oldValue != kMicHz ||
        result.changes[0].selector != "pav2/mic") {
        *why = "the edit did not find 'mic ' at the value written";
        return false;
    }
    return true;
}

int fail(const char* what)
{
    std::fprintf(stderr, "kevo-consumer: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        return fail("usage: kevo-consumer <scratch file>");
    }
    if (!writeHeader(argv[1])) {
        return fail("the header could not be written");
    }
    std::string why;
    if (!editMic(argv[1], &why)) {
        return fail(why.c_str());
    }
    kevo_packetReader* reader = new kevo_packetReader(argv[1]);
    const kevo_file* record = reader->fileRecord;
    const bool readBack = reader->valid && record->streamCount == 1 &&
                          record->streams[0].kind == KEVO_KIND_PAV2 &&
                          record->streams[0].metaCount == 2 &&
                          kevo_getLE32Signed(record->streams[0].metas[1].data) == kEditedMicHz;
    kevo_sensorDecoder* decoder = new kevo_sensorDecoder(reader->fileRecord);
    const bool boardFound = decoder->pav2Block.found;
    delete reader;
    delete decoder;
    if (!readBack) {
        return fail("the header did not read back as written and edited");
    }
    if (!boardFound) {
        return fail("the decoder did not find the PAV2 board");
    }
    std::printf("kevo-consumer: read back a PAV2 stream with 'mic ' edited to %d\n",
                kEditedMicHz);
    return 0;
}
