#include "tool/edit_command.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "cli/kevo_cli.h"
#include "cli/ordered_run.h"
#include "edit/kevo_edit.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;

const char* const kName = "kevo-edit";

enum Option : int {
    kSet = KEVO_OPTION_FIRST,
    kIf,
    kFrom,
    kRevert,
    kDryRun,
    kJson,
    kJobs,
};

constexpr int64_t kMostJobs = 1024;

using EditOptions = kevo_editCommandLine;

// "SEL=VALUE", split at the last '=': a value never holds one, a fourcc may.
// The selector's words come first, the value's next, then the request's.
std::string addValue(int code, const std::string& text, kevo_editRequest* request)
{
    const char* option = code == kSet ? "--set" : "--if";
    const size_t equals = text.rfind('=');
    if (equals == std::string::npos) {
        return std::string(option) + " takes SEL=VALUE, not '" + text + "'";
    }
    const std::string selector = text.substr(0, equals);
    kevo_selector parsed{};
    if (!kevo_parseSelector(selector, &parsed)) {
        return "not [STREAM/]ATOM, each a fourcc of one to four characters or #N: '" + selector +
               "'";
    }
    const std::string value = text.substr(equals + 1);
    int64_t number = 0;
    if (kevo_parseWholeNumber(value.c_str(), KEVO_VALUE_MIN, KEVO_VALUE_MAX, &number) !=
        kevo_numberForm::Whole) {
        return "not a whole decimal number from -2147483648 to 4294967295: '" + value + "'";
    }
    std::string why;
    const int added = code == kSet ? kevo_addSet(request, selector.c_str(), number, &why)
                                   : kevo_addCondition(request, selector.c_str(), number, &why);
    return added ? "" : why;
}

// The options that take more than a flag or a name.
std::string takeOption(EditOptions* options, int code, const char* argument)
{
    int64_t jobs = 0;
    switch (code) {
    case kSet:
    case kIf:
        return addValue(code, argument, &options->request);
    case kJobs:
        if (kevo_parseWholeNumber(argument, 1, kMostJobs, &jobs) != kevo_numberForm::Whole) {
            return "not a number of jobs from 1 to " + std::to_string(kMostJobs) + ": '" +
                   argument + "'";
        }
        options->jobs = static_cast<size_t>(jobs);
        break;
    }
    return "";
}

// kevo-edit's options, into `options`.
kevo_command commandFor(EditOptions* options)
{
    std::vector<kevo_option> table = {
        {"set", 0, "SEL=VALUE", kSet, "set the atom SEL to VALUE; may be repeated"},
        {"if", 0, "SEL=VALUE", kIf,
         "edit a file only when the atom SEL holds VALUE, and\n"
         "report it as skipped otherwise; may be repeated"},
        {"from", 0, "TABLE", kFrom,
         "set in each file the values of its row of TABLE,\n"
         "as kevo-info --get writes it (- reads standard input)",
         nullptr, &options->table},
        {"revert", 0, "REPORT", kRevert,
         "set back what the run that wrote REPORT (--json)\n"
         "edited, where every value still holds what it wrote",
         nullptr, &options->report},
        {"dry-run", 0, nullptr, kDryRun, "show what would change and write nothing",
         &options->request.dryRun},
        {"json", 0, nullptr, kJson, "print one JSON array with an object per file",
         &options->json},
        {"jobs", 'j', "N", kJobs,
         "edit up to N files at once (default: 16); the report\n"
         "stays in the order of the files"},
    };
    kevo_addRunOptions(&table, &options->request.wait.seconds, &options->selection,
                       &options->quiet);
    return {
        kName,
        "Usage: kevo-edit [OPTION]... --set SEL=VALUE [--set SEL=VALUE]... FILE...\n"
        "  or:  kevo-edit [OPTION]... --from TABLE\n"
        "  or:  kevo-edit [OPTION]... --revert REPORT\n"
        "Set integer ('i') meta values in the headers of KEVO recordings, in place.\n"
        "Each FILE is locked, read and checked; then only the values that differ are\n"
        "written and synced to disk, and the file is reported.\n"
        "\n",
        table,
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
        "Example: kevo-edit --if pav2/mic=800 --set pav2/mic=1000 -r archive/\n",
        26,
    };
}

// Which of --set, --from and --revert says what to do, with the files that
// go with it; the table or the report read and checked whole.
int checkCombination(EditOptions* options)
{
    const bool sets = !options->request.sets().empty();
    const bool filesNamed = !options->files.empty() || options->selection.list ||
                            options->selection.recursive;
    if (options->report) {
        if (sets || options->table || !options->request.conditions().empty() || filesNamed) {
            return kevo_usageError(kName, "--revert takes no --set, --if, --from or file");
        }
        const std::string why = kevo_planRevert(options->report, &options->plans);
        return why.empty() ? -1
                           : kevo_usageError(kName, kevo_linePath(options->report) + ": " + why);
    }
    if (options->table) {
        if (sets || filesNamed) {
            return kevo_usageError(kName, "--from takes no --set or file: the table names both");
        }
        const std::string why = kevo_planTable(options->table, &options->plans);
        return why.empty() ? -1
                           : kevo_usageError(kName, kevo_linePath(options->table) + ": " + why);
    }
    if (!sets) {
        return kevo_usageError(kName, "no --set given");
    }
    if (options->files.empty() && !options->selection.list) {
        return kevo_usageError(kName, "no file given");
    }
    return -1;
}

}  // namespace

int kevo_parseEditCommandLine(int argc, char** argv, kevo_editCommandLine* options)
{
    *options = kevo_editCommandLine{};
    const int stop = kevo_readCommandLine(
        commandFor(options), argc, argv,
        [options](int code, const char* argument) { return takeOption(options, code, argument); },
        &options->files);
    if (stop >= 0) {
        return stop;
    }
    return checkCombination(options);
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
        const kevo_valueRequest& condition = request.conditions()[result.failedCondition];
        std::printf("%s: skipped (%s is %d, not %d)%s\n", name, condition.text.c_str(),
                    result.foundValue, static_cast<int32_t>(condition.value), dryRun);
        return;
    }
    if (result.status == KEVO_EDIT_FAILED) {
        return;
    }
    for (size_t i = 0; i < result.changes.size(); ++i) {
        const kevo_valueChange& change = result.changes[i];
        const char* selector = change.selector.c_str();
        if (change.oldValue == change.newValue) {
            std::printf("%s: %s %d (unchanged)%s\n", name, selector, change.oldValue, dryRun);
        } else {
            std::printf("%s: %s %d -> %d%s\n", name, selector, change.oldValue, change.newValue,
                        dryRun);
        }
    }
}

// Where a set's atom stands: its place in kevo-modify's numbers, its
// fourcc, and the offset of its value in the file.
void writePlace(kevo_jsonWriter& json, const kevo_valueChange& change)
{
    json.key("stream").number(change.place.streamID);
    json.key("atom").number(change.place.metaID);
    json.key("fourcc").fourcc(change.fourcc);
    json.key("offset").unsignedNumber(change.offset);
}

void writeFileJson(kevo_jsonWriter& json, const char* path, const kevo_editRequest& request,
                   const kevo_editResult& result)
{
    json.beginObject();
    json.pathFields(path);
    json.key("status").string(statusName(result.status));
    json.key("locked").boolean(result.locked);
    if (result.lockError != 0) {
        json.key("lockError").string(std::strerror(result.lockError));
    }
    if (result.status == KEVO_EDIT_EDITED) {
        json.key("untorn").boolean(result.untorn);
    }
    json.key("changes").beginArray();
    for (const kevo_valueChange& change : result.changes) {
        json.beginObject();
        json.key("selector").string(change.selector);
        writePlace(json, change);
        json.key("old").number(change.oldValue);
        json.key("new").number(change.newValue);
        json.end();
    }
    json.end();
    if (result.status == KEVO_EDIT_SKIPPED) {
        const kevo_valueRequest& condition = request.conditions()[result.failedCondition];
        json.key("condition").beginObject();
        json.key("selector").string(condition.text);
        json.key("expected").number(static_cast<int32_t>(condition.value));
        json.key("found").number(result.foundValue);
        json.end();
    }
    if (result.status == KEVO_EDIT_FAILED) {
        json.key("error").string(result.error);
    }
    json.end();
}

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

// How many files of each kind the run reported, for its summary.
struct Tally {
    size_t edited = 0;
    size_t unchanged = 0;
    size_t skipped = 0;
    size_t failed = 0;

    size_t files() const { return edited + unchanged + skipped + failed; }
};

// The one line about a file that failed, a lock not had, or a summary, each
// in order with the report on standard output.
void reportFile(const EditOptions& options, const std::string& path,
                const kevo_editRequest& request, const kevo_editResult& result,
                kevo_jsonWriter& json, kevo_runStatus& status, Tally* tally)
{
    const std::string shown = kevo_linePath(path);
    if (result.lockError != 0) {
        status.say(shown + ": cannot lock (" + std::strerror(result.lockError) +
                   "), editing without waiting for other processes");
    }
    if (options.json) {
        writeFileJson(json, path.c_str(), request, result);
        json.flush();
    } else {
        printLines(path.c_str(), request, result);
    }
    // Each file's report leaves as soon as the file is done and synced.
    std::fflush(stdout);
    switch (result.status) {
    case KEVO_EDIT_EDITED:
    case KEVO_EDIT_WOULD_EDIT:
        ++tally->edited;
        break;
    case KEVO_EDIT_UNCHANGED:
        ++tally->unchanged;
        break;
    case KEVO_EDIT_SKIPPED:
        ++tally->skipped;
        break;
    default:
        ++tally->failed;
        status.say(shown + ": " + result.error);
    }
}

// One file of the run, and its own part of the request when it has one.
struct FileItem {
    std::string path;
    const kevo_filePlan* plan = nullptr;
    // The file the path names when it was taken, to tell two names of one
    // file; 0 where it could not be looked up.
    dev_t device = 0;
    ino_t inode = 0;
};

bool sameFile(const FileItem& a, const FileItem& b)
{
    return a.inode != 0 && a.device == b.device && a.inode == b.inode;
}

// A file's edit: its request, as the report needs it, and what came of it.
struct Edit {
    kevo_editRequest request;
    kevo_editResult result;
};

Edit editFile(const EditOptions& options, const FileItem& item, kevo_runStatus& status)
{
    Edit done;
    done.request = options.request;
    // The line saying what the edit waits for names its file.
    done.request.wait.announce = [&status, &item] {
        status.say(kevo_linePath(item.path) + ": waiting for another process to finish with it");
    };
    std::string why;
    if (item.plan) {
        for (const auto& [selector, value] : item.plan->conditions) {
            kevo_addCondition(&done.request, selector.c_str(), value, &why);
        }
        for (const auto& [selector, value] : item.plan->sets) {
            kevo_addSet(&done.request, selector.c_str(), value, &why);
        }
    }
    kevo_editValues(item.path.c_str(), done.request, &done.result);
    done.request.wait.announce = nullptr;
    return done;
}

int editFiles(EditOptions& options)
{
    std::vector<const char*> named = options.files;
    for (const kevo_filePlan& plan : options.plans) {
        named.push_back(plan.path.c_str());
    }
    if (kevo_outputIsAFileNamed(kName, named)) {
        return kExitFailed;
    }
    kevo_runStatus status(kName, options.quiet);
    Tally tally;
    size_t unreadable = 0;
    kevo_fileSource files(options.selection, options.files,
                          [&](const std::string& path, int error) {
                              status.say(kevo_linePath(path) + ": " + std::strerror(error));
                              ++unreadable;
                          });
    const bool planned = options.table || options.report;
    const size_t total = planned ? options.plans.size() : files.total();
    size_t nextPlan = 0;
    const auto next = [&](FileItem* item) {
        if (!planned) {
            item->plan = nullptr;
            if (!files.next(&item->path)) {
                return false;
            }
        } else if (nextPlan == options.plans.size()) {
            return false;
        } else {
            item->plan = &options.plans[nextPlan++];
            item->path = item->plan->path;
        }
        struct stat info;
        const bool found = options.jobs > 1 && stat(item->path.c_str(), &info) == 0;
        item->device = found ? info.st_dev : 0;
        item->inode = found ? info.st_ino : 0;
        return true;
    };
    kevo_jsonWriter json(stdout);
    if (options.json) {
        json.beginArray();
    }
    options.request.wait.stop = &gStopSignal;
    catchStopSignals();
    const auto report = [&](const FileItem& item, const Edit& done) {
        if (done.result.status == KEVO_EDIT_INTERRUPTED) {
            return;
        }
        reportFile(options, item.path, done.request, done.result, json, status, &tally);
        status.fileDone(total);
    };
    kevo_runInOrder<FileItem, Edit>(
        options.jobs, next,
        [&](const FileItem& item) { return editFile(options, item, status); }, report, sameFile,
        &gStopSignal);
    if (options.json) {
        json.end();
    }
    std::fflush(stdout);
    const size_t failed = tally.failed + unreadable;
    if (tally.files() + unreadable > 1 || total > 1) {
        status.summary(fmt::format("{} {}, {} skipped, {} unchanged, {} failed", tally.edited,
                                   options.request.dryRun ? "would edit" : "edited",
                                   tally.skipped, tally.unchanged, failed));
    }
    if (gStopSignal != 0) {
        const std::string signal = std::string("stopped by SIG") + sigabbrev_np(gStopSignal);
        status.say(total > 0 ? fmt::format("{}; {} of {} files not started", signal,
                                           total - tally.files(), total)
                             : fmt::format("{} after {} files; the rest not started", signal,
                                           tally.files()));
        return 128 + gStopSignal;
    }
    return failed > 0 ? kExitFailed : kExitDone;
}

}  // namespace

int kevo_editMain(int argc, char** argv)
{
    EditOptions options;
    const int stop = kevo_parseEditCommandLine(argc, argv, &options);
    if (stop >= 0) {
        return stop;
    }
    return kevo_finishOutput(kName, editFiles(options));
}
