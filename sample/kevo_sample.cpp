// kevo-sample: writes a sample recording to try the other tools on.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sample/sample_recording.h"

namespace {

void printUsage()
{
    std::fprintf(stderr, "usage: kevo-sample <output path> [packet bytes]\n");
}

// Digits only: a sign, blanks or a suffix are more likely a slip than intent.
int parsePacketBytes(const char* text, long long* value)
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
        if (parsed > KEVO_SAMPLE_MAX_PACKET_BYTES) {
            return 0;
        }
    }
    *value = parsed;
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        printUsage();
        return 1;
    }
    long long packetBytes = KEVO_SAMPLE_DEFAULT_PACKET_BYTES;
    if (argc == 3 && !parsePacketBytes(argv[2], &packetBytes)) {
        std::fprintf(stderr,
                     "# ERROR: packet bytes must be a whole number from 0 to %lld, not %s\n",
                     KEVO_SAMPLE_MAX_PACKET_BYTES, argv[2]);
        return 1;
    }
    kevo_sampleSummary summary{};
    if (!kevo_writeSampleRecording(argv[1], packetBytes, &summary)) {
        std::fprintf(stderr, "# ERROR: cannot write sample recording %s: %s\n", argv[1],
                     std::strerror(errno));
        return 1;
    }
    std::fprintf(stderr,
                 "# INFO: wrote sample recording %s: %d streams, %lld header bytes, "
                 "%lld packet bytes\n",
                 argv[1], summary.streamCount, static_cast<long long>(summary.headerBytes),
                 summary.packetBytes);
    return 0;
}
