// libFuzzer target for kevo-edit: its command line with the selectors and
// values in it, and the multi-value edit of a file, each checked against a
// model of its own.
//
// Input layout: the command line's words, one per line, up to the first NUL
// byte; then the bytes of the file. The scratch file's path is added as the
// last word. Other words that read as files are never opened: only the
// scratch file is edited.
//
// What must hold for every input:
//  - when the command line is taken as an edit, every selector and value in
//    it is what a separate reading of its text gives: one to four
//    characters padded with spaces, or "#N" within 32 bits, on each side of
//    the first '/'; a whole decimal number from -2^31 to 2^32 - 1; no two
//    --set selectors are written alike; the scratch file is among the files;
//  - the edit of the scratch file ends as the model says: failed when the
//    header does not read, a selector names no atom, several, or one that
//    is not 'i' with four payload bytes, or two sets name one atom; skipped
//    at the first condition that does not hold; unchanged when every value
//    is as asked already; edited, or would-edit in a dry run, otherwise;
//  - the file afterwards is the input with the four bytes of each changed
//    value set, after an edit, and the input itself otherwise.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "container/kevo_container.h"
#include "fuzz/fuzz_support.h"
#include "tool/edit_command.h"

namespace {

const char* const kTarget = "values_fuzzer";
constexpr size_t kMostWords = 64;

kevo_fuzz::ScratchFile* gScratch = nullptr;

[[noreturn]] void fail(const char* rule)
{
    kevo_fuzz::fail(kTarget, rule);
}

// The model's own reading of one side of a selector.
struct ModelPart {
    bool byIndex = false;
    uint32_t fourcc = 0;
    int64_t index = 0;
};

bool modelPart(const std::string& text, ModelPart* part)
{
    if (text.size() >= 2 && text[0] == '#' && text[1] >= '0' && text[1] <= '9') {
        part->byIndex = true;
        for (size_t i = 1; i < text.size(); ++i) {
            if (text[i] < '0' || text[i] > '9') {
                return false;
            }
            part->index = part->index * 10 + (text[i] - '0');
            if (part->index > INT32_MAX) {
                return false;
            }
        }
        return true;
    }
    if (text.empty() || text.size() > 4) {
        return false;
    }
    uint8_t bytes[4] = {' ', ' ', ' ', ' '};
    std::memcpy(bytes, text.data(), text.size());
    part->fourcc = kevo_getLE32(bytes);
    return true;
}

struct ModelSelector {
    bool fileLevel = true;
    ModelPart stream;
    ModelPart atom;
};

bool modelSelector(const std::string& text, ModelSelector* selector)
{
    const size_t slash = text.find('/');
    selector->fileLevel = slash == std::string::npos;
    if (selector->fileLevel) {
        return modelPart(text, &selector->atom);
    }
    return modelPart(text.substr(0, slash), &selector->stream) &&
           modelPart(text.substr(slash + 1), &selector->atom);
}

bool samePart(const ModelPart& part, const kevo_selectorPart& read)
{
    return part.byIndex == read.byIndex &&
           (part.byIndex ? part.index == read.index : part.fourcc == read.fourcc);
}

bool sameModel(const ModelSelector& a, const ModelSelector& b)
{
    const auto same = [](const ModelPart& x, const ModelPart& y) {
        return x.byIndex == y.byIndex && x.index == y.index && x.fourcc == y.fourcc;
    };
    return a.fileLevel == b.fileLevel && same(a.atom, b.atom) &&
           (a.fileLevel || same(a.stream, b.stream));
}

// strtoll's reading of a whole decimal number, blanks around it allowed.
bool modelValue(const std::string& text, uint32_t* value)
{
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(start, &end, 10);
    if (end == start || errno == ERANGE || parsed < INT32_MIN || parsed > UINT32_MAX) {
        return false;
    }
    for (; *end != '\0'; ++end) {
        if (std::strchr(" \t\n\v\f\r", *end) == nullptr) {
            return false;
        }
    }
    *value = static_cast<uint32_t>(parsed);
    return true;
}

// Some word of the command line, "SEL=VALUE" alone or after "--option=",
// holds the selector's text and a value that reads as the one taken.
bool givenAs(const std::vector<std::string>& words, const kevo_valueRequest& value)
{
    for (const std::string& word : words) {
        const size_t equals = word.rfind('=');
        if (equals == std::string::npos) {
            continue;
        }
        const std::string selector = word.substr(0, equals);
        const bool named = selector == value.text ||
                           (selector.size() > value.text.size() &&
                            selector.compare(selector.size() - value.text.size() - 1,
                                             std::string::npos, "=" + value.text) == 0);
        uint32_t number = 0;
        if (named && modelValue(word.substr(equals + 1), &number) && number == value.value) {
            return true;
        }
    }
    return false;
}

void checkValues(const std::vector<std::string>& words,
                 const std::vector<kevo_valueRequest>& values, std::vector<ModelSelector>* out)
{
    for (const kevo_valueRequest& value : values) {
        if (!givenAs(words, value)) {
            fail("a value was taken that its text does not say");
        }
        ModelSelector model;
        if (!modelSelector(value.text, &model) || model.fileLevel != value.selector.fileLevel ||
            !samePart(model.atom, value.selector.atom) ||
            (!model.fileLevel && !samePart(model.stream, value.selector.stream))) {
            fail("a selector was read otherwise than its text says");
        }
        out->push_back(model);
    }
}

std::vector<kevo_atomPlace> modelMatches(const kevo_file& record, const ModelSelector& selector)
{
    std::vector<kevo_atomPlace> found;
    const auto matches = [](const ModelPart& part, int32_t index, uint32_t id) {
        return part.byIndex ? part.index == index : part.fourcc == id;
    };
    if (selector.fileLevel) {
        for (int32_t j = 0; j < record.metaCount; ++j) {
            if (matches(selector.atom, j, record.metas[j].id)) {
                found.push_back({-1, j});
            }
        }
        return found;
    }
    for (int32_t i = 0; i < record.streamCount; ++i) {
        const kevo_stream& stream = record.streams[i];
        for (int32_t j = 0; matches(selector.stream, i, stream.id) && j < stream.metaCount; ++j) {
            if (matches(selector.atom, j, stream.metas[j].id)) {
                found.push_back({i, j});
            }
        }
    }
    return found;
}

// The one 'i' atom with a value that the selector names, or null.
const kevo_atom* modelValueAtom(const kevo_file& record, const ModelSelector& selector,
                                kevo_atomPlace* place)
{
    const std::vector<kevo_atomPlace> found = modelMatches(record, selector);
    if (found.size() != 1) {
        return nullptr;
    }
    *place = found[0];
    const kevo_atom& atom = place->streamID < 0
                                ? record.metas[place->metaID]
                                : record.streams[place->streamID].metas[place->metaID];
    return atom.type == 'i' && atom.length >= 4 ? &atom : nullptr;
}

struct Expected {
    kevo_editStatus status = KEVO_EDIT_FAILED;
    std::vector<uint8_t> file;
};

Expected model(const uint8_t* file, size_t size, const kevo_editRequest& request,
               const std::vector<ModelSelector>& sets,
               const std::vector<ModelSelector>& conditions)
{
    Expected expected;
    expected.file.assign(file, file + size);
    kevo_file record{};
    long consumed = -1;
    if (!kevo_fuzz::parseBytes(file, size, &record, &consumed)) {
        return expected;
    }
    std::vector<kevo_atomPlace> places;
    for (const ModelSelector& set : sets) {
        kevo_atomPlace place{};
        if (!modelValueAtom(record, set, &place)) {
            return expected;
        }
        for (const kevo_atomPlace& earlier : places) {
            if (earlier.streamID == place.streamID && earlier.metaID == place.metaID) {
                return expected;
            }
        }
        places.push_back(place);
    }
    for (size_t i = 0; i < conditions.size(); ++i) {
        kevo_atomPlace place{};
        const kevo_atom* atom = modelValueAtom(record, conditions[i], &place);
        if (!atom) {
            return expected;
        }
        if (kevo_getLE32(atom->data) != request.conditions()[i].value) {
            expected.status = KEVO_EDIT_SKIPPED;
            return expected;
        }
    }
    bool anyChange = false;
    std::vector<uint8_t> edited = expected.file;
    for (size_t i = 0; i < places.size(); ++i) {
        const size_t offset =
            kevo_fuzz::payloadOffset(record, places[i].streamID, places[i].metaID);
        if (kevo_getLE32(edited.data() + offset) != request.sets()[i].value) {
            anyChange = true;
            kevo_putLE32(edited.data() + offset, request.sets()[i].value);
        }
    }
    if (!anyChange) {
        expected.status = KEVO_EDIT_UNCHANGED;
    } else if (request.dryRun) {
        expected.status = KEVO_EDIT_WOULD_EDIT;
    } else {
        expected.status = KEVO_EDIT_EDITED;
        expected.file = edited;
    }
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
    const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const size_t textSize = nul ? static_cast<size_t>(nul - data) : size;
    const uint8_t* file = nul ? nul + 1 : data + size;
    const size_t fileSize = static_cast<size_t>(data + size - file);

    std::vector<std::string> words = {"kevo-edit"};
    const std::string text(reinterpret_cast<const char*>(data), textSize);
    for (size_t start = 0; start <= text.size() && words.size() < kMostWords;) {
        const size_t end = std::min(text.find('\n', start), text.size());
        words.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    words.push_back(gScratch->path());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    // --help and --version (or a prefix of either) would print their text on
    // every run; --from, --revert and --files-from would read files the
    // input names, -r walk them. None says anything of the values.
    for (const std::string& word : words) {
        const std::string name = word.substr(0, word.find('='));
        for (const char* skipped : {"--help", "--version", "--from", "--revert", "--files-from",
                                    "--recursive"}) {
            if (name.size() >= 3 && std::string(skipped).rfind(name, 0) == 0) {
                return 0;
            }
        }
        if (word.size() > 1 && word[0] == '-' && word[1] != '-' &&
            word.find_first_of("r") != std::string::npos) {
            return 0;
        }
    }
    kevo_editCommandLine command;
    int stop = 0;
    {
        kevo_fuzz::QuietStderr quiet;
        stop = kevo_parseEditCommandLine(static_cast<int>(words.size()), argv.data(), &command);
    }
    if (stop >= 0) {
        return 0;
    }
    std::vector<ModelSelector> sets;
    std::vector<ModelSelector> conditions;
    checkValues(words, command.request.sets(), &sets);
    checkValues(words, command.request.conditions(), &conditions);
    for (size_t i = 0; i < sets.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (sameModel(sets[i], sets[j])) {
                fail("two --set selectors written alike were taken");
            }
        }
    }
    bool scratchListed = false;
    for (const char* path : command.files) {
        scratchListed = scratchListed || std::strcmp(path, gScratch->path()) == 0;
    }
    if (sets.empty() || !scratchListed) {
        fail("an edit was taken without a --set or without the file");
    }

    const Expected expected = model(file, fileSize, command.request, sets, conditions);
    gScratch->rewrite(file, fileSize);
    command.request.wait.seconds = 0;
    kevo_editResult result;
    kevo_editValues(gScratch->path(), command.request, &result);
    if (result.status != expected.status) {
        fail("the edit ended otherwise than the model says");
    }
    std::vector<uint8_t> after(fileSize + 1);
    const size_t length = gScratch->readBack(after.data(), after.size());
    after.resize(length);
    if (after != expected.file) {
        fail("the file holds other bytes than the model's");
    }
    return 0;
}
