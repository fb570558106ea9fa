// kevo-sample: writes a sample recording to try the other tools on.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <getopt.h>

#include "sample/sample_recording.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct SampleOptions {
    const char* path = nullptr;
    long long packetBytes = KEVO_SAMPLE_DEFAULT_PACKET_BYTES;
    int32_t atomCount = KEVO_SAMPLE_DEFAULT_ATOMS;
    kevo_sampleOverwrite overwrite = KEVO_SAMPLE_KEEP_EXISTING;
};

enum class ParseResult { Ready, Help, Usage };

// Above every character, so that the optopt of a refused option tells a
// short option from a long one.
enum LongOption : int { kAtomsOption = 256, kForceOption, kHelpOption };

const option kLongOptions[] = {
    {"atoms", required_argument, nullptr, kAtomsOption},
    {"force", no_argument, nullptr, kForceOption},
    {"help", no_argument, nullptr, kHelpOption},
    {nullptr, 0, nullptr, 0},
};

// The leading ':' keeps getopt quiet and tells a missing value apart.
constexpr char kShortOptions[] = ":h";

void printHelp()
{
    std::printf(
        "Usage: kevo-sample [--atoms N] [--force] <output path> [packet bytes]\n"
        "Writes a sample recording: a header like one a device writes, then\n"
        "pseudo-random packet bytes (%lld unless given). \"-\" writes to standard output.\n"
        "\n"
        "      --atoms N  give the header N atoms in all, from %d to %d (%d unless given)\n"
        "      --force    replace a file already at the output path\n"
        "  -h, --help     print this help and exit\n"
        "\n"
        "Exit status is 0 when the recording was written, 1 when it was not, and 2\n"
        "for a usage error.\n",
        KEVO_SAMPLE_DEFAULT_PACKET_BYTES, KEVO_SAMPLE_MIN_ATOMS, KEVO_SAMPLE_MAX_ATOMS,
        KEVO_SAMPLE_DEFAULT_ATOMS);
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

int readPacketBytes(const char* text, long long* packetBytes, std::string* complaint)
{
    if (parseWholeNumber(text, KEVO_SAMPLE_MAX_PACKET_BYTES, packetBytes)) {
        return 1;
    }
    *complaint = "packet bytes must be a whole number from 0 to " +
                 std::to_string(KEVO_SAMPLE_MAX_PACKET_BYTES) + ", not '" + text + "'";
    return 0;
}

int readAtomCount(const char* text, int32_t* atomCount, std::string* complaint)
{
    long long parsed = 0;
    if (parseWholeNumber(text, KEVO_SAMPLE_MAX_ATOMS, &parsed) &&
        parsed >= KEVO_SAMPLE_MIN_ATOMS) {
        *atomCount = static_cast<int32_t>(parsed);
        return 1;
    }
    *complaint = "atoms must be a whole number from " + std::to_string(KEVO_SAMPLE_MIN_ATOMS) +
                 " to " + std::to_string(KEVO_SAMPLE_MAX_ATOMS) + ", not '" + text + "'";
    return 0;
}

// getopt has moved past a refused long option but may still stand inside a
// group of short ones, so a short one is named by its letter.
std::string refusedOption(char** argv)
{
    if (optopt > 0 && optopt < kAtomsOption) {
        return std::string("-") + static_cast<char>(optopt);
    }
    return argv[optind - 1];
}

// Options may stand anywhere before "--"; what is left is the path and the
// packet byte count, in that order. A lone "-" is a path, standard output.
ParseResult parseArguments(int argc, char** argv, SampleOptions* options, std::string* complaint)
{
    bool atomsGiven = false;
    opterr = 0;
    int choice = 0;
    while ((choice = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
        switch (choice) {
        case 'h':
        case kHelpOption:
            return ParseResult::Help;
        case kForceOption:
            options->overwrite = KEVO_SAMPLE_OVERWRITE;
            break;
        case kAtomsOption:
            if (atomsGiven) {
                *complaint = "option '--atoms' given twice";
                return ParseResult::Usage;
            }
            atomsGiven = true;
            if (!readAtomCount(optarg, &options->atomCount, complaint)) {
                return ParseResult::Usage;
            }
            break;
        case ':':
            *complaint = "option '--atoms' needs a value";
            return ParseResult::Usage;
        default:
            *complaint = "invalid option '" + refusedOption(argv) + "'";
            return ParseResult::Usage;
        }
    }
    const int operands = argc - optind;
    if (operands == 0) {
        *complaint = "missing output path";
        return ParseResult::Usage;
    }
    if (operands > 2) {
        *complaint = std::string("extra operand '") + argv[optind + 2] + "'";
        return ParseResult::Usage;
    }
    options->path = argv[optind];
    if (operands == 2 && !readPacketBytes(argv[optind + 1], &options->packetBytes, complaint)) {
        return ParseResult::Usage;
    }
    return ParseResult::Ready;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!kevo_openStandardDescriptors()) {
        std::fprintf(stderr,
                     "kevo-sample: cannot open /dev/null onto a closed standard descriptor\n");
        return kExitFailure;
    }
    SampleOptions options;
    std::string complaint;
    const ParseResult parsed = parseArguments(argc, argv, &options, &complaint);
    if (parsed == ParseResult::Help) {
        printHelp();
        // A help text that did not arrive is a failure like any other write.
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            std::fprintf(stderr, "kevo-sample: standard output: %s\n", std::strerror(errno));
            return kExitFailure;
        }
        return 0;
    }
    if (parsed == ParseResult::Usage) {
        std::fprintf(stderr,
                     "kevo-sample: %s\nTry 'kevo-sample --help' for more information.\n",
                     complaint.c_str());
        return kExitUsage;
    }
    kevo_sampleSummary summary{};
    if (!kevo_writeSampleRecording(options.path, options.packetBytes, options.atomCount,
                                   options.overwrite, &summary)) {
        std::fprintf(stderr, "kevo-sample: %s: %s\n", options.path, std::strerror(errno));
        return kExitFailure;
    }
    std::fprintf(stderr,
                 "# INFO: wrote sample recording %s: %d streams, %lld header bytes, "
                 "%lld packet bytes\n",
                 options.path, summary.streamCount, static_cast<long long>(summary.headerBytes),
                 summary.packetBytes);
    return 0;
}
