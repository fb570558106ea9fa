// kevo-sample: writes a sample recording to try the other tools on.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sample/sample_recording.h"

namespace {

struct SampleOptions {
    const char* path = nullptr;
    const char* packetText = nullptr;
    const char* atomText = nullptr;
};

enum class ParseResult { Ready, Usage };

void printUsage()
{
    std::fprintf(stderr, "usage: kevo-sample [--atoms N] <output path> [packet bytes]\n");
}

// Digits only: a sign, blanks or a suffix are more likely a slip than intent.
int parseWholeNumber(const char* text, long long max, long long* value)
{
    if (*text == '\0') {
        return 0;
    }
    long long parsed = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return 0;
        }
        parsed = parsed * 10 + (*p - '0');
        if (parsed > max) {
            return 0;
        }
    }
    *value = parsed;
    return 1;
}

// "--atoms N" may stand anywhere; the other arguments are the path and the
// packet byte count, in that order.
ParseResult parseArguments(int argc, char** argv, SampleOptions* options)
{
    int positional = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--atoms") == 0) {
            if (i + 1 >= argc || options->atomText) {
                return ParseResult::Usage;
            }
            options->atomText = argv[++i];
        } else if (positional == 0) {
            options->path = argv[i];
            ++positional;
        } else if (positional == 1) {
            options->packetText = argv[i];
            ++positional;
        } else {
            return ParseResult::Usage;
        }
    }
    return options->path ? ParseResult::Ready : ParseResult::Usage;
}

int readPacketBytes(const char* text, long long* packetBytes)
{
    if (!text) {
        return 1;
    }
    if (parseWholeNumber(text, KEVO_SAMPLE_MAX_PACKET_BYTES, packetBytes)) {
        return 1;
    }
    std::fprintf(stderr, "# ERROR: packet bytes must be a whole number from 0 to %lld, not %s\n",
                 KEVO_SAMPLE_MAX_PACKET_BYTES, text);
    return 0;
}

int readAtomCount(const char* text, int32_t* atomCount)
{
    if (!text) {
        return 1;
    }
    long long parsed = 0;
    if (parseWholeNumber(text, KEVO_SAMPLE_MAX_ATOMS, &parsed) &&
        parsed >= KEVO_SAMPLE_MIN_ATOMS) {
        *atomCount = static_cast<int32_t>(parsed);
        return 1;
    }
    std::fprintf(stderr, "# ERROR: atoms must be a whole number from %d to %d, not %s\n",
                 KEVO_SAMPLE_MIN_ATOMS, KEVO_SAMPLE_MAX_ATOMS, text);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    SampleOptions options;
    if (parseArguments(argc, argv, &options) != ParseResult::Ready) {
        printUsage();
        return 1;
    }
    long long packetBytes = KEVO_SAMPLE_DEFAULT_PACKET_BYTES;
    int32_t atomCount = KEVO_SAMPLE_DEFAULT_ATOMS;
    if (!readPacketBytes(options.packetText, &packetBytes) ||
        !readAtomCount(options.atomText, &atomCount)) {
        return 1;
    }
    kevo_sampleSummary summary{};
    if (!kevo_writeSampleRecording(options.path, packetBytes, atomCount, &summary)) {
        std::fprintf(stderr, "# ERROR: cannot write sample recording %s: %s\n", options.path,
                     std::strerror(errno));
        return 1;
    }
    std::fprintf(stderr,
                 "# INFO: wrote sample recording %s: %d streams, %lld header bytes, "
                 "%lld packet bytes\n",
                 options.path, summary.streamCount, static_cast<long long>(summary.headerBytes),
                 summary.packetBytes);
    return 0;
}
