// kevo-edit-bench: times kevo-modify against the baseline editor on the same
// recordings, in the same run, and prints a Markdown table of the medians.
//
//   kevo-edit-bench --modify PATH (--baseline PATH | --reference PATH)
//                   --scratch DIR [--runs N] [--warmup N] [--payload-offset N]
//                   [--tsv FILE] --case LABEL FILE HEADER_BYTES [--case ...]
//
// --reference puts another build of kevo-modify, given the same arguments,
// in the baseline's place: the ratio is then this build against that one.
//
// Every run is a fresh process: wall time from just before fork to the
// return of wait4, peak resident memory from that child's rusage. Runs go
// round the cases in turn, each round starting one case further on, and
// within a round the two editors take turns at going first, so that neither
// a drift in the machine's load nor a place in the order favours a case.
// Each run writes a value of its own, which is read back from the file
// afterwards: a run that did not edit the file is an error, not a fast run.
// The two runs of a round are a pair, and the median of the pairs' own CPU
// ratios is given beside the ratio of the medians: a pair's two runs see the
// same load, so its ratio does not drift with the machine.
// Standard error of each child goes to a file in the scratch folder,
// standard input and output to /dev/null. Nothing outside the scratch folder
// is written except the edited recordings and the TSV file, if asked for.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bench/child_process.h"
#include "bench/count_argument.h"
#include "cli/standard_descriptors.h"
#include "container/kevo_container.h"

namespace {

using kevo_bench::ChildRun;
using kevo_bench::parseCount;
using kevo_bench::runChild;

constexpr int kModifySuccess = 1;  // kevo-modify's own success status
constexpr int kBaselineSuccess = 0;
constexpr uint32_t kModifyValueBase = 100000;
constexpr uint32_t kBaselineValueBase = 200000;

struct Case {
    std::string label;
    std::string path;
    long long headerBytes = 0;
};

struct Options {
    std::string modify;
    std::string baseline;
    bool baselineIsModify = false;  // --reference
    std::string scratch;
    std::string tsvPath;
    int runs = 11;
    int warmup = 1;
    long long payloadOffset = 98;  // stream 0, meta 1 of every sample recording
    std::vector<Case> cases;
};

struct Samples {
    std::vector<double> milliseconds;
    std::vector<double> cpuMilliseconds;
    std::vector<long> maxRssKiB;
    long long stderrBytes = 0;
};

struct CaseResult {
    long long fileBytes = 0;
    Samples modify;
    Samples baseline;
};

void printUsage()
{
    std::fprintf(stderr,
                 "usage: kevo-edit-bench --modify PATH (--baseline PATH | --reference PATH)\n"
                 "                       --scratch DIR\n"
                 "                       [--runs N] [--warmup N] [--payload-offset N] "
                 "[--tsv FILE]\n"
                 "                       --case LABEL FILE HEADER_BYTES [--case ...]\n");
}

bool parseSmallCount(const char* text, int* value)
{
    long long parsed = 0;
    if (!parseCount(text, 100000, &parsed)) {
        return false;
    }
    *value = static_cast<int>(parsed);
    return true;
}

// Takes the option at argv[*i] and its values; false on anything unknown,
// missing or malformed.
bool takeOption(int argc, char** argv, int* i, Options* options)
{
    const std::string name = argv[*i];
    const int valuesLeft = argc - *i - 1;
    if (name == "--case") {
        Case entry;
        if (valuesLeft < 3 || !parseCount(argv[*i + 3], INT32_MAX, &entry.headerBytes)) {
            return false;
        }
        entry.label = argv[*i + 1];
        entry.path = argv[*i + 2];
        options->cases.push_back(entry);
        *i += 3;
        return true;
    }
    if (valuesLeft < 1) {
        return false;
    }
    const char* value = argv[++*i];
    if (name == "--modify") {
        options->modify = value;
    } else if (name == "--baseline" || name == "--reference") {
        options->baseline = value;
        options->baselineIsModify = name == "--reference";
    } else if (name == "--scratch") {
        options->scratch = value;
    } else if (name == "--tsv") {
        options->tsvPath = value;
    } else if (name == "--runs") {
        return parseSmallCount(value, &options->runs) && options->runs > 0;
    } else if (name == "--warmup") {
        return parseSmallCount(value, &options->warmup);
    } else if (name == "--payload-offset") {
        return parseCount(value, INT32_MAX, &options->payloadOffset);
    } else {
        return false;
    }
    return true;
}

bool parseArguments(int argc, char** argv, Options* options)
{
    for (int i = 1; i < argc; ++i) {
        if (!takeOption(argc, argv, &i, options)) {
            return false;
        }
    }
    return !options->modify.empty() && !options->baseline.empty() && !options->scratch.empty() &&
           !options->cases.empty();
}

bool readPayload(const std::string& path, long long offset, uint32_t* value)
{
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return false;
    }
    uint8_t bytes[4];
    const bool ok = pread(fd, bytes, sizeof bytes, static_cast<off_t>(offset)) == sizeof bytes;
    close(fd);
    *value = kevo_getLE32(bytes);
    return ok;
}

long long fileSize(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

// One timed edit by one editor: runs it, checks its status and that the
// value it was given is now in the file.
bool timeEdit(const char* editor, const std::vector<std::string>& args, int expectedStatus,
              const Case& entry, long long payloadOffset, uint32_t value,
              const std::string& errorPath, Samples* samples)
{
    ChildRun run;
    if (!runChild(args, STDERR_FILENO, errorPath, &run)) {
        std::fprintf(stderr, "kevo-edit-bench: cannot run %s: %s\n", args[0].c_str(),
                     std::strerror(errno));
        return false;
    }
    uint32_t found = 0;
    if (run.status != expectedStatus) {
        std::fprintf(stderr, "kevo-edit-bench: %s on %s exited with %d, expected %d; see %s\n",
                     editor, entry.label.c_str(), run.status, expectedStatus, errorPath.c_str());
        return false;
    }
    if (!readPayload(entry.path, payloadOffset, &found) || found != value) {
        std::fprintf(stderr, "kevo-edit-bench: %s did not write %u at offset %lld of %s\n",
                     editor, value, payloadOffset, entry.path.c_str());
        return false;
    }
    samples->milliseconds.push_back(run.milliseconds);
    samples->cpuMilliseconds.push_back(run.cpuMilliseconds);
    samples->maxRssKiB.push_back(run.maxRssKiB);
    samples->stderrBytes = fileSize(errorPath);
    return true;
}

// One round on one case: both editors once, `modifyFirst` choosing the order.
bool runRound(const Options& options, const Case& entry, const std::string& errorPath, int round,
              bool modifyFirst, CaseResult* result)
{
    const uint32_t modifyValue = kModifyValueBase + static_cast<uint32_t>(round);
    const uint32_t baselineValue = kBaselineValueBase + static_cast<uint32_t>(round);
    const auto modifyArgs = [&](const std::string& program, uint32_t value) {
        return std::vector<std::string>{program, "-streamID", "0", "-metaID", "1", "-metaValue",
                                        std::to_string(value), entry.path};
    };
    const std::vector<std::string> baselineArgs =
        options.baselineIsModify
            ? modifyArgs(options.baseline, baselineValue)
            : std::vector<std::string>{options.baseline, entry.path,
                                       std::to_string(entry.headerBytes),
                                       std::to_string(options.payloadOffset),
                                       std::to_string(baselineValue)};
    const int baselineSuccess = options.baselineIsModify ? kModifySuccess : kBaselineSuccess;

    for (int turn = 0; turn < 2; ++turn) {
        const bool modifyTurn = (turn == 0) == modifyFirst;
        const bool ok =
            modifyTurn
                ? timeEdit("kevo-modify", modifyArgs(options.modify, modifyValue),
                           kModifySuccess, entry, options.payloadOffset, modifyValue, errorPath,
                           &result->modify)
                : timeEdit("baseline", baselineArgs, baselineSuccess, entry,
                           options.payloadOffset, baselineValue, errorPath, &result->baseline);
        if (!ok) {
            return false;
        }
    }
    return true;
}

void dropWarmup(Samples* samples, int warmup)
{
    const size_t drop = std::min(samples->milliseconds.size(), static_cast<size_t>(warmup));
    samples->milliseconds.erase(samples->milliseconds.begin(),
                                samples->milliseconds.begin() + drop);
    samples->cpuMilliseconds.erase(samples->cpuMilliseconds.begin(),
                                   samples->cpuMilliseconds.begin() + drop);
    samples->maxRssKiB.erase(samples->maxRssKiB.begin(), samples->maxRssKiB.begin() + drop);
}

bool runAll(const Options& options, std::vector<CaseResult>* results)
{
    results->assign(options.cases.size(), CaseResult{});
    const int rounds = options.warmup + options.runs;
    for (int round = 0; round < rounds; ++round) {
        std::fprintf(stderr, "kevo-edit-bench: round %d of %d%s\n", round + 1, rounds,
                     round < options.warmup ? " (warm-up)" : "");
        for (size_t turn = 0; turn < options.cases.size(); ++turn) {
            const size_t i = (turn + static_cast<size_t>(round)) % options.cases.size();
            const std::string errorPath =
                options.scratch + "/case" + std::to_string(i + 1) + ".stderr";
            if (!runRound(options, options.cases[i], errorPath, round, round % 2 == 0,
                          &(*results)[i])) {
                return false;
            }
        }
    }
    for (size_t i = 0; i < options.cases.size(); ++i) {
        CaseResult& result = (*results)[i];
        result.fileBytes = fileSize(options.cases[i].path);
        dropWarmup(&result.modify, options.warmup);
        dropWarmup(&result.baseline, options.warmup);
    }
    return true;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Both editors' samples are kept in round order, so entry k of each is one
// pair. A run with no CPU time to its name has no ratio and is left out.
double pairedRatio(const std::vector<double>& editor, const std::vector<double>& other)
{
    std::vector<double> ratios;
    for (size_t k = 0; k < editor.size() && k < other.size(); ++k) {
        if (other[k] > 0) {
            ratios.push_back(editor[k] / other[k]);
        }
    }
    return ratios.empty() ? 0 : median(ratios);
}

long peak(const std::vector<long>& values)
{
    return *std::max_element(values.begin(), values.end());
}

// 1 KiB, 100 MiB, 10 GiB: binary units, at most one decimal.
std::string humanBytes(long long bytes)
{
    const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    const bool whole = value == static_cast<double>(static_cast<long long>(value));
    std::snprintf(text, sizeof text, whole ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

std::string milliseconds(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, value < 100 ? "%.2f ms" : "%.0f ms", value);
    return text;
}

std::string mebibytes(long kibibytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(kibibytes) / 1024);
    return text;
}

void printTable(const Options& options, const std::vector<CaseResult>& results)
{
    const char* other = options.baselineIsModify ? "reference" : "baseline";
    std::printf("| recording | file | header | kevo-modify | min to max | CPU | peak RSS | "
                "%s | %s CPU | %s RSS | ratio | CPU ratio | CPU ratio, paired |\n",
                other, other, other);
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (size_t i = 0; i < results.size(); ++i) {
        const CaseResult& r = results[i];
        const std::vector<double>& times = r.modify.milliseconds;
        const double modifyMedian = median(times);
        const double baselineMedian = median(r.baseline.milliseconds);
        const double modifyCpu = median(r.modify.cpuMilliseconds);
        const double baselineCpu = median(r.baseline.cpuMilliseconds);
        std::printf("| %s | %s | %s | %s | %s to %s | %s | %s | %s | %s | %s | %.2fx | %.2fx | "
                    "%.2fx |\n",
                    options.cases[i].label.c_str(), humanBytes(r.fileBytes).c_str(),
                    humanBytes(options.cases[i].headerBytes).c_str(),
                    milliseconds(modifyMedian).c_str(),
                    milliseconds(*std::min_element(times.begin(), times.end())).c_str(),
                    milliseconds(*std::max_element(times.begin(), times.end())).c_str(),
                    milliseconds(modifyCpu).c_str(), mebibytes(peak(r.modify.maxRssKiB)).c_str(),
                    milliseconds(baselineMedian).c_str(), milliseconds(baselineCpu).c_str(),
                    mebibytes(peak(r.baseline.maxRssKiB)).c_str(), modifyMedian / baselineMedian,
                    modifyCpu / baselineCpu,
                    pairedRatio(r.modify.cpuMilliseconds, r.baseline.cpuMilliseconds));
    }
    std::printf("\nMedians of %d runs each, after %d warm-up round%s; CPU is user and system "
                "time; peak RSS is the largest over the runs; the paired CPU ratio is the "
                "median of the %d rounds' own, each round one run of each, the two taking turns "
                "at going first.\n",
                options.runs, options.warmup, options.warmup == 1 ? "" : "s", options.runs);
}

// One line per case, for scripts: label, file bytes, header bytes, the
// editor's median, min and max in ms, its peak RSS in KiB, the baseline's
// median and peak RSS, the bytes the editor wrote to standard error, the
// editor's median CPU time in ms and the baseline's, and the median of the
// rounds' own CPU ratios.
bool writeTsv(const Options& options, const std::vector<CaseResult>& results)
{
    FILE* out = std::fopen(options.tsvPath.c_str(), "w");
    if (!out) {
        std::fprintf(stderr, "kevo-edit-bench: cannot write %s: %s\n", options.tsvPath.c_str(),
                     std::strerror(errno));
        return false;
    }
    for (size_t i = 0; i < results.size(); ++i) {
        const CaseResult& r = results[i];
        const std::vector<double>& times = r.modify.milliseconds;
        std::fprintf(out,
                     "%s\t%lld\t%lld\t%.3f\t%.3f\t%.3f\t%ld\t%.3f\t%ld\t%lld\t%.3f\t%.3f\t%.4f\n",
                     options.cases[i].label.c_str(), r.fileBytes, options.cases[i].headerBytes,
                     median(times), *std::min_element(times.begin(), times.end()),
                     *std::max_element(times.begin(), times.end()), peak(r.modify.maxRssKiB),
                     median(r.baseline.milliseconds), peak(r.baseline.maxRssKiB),
                     r.modify.stderrBytes, median(r.modify.cpuMilliseconds),
                     median(r.baseline.cpuMilliseconds),
                     pairedRatio(r.modify.cpuMilliseconds, r.baseline.cpuMilliseconds));
    }
    return std::fclose(out) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    // Before anything is opened: a recording opened onto a closed standard
    // error would receive the driver's complaints.
    if (!kevo_openStandardDescriptors()) {
        return 1;
    }
    Options options;
    if (!parseArguments(argc, argv, &options)) {
        printUsage();
        return 2;
    }
    std::vector<CaseResult> results;
    if (!runAll(options, &results)) {
        return 1;
    }
    printTable(options, results);
    if (!options.tsvPath.empty() && !writeTsv(options, results)) {
        return 1;
    }
    return 0;
}
