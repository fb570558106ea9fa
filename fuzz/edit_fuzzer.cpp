// libFuzzer target for the whole edit, in-process: kevo_modifyMain runs on a
// scratch file with the reader, the decoder set-up, both dumps, the edit, the
// rewrite and the second reader, exactly as the command does.
//
// Input layout: one byte for the stream number and one for the meta number
// (each a signed 8-bit value, so that -1, the file level, and numbers just
// past the end come up often), four bytes for the value (LE), then the bytes
// of the file.
//
// What must hold for every input:
//  - the command ends with 1 (edited) or -1 (refused), never otherwise;
//  - an edit succeeds exactly when the header reads and the numbers name an
//    'i' atom with at least four payload bytes;
//  - after a success the file is the input with those four bytes set to the
//    value, little-endian, and nothing else changed but the stream count and
//    the packet sizes the reader forces: the same length, the same packet
//    data;
//  - after a refusal the file is byte for byte what it was.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "container/kevo_container.h"
#include "fuzz/fuzz_support.h"
#include "tool/modify_command.h"

namespace {

const char* const kTarget = "edit_fuzzer";
constexpr size_t kRequestBytes = 6;
constexpr int kEdited = 1;
constexpr int kRefused = -1;

kevo_fuzz::ScratchFile* gScratch = nullptr;

[[noreturn]] void fail(const char* rule)
{
    kevo_fuzz::fail(kTarget, rule);
}

struct EditRequest {
    int32_t streamID;
    int32_t metaID;
    int32_t metaValue;
};

EditRequest takeRequest(const uint8_t* data)
{
    return {static_cast<int8_t>(data[0]), static_cast<int8_t>(data[1]),
            kevo_getLE32Signed(data + 2)};
}

int runCommand(const EditRequest& request)
{
    std::string streamID = std::to_string(request.streamID);
    std::string metaID = std::to_string(request.metaID);
    std::string metaValue = std::to_string(request.metaValue);
    std::string path = gScratch->path();
    std::string program = "kevo-modify";
    std::string streamOption = "-streamID";
    std::string metaOption = "-metaID";
    std::string valueOption = "-metaValue";
    char* argv[] = {program.data(),    streamOption.data(), streamID.data(),
                    metaOption.data(), metaID.data(),       valueOption.data(),
                    metaValue.data(),  path.data(),         nullptr};
    kevo_fuzz::QuietStderr quiet;
    return kevo_modifyMain(8, argv);
}

const kevo_atom* findAtom(const kevo_file& record, const EditRequest& request)
{
    const int32_t streamID = request.streamID;
    if (streamID != -1 && (streamID < 0 || streamID >= record.streamCount)) {
        return nullptr;
    }
    const bool fileLevel = streamID == -1;
    const int32_t count = fileLevel ? record.metaCount : record.streams[streamID].metaCount;
    const kevo_atom* atoms = fileLevel ? record.metas : record.streams[streamID].metas;
    if (request.metaID < 0 || request.metaID >= count) {
        return nullptr;
    }
    return &atoms[request.metaID];
}

// The file the command must leave behind, or the input itself when it must
// refuse.
std::vector<uint8_t> expectedFile(const uint8_t* file, size_t size, const EditRequest& request,
                                  bool* editable)
{
    std::vector<uint8_t> expected(file, file + size);
    kevo_file record{};
    long consumed = -1;
    *editable = false;
    if (!kevo_fuzz::parseBytes(file, size, &record, &consumed)) {
        return expected;
    }
    const kevo_atom* atom = findAtom(record, request);
    if (!atom || atom->type != 'i' || atom->length < 4) {
        return expected;
    }
    *editable = true;
    std::vector<uint8_t> header;
    if (!kevo_fuzz::expectedRewrite(file, static_cast<size_t>(consumed), record, &header)) {
        fail("the record does not add up to the header it was read from");
    }
    std::memcpy(expected.data(), header.data(), header.size());
    const size_t offset = kevo_fuzz::payloadOffset(record, request.streamID, request.metaID);
    kevo_putLE32(expected.data() + offset, static_cast<uint32_t>(request.metaValue));
    return expected;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    gScratch = new kevo_fuzz::ScratchFile(kTarget);
    kevo_fuzz::prepareQuietStderr();
    std::atexit([] { delete gScratch; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < kRequestBytes) {
        return 0;
    }
    const EditRequest request = takeRequest(data);
    const uint8_t* file = data + kRequestBytes;
    const size_t fileSize = size - kRequestBytes;

    bool editable = false;
    const std::vector<uint8_t> expected = expectedFile(file, fileSize, request, &editable);
    gScratch->rewrite(file, fileSize);
    const int status = runCommand(request);

    if (status != kEdited && status != kRefused) {
        fail("the command ended with a status other than 1 or -1");
    }
    if ((status == kEdited) != editable) {
        fail(editable ? "an edit that should succeed was refused"
                      : "an edit that should be refused succeeded");
    }
    std::vector<uint8_t> after(fileSize + 1);
    const size_t length = gScratch->readBack(after.data(), after.size());
    if (length != fileSize) {
        fail("the file's length changed");
    }
    after.resize(length);
    if (after != expected) {
        fail(editable ? "the file holds more than the edit" : "a refused edit changed the file");
    }
    return 0;
}
