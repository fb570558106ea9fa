#include <cstdio>
#include <string>
#include <vector>

#include "container/kevo_container.h"

namespace {

constexpr size_t kFourccLength = 4;
// A miss lists what is there, but a stream of a million atoms must not make
// a message of megabytes.
constexpr size_t kMostNamesListed = 24;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// "#N": digits only, no sign or blanks, within 32 bits.
bool parseIndex(const std::string& digits, int32_t* index)
{
    for (char c : digits) {
        if (!isDigit(c)) {
            return false;
        }
    }
    int64_t value = 0;
    if (kevo_parseWholeNumber(digits.c_str(), 0, INT32_MAX, &value) != kevo_numberForm::Whole) {
        return false;
    }
    *index = static_cast<int32_t>(value);
    return true;
}

// Fourccs in a header are often padded with spaces ('mic '), and a trailing
// blank is awkward on a command line, so a short name is padded the same
// way. A '#' that no digit follows is a fourcc character like any other.
bool parsePart(const std::string& text, kevo_selectorPart* part)
{
    *part = kevo_selectorPart{false, 0, 0};
    if (text.size() > 1 && text[0] == '#' && isDigit(text[1])) {
        part->byIndex = true;
        return parseIndex(text.substr(1), &part->index);
    }
    if (text.empty() || text.size() > kFourccLength) {
        return false;
    }
    std::string padded = text;
    padded.resize(kFourccLength, ' ');
    part->fourcc = kevo_getLE32(reinterpret_cast<const uint8_t*>(padded.data()));
    return true;
}

bool samePart(const kevo_selectorPart& a, const kevo_selectorPart& b)
{
    return a.byIndex == b.byIndex && (a.byIndex ? a.index == b.index : a.fourcc == b.fourcc);
}

bool partMatches(const kevo_selectorPart& part, int32_t index, uint32_t fourcc)
{
    return part.byIndex ? part.index == index : part.fourcc == fourcc;
}

void collectAtoms(int32_t streamID, int32_t count, const kevo_atom* atoms,
                  const kevo_selectorPart& part, std::vector<kevo_atomPlace>* found)
{
    for (int32_t j = 0; atoms && j < count; ++j) {
        if (partMatches(part, j, atoms[j].id)) {
            found->push_back(kevo_atomPlace{streamID, j});
        }
    }
}

std::string partText(const kevo_selectorPart& part)
{
    return part.byIndex ? "#" + std::to_string(part.index)
                        : "'" + kevo_fourccText(part.fourcc) + "'";
}

// "(has: a, b, c)", the distinct fourccs in order, cut short past a few
// dozen; "(has none)" for an empty list.
class NameList {
public:
    void add(uint32_t fourcc)
    {
        for (uint32_t seen : names_) {
            if (seen == fourcc) {
                return;
            }
        }
        if (names_.size() < kMostNamesListed) {
            names_.push_back(fourcc);
        } else {
            cut_ = true;
        }
    }

    std::string text() const
    {
        if (names_.empty()) {
            return "(has none)";
        }
        std::string out = "(has: ";
        for (size_t i = 0; i < names_.size(); ++i) {
            out += (i > 0 ? ", " : "") + kevo_fourccText(names_[i]);
        }
        return out + (cut_ ? ", ...)" : ")");
    }

private:
    std::vector<uint32_t> names_;
    bool cut_ = false;
};

std::string countText(int32_t count, const char* noun)
{
    const int32_t shown = count > 0 ? count : 0;
    return "(has " + std::to_string(shown) + " " + noun + (shown == 1 ? ")" : "s)");
}

bool streamMatches(const kevo_file& record, const kevo_selector& selector, int32_t i)
{
    return partMatches(selector.stream, i, record.streams[i].id);
}

int32_t streamsIn(const kevo_file& record)
{
    return record.streams ? record.streamCount : 0;
}

std::string missingStream(const kevo_file& record, const kevo_selector& selector)
{
    const std::string what = "no stream " + partText(selector.stream) + " ";
    if (selector.stream.byIndex) {
        return what + countText(streamsIn(record), "stream");
    }
    NameList names;
    for (int32_t i = 0; i < streamsIn(record); ++i) {
        names.add(record.streams[i].id);
    }
    return what + names.text();
}

// The atom named is in none of the lists looked at.
std::string missingAtom(const kevo_file& record, const kevo_selector& selector)
{
    std::string where = "file-level atom " + partText(selector.atom);
    NameList names;
    int32_t count = 0;
    if (selector.fileLevel) {
        for (int32_t j = 0; record.metas && j < record.metaCount; ++j) {
            names.add(record.metas[j].id);
        }
        count = record.metaCount;
    } else {
        bool firstStream = true;
        for (int32_t i = 0; i < streamsIn(record); ++i) {
            if (!streamMatches(record, selector, i)) {
                continue;
            }
            const kevo_stream& stream = record.streams[i];
            if (firstStream) {
                where = "atom " + partText(selector.atom) + " in stream '" +
                        kevo_fourccText(stream.id) + "'";
                firstStream = false;
            }
            for (int32_t j = 0; stream.metas && j < stream.metaCount; ++j) {
                names.add(stream.metas[j].id);
            }
            count = count > stream.metaCount ? count : stream.metaCount;
        }
    }
    return "no " + where + " " +
           (selector.atom.byIndex ? countText(count, "atom") : names.text());
}

std::string ambiguity(const kevo_file& record, const kevo_selector& selector,
                      const std::vector<kevo_atomPlace>& found)
{
    std::string where = "file-level atom " + partText(selector.atom);
    if (!selector.fileLevel) {
        where = "atom " + partText(selector.atom) + " in stream '" +
                kevo_fourccText(record.streams[found[0].streamID].id) + "'";
    }
    std::string places;
    for (const kevo_atomPlace& place : found) {
        places += (places.empty() ? "" : ", ") + std::string("-streamID ") +
                  std::to_string(place.streamID) + " -metaID " + std::to_string(place.metaID);
    }
    return std::to_string(found.size()) + " matches for " + where + ": " + places;
}

}  // namespace

std::string kevo_fourccText(uint32_t fourcc)
{
    std::string out;
    for (int shift = 0; shift < 32; shift += 8) {
        const uint8_t byte = static_cast<uint8_t>(fourcc >> shift);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            out.push_back(static_cast<char>(byte));
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        }
    }
    return out;
}

std::string kevo_fourccUtf8(uint32_t fourcc)
{
    std::string out;
    for (int shift = 0; shift < 32; shift += 8) {
        const uint8_t byte = static_cast<uint8_t>(fourcc >> shift);
        if (byte < 0x80) {
            out.push_back(static_cast<char>(byte));
        } else {
            out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return out;
}

int kevo_parseSelector(const std::string& text, kevo_selector* selector)
{
    // Filled apart, so that a selector refused leaves the caller's as it was.
    kevo_selector parsed{};
    const size_t slash = text.find('/');
    parsed.fileLevel = slash == std::string::npos;
    const bool good = parsed.fileLevel ? parsePart(text, &parsed.atom)
                                       : parsePart(text.substr(0, slash), &parsed.stream) &&
                                             parsePart(text.substr(slash + 1), &parsed.atom);
    if (!good) {
        return 0;
    }
    *selector = parsed;
    return 1;
}

bool kevo_sameSelector(const kevo_selector& a, const kevo_selector& b)
{
    return a.fileLevel == b.fileLevel && samePart(a.atom, b.atom) &&
           (a.fileLevel || samePart(a.stream, b.stream));
}

std::vector<kevo_atomPlace> kevo_findAtoms(const kevo_file& record, const kevo_selector& selector)
{
    std::vector<kevo_atomPlace> found;
    if (selector.fileLevel) {
        collectAtoms(KEVO_FILE_LEVEL, record.metaCount, record.metas, selector.atom, &found);
        return found;
    }
    for (int32_t i = 0; i < streamsIn(record); ++i) {
        if (streamMatches(record, selector, i)) {
            const kevo_stream& stream = record.streams[i];
            collectAtoms(i, stream.metaCount, stream.metas, selector.atom, &found);
        }
    }
    return found;
}

std::string kevo_describeMatches(const kevo_file& record, const kevo_selector& selector,
                                 const std::vector<kevo_atomPlace>& found)
{
    if (found.size() > 1) {
        return ambiguity(record, selector, found);
    }
    if (found.size() == 1) {
        return "1 match";
    }
    if (!selector.fileLevel) {
        bool anyStream = false;
        for (int32_t i = 0; i < streamsIn(record) && !anyStream; ++i) {
            anyStream = streamMatches(record, selector, i);
        }
        if (!anyStream) {
            return missingStream(record, selector);
        }
    }
    return missingAtom(record, selector);
}
