#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "cli/kevo_cli.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// The length of the well-formed UTF-8 sequence that starts text[at], with
// its code point, or 0 when the bytes there are not one.
size_t sequenceAt(std::string_view text, size_t at, uint32_t* codePoint)
{
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[at + i]); };
    const uint8_t lead = byte(0);
    size_t length = 0;
    uint32_t value = 0;
    uint32_t least = 0;
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - at < length) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (byte(i) & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    *codePoint = value;
    return length;
}

// C0 and C1 controls and DEL move a terminal's cursor or end a line; a
// quote would end the quoting.
bool printable(uint32_t codePoint)
{
    return codePoint >= 0x20 && codePoint != 0x7F && !(codePoint >= 0x80 && codePoint <= 0x9F) &&
           codePoint != '\'';
}

void appendEscaped(std::string& out, uint8_t byte)
{
    switch (byte) {
    case '\n':
        out += "\\n";
        return;
    case '\t':
        out += "\\t";
        return;
    case '\r':
        out += "\\r";
        return;
    case '\'':
        out += "\\'";
        return;
    default:
        out += "\\x";
        out += kHexDigits[byte >> 4];
        out += kHexDigits[byte & 0xF];
    }
}

}  // namespace

std::string kevo_linePath(std::string_view path)
{
    bool plainSoFar = true;
    std::string out;
    bool inPlainRun = false;
    bool inEscapedRun = false;
    for (size_t at = 0; at < path.size();) {
        uint32_t codePoint = 0;
        const size_t length = sequenceAt(path, at, &codePoint);
        const bool plain = length > 0 && printable(codePoint);
        if (plainSoFar && !plain) {
            plainSoFar = false;
            out = at > 0 ? "'" + std::string(path.substr(0, at)) : "";
            inPlainRun = at > 0;
        }
        if (plainSoFar) {
            at += length;
            continue;
        }
        if (plain && !inPlainRun) {
            out += inEscapedRun ? "''" : "'";
        } else if (!plain && !inEscapedRun) {
            out += inPlainRun ? "'$'" : "$'";
        }
        inPlainRun = plain;
        inEscapedRun = !plain;
        if (plain) {
            out.append(path.substr(at, length));
            at += length;
        } else {
            // A byte at a time, so that what is not UTF-8 comes back as it was.
            const size_t count = length > 0 ? length : 1;
            for (size_t i = 0; i < count; ++i) {
                appendEscaped(out, static_cast<uint8_t>(path[at + i]));
            }
            at += count;
        }
    }
    if (plainSoFar) {
        return std::string(path);
    }
    out += "'";
    return out;
}

bool kevo_isUtf8(std::string_view text)
{
    for (size_t at = 0; at < text.size();) {
        uint32_t codePoint = 0;
        const size_t length = sequenceAt(text, at, &codePoint);
        if (length == 0) {
            return false;
        }
        at += length;
    }
    return true;
}

std::string kevo_hexBytes(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes) {
        const auto byte = static_cast<uint8_t>(c);
        out += kHexDigits[byte >> 4];
        out += kHexDigits[byte & 0xF];
    }
    return out;
}

int kevo_outputStreamAt(const char* path)
{
    struct stat named;
    if (stat(path, &named) != 0) {
        return -1;
    }
    for (int fd : {STDERR_FILENO, STDOUT_FILENO}) {
        struct stat stream;
        if (fstat(fd, &stream) == 0 && S_ISREG(stream.st_mode) && stream.st_dev == named.st_dev &&
            stream.st_ino == named.st_ino) {
            return fd;
        }
    }
    return -1;
}

bool kevo_outputIsAFileNamed(const char* name, const std::vector<const char*>& files)
{
    for (const char* path : files) {
        const int stream = kevo_outputStreamAt(path);
        if (stream == STDOUT_FILENO) {
            std::fprintf(stderr, "%s: %s: input file is output file\n", name,
                         kevo_linePath(path).c_str());
        }
        if (stream >= 0) {
            return true;
        }
    }
    return false;
}
