#include "info/kevo_info.h"

namespace {

constexpr size_t kFourccLength = 4;

// Fourccs in a header are often padded with spaces ('mic '), and a trailing
// blank is awkward on a command line, so a short name is padded the same way.
int parseFourcc(const std::string& text, uint32_t* id)
{
    if (text.empty() || text.size() > kFourccLength) {
        return 0;
    }
    std::string padded = text;
    padded.resize(kFourccLength, ' ');
    *id = kevo_getLE32(reinterpret_cast<const uint8_t*>(padded.data()));
    return 1;
}

void collectMatches(int32_t streamID, int32_t count, const kevo_atom* atoms, uint32_t id,
                    std::vector<kevo_atomPlace>* found)
{
    for (int32_t j = 0; atoms && j < count; ++j) {
        if (atoms[j].id == id) {
            found->push_back(kevo_atomPlace{streamID, j});
        }
    }
}

}  // namespace

int kevo_parseAtomName(const std::string& text, kevo_atomName* name)
{
    const size_t slash = text.find('/');
    name->fileLevel = slash == std::string::npos;
    name->stream = 0;
    if (name->fileLevel) {
        return parseFourcc(text, &name->atom);
    }
    const bool named = parseFourcc(text.substr(0, slash), &name->stream) &&
                       parseFourcc(text.substr(slash + 1), &name->atom);
    return named ? 1 : 0;
}

std::vector<kevo_atomPlace> kevo_locateAtom(const kevo_file& record, const kevo_atomName& name)
{
    std::vector<kevo_atomPlace> found;
    if (name.fileLevel) {
        collectMatches(-1, record.metaCount, record.metas, name.atom, &found);
        return found;
    }
    for (int32_t i = 0; record.streams && i < record.streamCount; ++i) {
        const kevo_stream& stream = record.streams[i];
        if (stream.id == name.stream) {
            collectMatches(i, stream.metaCount, stream.metas, name.atom, &found);
        }
    }
    return found;
}
