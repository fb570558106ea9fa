#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "edit/kevo_edit.h"

namespace {

constexpr int32_t kValueBytes = 4;

std::string quoted(const std::string& text)
{
    return "'" + text + "'";
}

// The atom a request names, when it names exactly one 'i' atom that holds a
// value; otherwise why not.
const kevo_atom* resolveValue(const kevo_file& record, const kevo_valueRequest& request,
                              kevo_atomPlace* place, std::string* error)
{
    const std::vector<kevo_atomPlace> found = kevo_findAtoms(record, request.selector);
    if (found.size() != 1) {
        *error = kevo_describeMatches(record, request.selector, found);
        return nullptr;
    }
    *place = found[0];
    const kevo_atom* atom = kevo_atomAt(record, *place);
    if (atom->type != 'i') {
        // The type letter as a fourcc's first byte would show.
        const std::string shown = kevo_fourccText(atom->type & 0xFF);
        const std::string type = shown.substr(0, shown[0] == '\\' ? 4 : 1);
        *error = quoted(request.text) + " is of type '" + type + "', not 'i'";
        return nullptr;
    }
    if (atom->length < kValueBytes || !atom->data) {
        *error = quoted(request.text) + " holds " + std::to_string(atom->length) +
                 " payload bytes, an 'i' value needs 4";
        return nullptr;
    }
    return atom;
}

bool samePlace(kevo_atomPlace a, kevo_atomPlace b)
{
    return a.streamID == b.streamID && a.metaID == b.metaID;
}

// Resolves every set; false with the error when one does not resolve, or
// two name the same atom, which would leave which value wins to chance.
bool resolveSets(const kevo_file& record, const kevo_editRequest& request,
                 kevo_editResult* result)
{
    for (size_t i = 0; i < request.sets().size(); ++i) {
        const kevo_valueRequest& set = request.sets()[i];
        kevo_atomPlace place{};
        const kevo_atom* atom = resolveValue(record, set, &place, &result->error);
        if (!atom) {
            return false;
        }
        for (size_t j = 0; j < i; ++j) {
            if (samePlace(result->changes[j].place, place)) {
                result->error = quoted(request.sets()[j].text) + " and " + quoted(set.text) +
                                " name the same atom";
                return false;
            }
        }
        result->changes.push_back(kevo_valueChange{set.text, place, atom->id,
                                                   atom->offset + KEVO_ATOM_FIXED_BYTES,
                                                   kevo_getLE32Signed(atom->data),
                                                   static_cast<int32_t>(set.value)});
    }
    return true;
}

// False with the result set when a condition cannot be checked (error) or
// does not hold (skipped).
bool conditionsHold(const kevo_file& record, const kevo_editRequest& request,
                    kevo_editResult* result)
{
    for (size_t i = 0; i < request.conditions().size(); ++i) {
        kevo_atomPlace place{};
        const kevo_atom* atom =
            resolveValue(record, request.conditions()[i], &place, &result->error);
        if (!atom) {
            result->status = KEVO_EDIT_FAILED;
            return false;
        }
        if (kevo_getLE32(atom->data) != request.conditions()[i].value) {
            result->status = KEVO_EDIT_SKIPPED;
            result->failedCondition = i;
            result->foundValue = kevo_getLE32Signed(atom->data);
            return false;
        }
    }
    return true;
}

std::string holdError(kevo_holdResult held)
{
    switch (held) {
    case KEVO_HOLD_NOT_IN_PLACE:
        return "not a regular file";
    case KEVO_HOLD_LOCKED_OUT:
        return "locked by another process";
    case KEVO_HOLD_IS_OUTPUT:
        return "input file is output file";
    default:
        return std::strerror(errno);
    }
}

kevo_editStatus fail(kevo_editResult* result, const std::string& error)
{
    result->status = KEVO_EDIT_FAILED;
    result->error = error;
    return result->status;
}

// Puts the new values in the record and lists the places of those that
// differ from the file.
std::vector<kevo_atomPlace> applyChanges(kevo_file& record, const kevo_editResult& result)
{
    std::vector<kevo_atomPlace> changed;
    for (const kevo_valueChange& change : result.changes) {
        if (change.oldValue != change.newValue) {
            kevo_putLE32(kevo_atomAt(record, change.place)->data,
                         static_cast<uint32_t>(change.newValue));
            changed.push_back(change.place);
        }
    }
    return changed;
}

// The one request a selector and a value make, when both are sound.
bool makeValueRequest(const char* selector, int64_t value, kevo_valueRequest* out,
                      std::string* why)
{
    kevo_valueRequest made;
    made.text = selector;
    if (!kevo_parseSelector(made.text, &made.selector)) {
        *why = "not [STREAM/]ATOM, each a fourcc of one to four characters or #N: " +
               quoted(made.text);
        return false;
    }
    if (value < KEVO_VALUE_MIN || value > KEVO_VALUE_MAX) {
        *why = "not a value from -2147483648 to 4294967295: " + std::to_string(value);
        return false;
    }
    made.value = static_cast<uint32_t>(value);
    *out = made;
    return true;
}

}  // namespace

int kevo_addSet(kevo_editRequest* request, const char* selector, int64_t value, std::string* why)
{
    kevo_valueRequest set;
    if (!makeValueRequest(selector, value, &set, why)) {
        return 0;
    }
    // Which of two values for one atom would win is left to chance.
    for (const kevo_valueRequest& earlier : request->sets_) {
        if (kevo_sameSelector(earlier.selector, set.selector)) {
            *why = quoted(earlier.text) + " and " + quoted(set.text) + " set the same atom";
            return 0;
        }
    }
    request->sets_.push_back(set);
    return 1;
}

int kevo_addCondition(kevo_editRequest* request, const char* selector, int64_t value,
                      std::string* why)
{
    kevo_valueRequest condition;
    if (!makeValueRequest(selector, value, &condition, why)) {
        return 0;
    }
    request->conditions_.push_back(condition);
    return 1;
}

kevo_editStatus kevo_editValues(const char* path, const kevo_editRequest& request,
                                kevo_editResult* result)
{
    *result = kevo_editResult{};
    kevo_heldFile file;
    const kevo_holdResult held =
        file.hold(path, request.dryRun ? KEVO_HOLD_READ : KEVO_HOLD_WRITE, request.wait);
    if (held == KEVO_HOLD_INTERRUPTED) {
        result->status = KEVO_EDIT_INTERRUPTED;
        return result->status;
    }
    if (held != KEVO_HOLD_OPENED) {
        return fail(result, holdError(held));
    }
    result->lockError = file.lockError();
    result->locked = file.lockError() == 0;
    kevo_file record;
    record.file = file.openStream();
    if (!record.file) {
        return fail(result, std::strerror(errno));
    }
    const int read = kevo_readHeader(&record);
    kevo_close(&record);
    if (!read) {
        return fail(result, "not a valid KEVO file");
    }
    if (!resolveSets(record, request, result) || !conditionsHold(record, request, result)) {
        if (result->status != KEVO_EDIT_SKIPPED) {
            result->changes.clear();
            result->status = KEVO_EDIT_FAILED;
        }
        return result->status;
    }
    const std::vector<kevo_atomPlace> changed = applyChanges(record, *result);
    if (changed.empty()) {
        result->status = KEVO_EDIT_UNCHANGED;
        return result->status;
    }
    if (request.dryRun) {
        result->status = KEVO_EDIT_WOULD_EDIT;
        return result->status;
    }
    std::vector<kevo_headerRange> ranges;
    if (!kevo_listHeaderChanges(&record, changed.data(), changed.size(),
                                KEVO_CHANGE_PAYLOADS_ONLY, &ranges)) {
        return fail(result, "the header's layout does not add up");
    }
    kevo_writeOutcome outcome;
    const int written = file.writeRanges(ranges, &outcome);
    result->untorn = outcome.untorn;
    result->written = outcome.written;
    if (!written) {
        return fail(result, kevo_describeWrite(outcome));
    }
    result->status = KEVO_EDIT_EDITED;
    return result->status;
}
