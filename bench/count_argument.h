// Reads a count from the command line of the benchmark programs.
#pragma once

namespace kevo_bench {

// Plain digits up to `max`; anything else (a sign, blanks, nothing) is a
// mistake in the caller and gives false.
inline bool parseCount(const char* text, long long max, long long* value)
{
    if (*text == '\0') {
        return false;
    }
    long long parsed = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        parsed = parsed * 10 + (*p - '0');
        if (parsed > max) {
            return false;
        }
    }
    *value = parsed;
    return true;
}

}  // namespace kevo_bench
