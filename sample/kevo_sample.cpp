// kevo-sample: writes a sample recording to try the other tools on.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/kevo_cli.h"
#include "cli/standard_descriptors.h"
#include "sample/sample_recording.h"

namespace {

constexpr int kExitFailure = 1;

const char* const kName = "kevo-sample";

enum Option : int { kAtoms = KEVO_OPTION_FIRST, kForce };

const std::string kUsage = "Usage: kevo-sample [--atoms N] [--force] <output path> [packet bytes]\n"
                           "Writes a sample recording: a header like one a device writes, then\n"
                           "pseudo-random packet bytes (" +
                           std::to_string(KEVO_SAMPLE_DEFAULT_PACKET_BYTES) +
                           " unless given). \"-\" writes to standard output.\n"
                           "\n";
const std::string kAtomsHelp = "give the header N atoms in all, from " +
                               std::to_string(KEVO_SAMPLE_MIN_ATOMS) + " to " +
                               std::to_string(KEVO_SAMPLE_MAX_ATOMS) + " (" +
                               std::to_string(KEVO_SAMPLE_DEFAULT_ATOMS) + " unless given)";

const kevo_command kCommand = {
    kName,
    kUsage.c_str(),
    {
        {"atoms", 0, "N", kAtoms, kAtomsHelp.c_str()},
        {"force", 0, nullptr, kForce, "replace a file already at the output path"},
        {"help", 'h', nullptr, KEVO_OPTION_HELP, "print this help and exit"},
    },
    "\n"
    "Exit status is 0 when the recording was written, 1 when it was not, and 2\n"
    "for a usage error.\n",
    17,
};

struct SampleOptions {
    const char* path = nullptr;
    long long packetBytes = KEVO_SAMPLE_DEFAULT_PACKET_BYTES;
    int32_t atomCount = KEVO_SAMPLE_DEFAULT_ATOMS;
    bool atomsGiven = false;
    kevo_sampleOverwrite overwrite = KEVO_SAMPLE_KEEP_EXISTING;
};

// Digits only: a sign, blanks or a suffix are more likely a slip than intent.
bool parseCount(const char* text, long long min, long long max, long long* value)
{
    if (*text < '0' || *text > '9' || text[std::strspn(text, "0123456789")] != '\0') {
        return false;
    }
    int64_t parsed = 0;
    if (kevo_parseWholeNumber(text, min, max, &parsed) != kevo_numberForm::Whole) {
        return false;
    }
    *value = parsed;
    return true;
}

std::string takeOption(SampleOptions* options, int code, const char* argument)
{
    if (code == kForce) {
        options->overwrite = KEVO_SAMPLE_OVERWRITE;
        return "";
    }
    if (options->atomsGiven) {
        return "option '--atoms' given twice";
    }
    options->atomsGiven = true;
    long long count = 0;
    if (!parseCount(argument, KEVO_SAMPLE_MIN_ATOMS, KEVO_SAMPLE_MAX_ATOMS, &count)) {
        return "atoms must be a whole number from " + std::to_string(KEVO_SAMPLE_MIN_ATOMS) +
               " to " + std::to_string(KEVO_SAMPLE_MAX_ATOMS) + ", not '" + argument + "'";
    }
    options->atomCount = static_cast<int32_t>(count);
    return "";
}

// What is left after the options is the path and the packet byte count, in
// that order. A lone "-" is a path, standard output.
std::string takeOperands(SampleOptions* options, const std::vector<const char*>& operands)
{
    if (operands.empty()) {
        return "missing output path";
    }
    if (operands.size() > 2) {
        return std::string("extra operand '") + operands[2] + "'";
    }
    options->path = operands[0];
    if (operands.size() == 2 &&
        !parseCount(operands[1], 0, KEVO_SAMPLE_MAX_PACKET_BYTES, &options->packetBytes)) {
        return "packet bytes must be a whole number from 0 to " +
               std::to_string(KEVO_SAMPLE_MAX_PACKET_BYTES) + ", not '" + operands[1] + "'";
    }
    return "";
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
    std::vector<const char*> operands;
    const int stop = kevo_readCommandLine(
        kCommand, argc, argv,
        [&options](int code, const char* argument) {
            return takeOption(&options, code, argument);
        },
        &operands);
    if (stop >= 0) {
        return stop;
    }
    const std::string refused = takeOperands(&options, operands);
    if (!refused.empty()) {
        return kevo_usageError(kName, refused);
    }
    kevo_sampleSummary summary{};
    if (!kevo_writeSampleRecording(options.path, options.packetBytes, options.atomCount,
                                   options.overwrite, &summary)) {
        std::fprintf(stderr, "kevo-sample: %s: %s\n", kevo_linePath(options.path).c_str(),
                     std::strerror(errno));
        return kExitFailure;
    }
    std::fprintf(stderr,
                 "# INFO: wrote sample recording %s: %d streams, %lld header bytes, "
                 "%lld packet bytes\n",
                 kevo_linePath(options.path).c_str(), summary.streamCount,
                 static_cast<long long>(summary.headerBytes), summary.packetBytes);
    return 0;
}
