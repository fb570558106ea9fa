#include "tool/edit_command.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "cli/kevo_cli.h"
#include "edit/kevo_edit.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char* const kName = "kevo-edit";

// Codes of the long options, above every character an option could have.
enum LongOption : int { kSet = 256, kIf, kDryRun, kJson, kWait, kHelp, kVersion };

const option kLongOptions[] = {
    {"set", required_argument, nullptr, kSet},
    {"if", required_argument, nullptr, kIf},
    {"dry-run", no_argument, nullptr, kDryRun},
    {"json", no_argument, nullptr, kJson},
    {"wait", required_argument, nullptr, kWait},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

using Request = kevo_editParse;
using EditOptions = kevo_editCommandLine;

void printUsage()
{
    std::fputs(
        "Usage: kevo-edit [OPTION]... --set SEL=VALUE [--set SEL=VALUE]... FILE...\n"
        "Set integer ('i') meta values in the headers of KEVO recordings, in place.\n"
        "Each FILE is locked, read and checked; then only the values that differ are\n"
        "written and synced to disk, and the file is reported.\n"
        "\n"
        "      --set SEL=VALUE   set the atom SEL to VALUE; may be repeated\n"
        "      --if SEL=VALUE    edit a file only when the atom SEL holds VALUE, and\n"
        "                        report it as skipped otherwise; may be repeated\n"
        "      --dry-run         show what would change and write nothing\n"
        "      --json            print one JSON array with an object per file\n"
        "      --wait SECONDS    wait at most SECONDS for another process's lock\n"
        "                        (default: as long as it takes)\n"
        "      --help            print this help and exit\n"
        "      --version         print the version and exit\n"
        "\n"
        "SEL is [STREAM/]ATOM, as kevo-info --locate takes it: each part a fourcc of\n"
        "one to four characters, padded with spaces and matched as stored, or #N,\n"
        "counted from 0. Without STREAM/ it names a file-level atom.\n"
        "VALUE is a whole decimal number from -2147483648 to 4294967295.\n"
        "\n"
        "Each --set prints one line: 'PATH: SEL OLD -> NEW', or 'PATH: SEL VALUE\n"
        "(unchanged)'; a file whose --if does not hold prints 'PATH: skipped (SEL is X,\n"
        "not Y)'. A file that fails is named on standard error and the run goes on.\n"
        "SIGINT, SIGTERM or SIGHUP finishes the file in flight and starts no other.\n"
        "Exit status: 0 if no file failed, 1 if one did, 2 on a usage error, 128+N\n"
        "when signal N stopped the run.\n"
        "\n"
        "Example: kevo-edit --if pav2/mic=800 --set pav2/mic=1000 *.kevo\n",
        stdout);
}

Request usageError(const std::string& message)
{
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kName,
                 message.c_str(), kName);
    return Request::Usage;
}

// getopt_long leaves a short option's character in optopt, and for a long
// option the word itself just before optind.
Request invalidOption(char** argv)
{
    if (optopt > 0 && optopt < kSet) {
        return usageError(std::string("invalid option -- '") + static_cast<char>(optopt) + "'");
    }
    return usageError(std::string("invalid option '") + argv[optind - 1] + "'");
}

// "SEL=VALUE", split at the last '=': a value never holds one, a fourcc may.
bool parseAssignment(const char* option, const std::string& text, kevo_valueRequest* out,
                     std::string* error)
{
    const size_t equals = text.rfind('=');
    if (equals == std::string::npos) {
        *error = std::string(option) + " takes SEL=VALUE, not '" + text + "'";
        return false;
    }
    out->text = text.substr(0, equals);
    if (!kevo_parseSelector(out->text, &out->selector)) {
        *error = "not [STREAM/]ATOM, each a fourcc of one to four characters or #N: '" +
                 out->text + "'";
        return false;
    }
    const std::string value = text.substr(equals + 1);
    int64_t number = 0;
    if (kevo_parseWholeNumber(value.c_str(), KEVO_VALUE_MIN, KEVO_VALUE_MAX, &number) !=
        kevo_numberForm::Whole) {
        *error = "not a whole decimal number from -2147483648 to 4294967295: '" + value + "'";
        return false;
    }
    out->value = static_cast<uint32_t>(number);
    return true;
}

// Seconds as digits with an optional fraction: no sign, exponent or "inf".
bool parseSeconds(const char* text, double* seconds)
{
    const char* p = text;
    double whole = 0;
    bool anyDigit = false;
    for (; *p >= '0' && *p <= '9'; ++p, anyDigit = true) {
        whole = whole * 10 + (*p - '0');
    }
    if (*p == '.') {
        double scale = 0.1;
        for (++p; *p >= '0' && *p <= '9'; ++p, anyDigit = true, scale /= 10) {
            whole += (*p - '0') * scale;
        }
    }
    *seconds = whole;
    return anyDigit && *p == '\0';
}

Request checkRequest(EditOptions* options)
{
    const std::vector<kevo_valueRequest>& sets = options->request.sets;
    if (sets.empty()) {
        return usageError("no --set given");
    }
    if (options->files.empty()) {
        return usageError("no file given");
    }
    for (size_t i = 0; i < sets.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (kevo_sameSelector(sets[i].selector, sets[j].selector)) {
                return usageError("'" + sets[j].text + "' and '" + sets[i].text +
                                  "' set the same atom");
            }
        }
    }
    return Request::Edit;
}

}  // namespace

kevo_editParse kevo_parseEditCommandLine(int argc, char** argv, kevo_editCommandLine* options)
{
    *options = kevo_editCommandLine{};
    opterr = 0;
    // 0, not 1: glibc then starts over, forgetting a scan it was in the
    // middle of.
    optind = 0;
    for (;;) {
        const int code = getopt_long(argc, argv, ":", kLongOptions, nullptr);
        kevo_valueRequest value;
        std::string error;
        switch (code) {
        case -1:
            options->files.assign(argv + optind, argv + argc);
            return checkRequest(options);
        case kSet:
        case kIf:
            if (!parseAssignment(code == kSet ? "--set" : "--if", optarg, &value, &error)) {
                return usageError(error);
            }
            (code == kSet ? options->request.sets : options->request.conditions).push_back(value);
            break;
        case kDryRun:
            options->request.dryRun = true;
            break;
        case kJson:
            options->json = true;
            break;
        case kWait:
            if (!parseSeconds(optarg, &options->request.wait.seconds)) {
                return usageError(std::string("not a number of seconds: '") + optarg + "'");
            }
            break;
        case kHelp:
            return Request::Help;
        case kVersion:
            return Request::Version;
        case ':':
            return usageError(std::string("option '") + argv[optind - 1] +
                              "' requires an argument");
        default:
            return invalidOption(argv);
        }
    }
}

namespace {

const char* statusName(kevo_editStatus status)
{
    switch (status) {
    case KEVO_EDIT_EDITED:
        return "edited";
    case KEVO_EDIT_UNCHANGED:
        return "unchanged";
    case KEVO_EDIT_SKIPPED:
        return "skipped";
    case KEVO_EDIT_WOULD_EDIT:
        return "would-edit";
    case KEVO_EDIT_FAILED:
    case KEVO_EDIT_INTERRUPTED:
        break;
    }
    return "failed";
}

// The product of one file as lines, one per --set, or one skipped line; a
// file that failed has none, whatever step it failed at.
void printLines(const char* path, const kevo_editRequest& request, const kevo_editResult& result)
{
    const std::string shown = kevo_linePath(path);
    const char* const name = shown.c_str();
    const char* dryRun = request.dryRun ? " (dry run)" : "";
    if (result.status == KEVO_EDIT_SKIPPED) {
        const kevo_valueRequest& condition = request.conditions[result.failedCondition];
        std::printf("%s: skipped (%s is %d, not %d)%s\n", name, condition.text.c_str(),
                    result.foundValue, static_cast<int32_t>(condition.value), dryRun);
        return;
    }
    if (result.status == KEVO_EDIT_FAILED) {
        return;
    }
    for (size_t i = 0; i < result.changes.size(); ++i) {
        const kevo_valueChange& change = result.changes[i];
        const char* selector = request.sets[i].text.c_str();
        if (change.oldValue == change.newValue) {
            std::printf("%s: %s %d (unchanged)%s\n", name, selector, change.oldValue, dryRun);
        } else {
            std::printf("%s: %s %d -> %d%s\n", name, selector, change.oldValue, change.newValue,
                        dryRun);
        }
    }
}

Json fileJson(const char* path, const kevo_editRequest& request, const kevo_editResult& result)
{
    Json out;
    out["path"] = path;
    // "path" stays valid UTF-8 for every JSON reader; where that cost the
    // path some of its bytes, they are all here.
    if (!kevo_isUtf8(path)) {
        out["pathBytes"] = kevo_hexBytes(path);
    }
    out["status"] = statusName(result.status);
    out["locked"] = result.locked;
    if (result.lockError != 0) {
        out["lockError"] = std::strerror(result.lockError);
    }
    if (result.status == KEVO_EDIT_EDITED) {
        out["untorn"] = result.untorn;
    }
    Json changes = Json::array();
    for (size_t i = 0; i < result.changes.size(); ++i) {
        const kevo_valueChange& change = result.changes[i];
        Json entry;
        entry["selector"] = request.sets[i].text;
        entry["stream"] = change.place.streamID;
        entry["atom"] = change.place.metaID;
        entry["fourcc"] = kevo_fourccUtf8(change.fourcc);
        entry["offset"] = change.offset;
        entry["old"] = change.oldValue;
        entry["new"] = change.newValue;
        changes.push_back(entry);
    }
    out["changes"] = changes;
    if (result.status == KEVO_EDIT_SKIPPED) {
        const kevo_valueRequest& condition = request.conditions[result.failedCondition];
        out["condition"] = Json{{"selector", condition.text},
                                {"expected", static_cast<int32_t>(condition.value)},
                                {"found", result.foundValue}};
    }
    if (result.status == KEVO_EDIT_FAILED) {
        out["error"] = result.error;
    }
    return out;
}

// Writes the --json array as the files are done, so memory stays flat in
// their number: each object is the dump(2) of an array's element, indented
// one level.
class JsonListing {
public:
    void add(const Json& object)
    {
        const std::string text =
            object.dump(2, ' ', false, Json::error_handler_t::replace);
        std::string indented = first_ ? "[\n  " : ",\n  ";
        for (char c : text) {
            indented += c;
            if (c == '\n') {
                indented += "  ";
            }
        }
        first_ = false;
        std::fputs(indented.c_str(), stdout);
    }

    void finish() { std::fputs(first_ ? "[]\n" : "\n]\n", stdout); }

private:
    bool first_ = true;
};

// The signal that asked the run to stop, 0 while none has.
volatile std::sig_atomic_t gStopSignal = 0;

// A request to stop lets the file in flight finish: its writes, its sync
// and its report. A second one stops the run at once, as if nothing caught
// it; the values of a file are written so that even that leaves them all
// old or all new where they share a page.
extern "C" void askToStop(int signal)
{
    if (gStopSignal != 0) {
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigaction(signal, &fallback, nullptr);
        raise(signal);
        return;
    }
    gStopSignal = signal;
}

// SA_RESTART, so that a report being written to a pipe is not cut short by
// the signal. A signal the run was started with ignored (nohup) stays so.
void catchStopSignals()
{
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction before {};
        if (sigaction(signal, nullptr, &before) != 0 || before.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction handler {};
        handler.sa_handler = askToStop;
        sigemptyset(&handler.sa_mask);
        handler.sa_flags = SA_RESTART;
        sigaction(signal, &handler, nullptr);
    }
}

const char* signalName(int signal)
{
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    }
    return "a signal";
}

// A file named that is where this run's output goes would have the report
// appended to it: nothing is edited then, and nothing said where it would
// land in the recording.
bool outputIsAFileNamed(const EditOptions& options)
{
    for (const char* path : options.files) {
        const int stream = kevo_outputStreamAt(path);
        if (stream == STDOUT_FILENO) {
            std::fprintf(stderr, "%s: %s: input file is output file\n", kName,
                         kevo_linePath(path).c_str());
        }
        if (stream >= 0) {
            return true;
        }
    }
    return false;
}

int editFiles(EditOptions& options)
{
    if (outputIsAFileNamed(options)) {
        return kExitFailed;
    }
    JsonListing listing;
    std::string current;
    options.request.wait.announce = [&current] {
        std::fprintf(stderr, "%s: %s: waiting for another process to finish with it\n", kName,
                     current.c_str());
    };
    options.request.wait.stop = &gStopSignal;
    catchStopSignals();
    int status = kExitDone;
    size_t done = 0;
    for (; done < options.files.size() && gStopSignal == 0; ++done) {
        const char* path = options.files[done];
        current = kevo_linePath(path);
        kevo_editResult result;
        if (kevo_editValues(path, options.request, &result) == KEVO_EDIT_INTERRUPTED) {
            break;
        }
        if (result.lockError != 0) {
            std::fprintf(stderr,
                         "%s: %s: cannot lock (%s), editing without waiting for other "
                         "processes\n",
                         kName, current.c_str(), std::strerror(result.lockError));
        }
        if (options.json) {
            listing.add(fileJson(path, options.request, result));
        } else {
            printLines(path, options.request, result);
        }
        if (result.status == KEVO_EDIT_FAILED) {
            std::fprintf(stderr, "%s: %s: %s\n", kName, current.c_str(), result.error.c_str());
            status = kExitFailed;
        }
        // Each file's report leaves as soon as the file is done and synced.
        std::fflush(stdout);
    }
    if (options.json) {
        listing.finish();
    }
    if (gStopSignal != 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: stopped by %s; %zu of %zu files not started\n", kName,
                     signalName(gStopSignal), options.files.size() - done, options.files.size());
        return 128 + gStopSignal;
    }
    return status;
}

// A full disk or a closed pipe must not pass for a complete report.
int finish(int status)
{
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) {
        return status;
    }
    std::fprintf(stderr, "%s: cannot write to standard output: %s\n", kName,
                 std::strerror(errno));
    return kExitFailed;
}

}  // namespace

int kevo_editMain(int argc, char** argv)
{
    EditOptions options;
    switch (kevo_parseEditCommandLine(argc, argv, &options)) {
    case Request::Usage:
        return kExitUsage;
    case Request::Help:
        printUsage();
        return finish(kExitDone);
    case Request::Version:
        std::printf("%s %s\n", kName, KEVO_VERSION);
        return finish(kExitDone);
    case Request::Edit:
        return finish(editFiles(options));
    }
    return kExitUsage;
}
