#include <cstdint>

#include "container/kevo_container.h"

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr uint64_t kLargestMagnitude = static_cast<uint64_t>(INT64_MAX) + 1;

}  // namespace

kevo_numberForm kevo_parseWholeNumber(const char* text, int64_t min, int64_t max, int64_t* value)
{
    const char* p = text;
    while (isBlank(*p)) {
        ++p;
    }
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
    }
    const char* digits = p;
    // Unsigned, and checked before each step, so that no bound makes it
    // wrap; past 2^63 the number is out of every range, but the rest must
    // still be digits for it to be a number at all.
    uint64_t magnitude = 0;
    bool fits = true;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const auto digit = static_cast<uint64_t>(*p - '0');
        fits = fits && magnitude <= (kLargestMagnitude - digit) / 10;
        magnitude = fits ? magnitude * 10 + digit : magnitude;
    }
    const bool anyDigit = p != digits;
    while (isBlank(*p)) {
        ++p;
    }
    if (!anyDigit || *p != '\0') {
        return kevo_numberForm::NotWhole;
    }
    if (!fits || (!negative && magnitude > static_cast<uint64_t>(INT64_MAX))) {
        return kevo_numberForm::OutOfRange;
    }
    const int64_t result =
        negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    if (result < min || result > max) {
        return kevo_numberForm::OutOfRange;
    }
    *value = result;
    return kevo_numberForm::Whole;
}
