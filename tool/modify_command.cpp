#include "tool/modify_command.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "container/kevo_container.h"
#include "decoder/kevo_decoder.h"
#include "reader/kevo_reader.h"
#include "edit/kevo_edit.h"

namespace {

constexpr int kExitSuccess = 1;
constexpr int kExitFailure = -1;
constexpr int kExitUnrecognised = -3;
constexpr int kMinArgumentCount = 5;
constexpr int32_t kFileLevel = KEVO_FILE_LEVEL;

const char* const kUsage[] = {
    "kevo-modify [-options]  <input file>\n",
    "   kevo-modify will change the metaValues in a KEVO header, the input file is used as the output\n",
    "   [-streamID N]\n",
    "       Specify the stream number (which start at 0) you want to change\n",
    "       If the stream number is not found an error will occur\n",
    "       Some older .kevo files write data atoms to the .kevo meta data\n",
    "       you can access this stream by using the ID -1\n",
    "   [-metaID N]\n",
    "       Meta ID we wish to change (IDs start at 0)\n",
    "       If the metaID number is not found an error will occur\n",
    "   [-metaValue N]\n",
    "       New value to be written to the metaID (currently only type 'i' is supported)\n",
};

struct ModifyOptions {
    int32_t streamID = -2;
    int32_t metaID = -1;
    int32_t metaValue = -1;
    bool valueGiven = false;
    std::string path;
    // The first path that differs from `path`, refused once the walk is done.
    const char* otherPath = nullptr;
};

// One numeric option: its name, the values it accepts, and where it goes.
struct OptionSpec {
    const char* name;
    int64_t min;
    int64_t max;
    const char* infoFormat;
    int32_t ModifyOptions::*field;
};

// A number is taken only when the whole text is one, and never wrapped:
// "abc", "" or "0x10" would otherwise become an edit the user never asked
// for.
const OptionSpec kOptions[] = {
    {"-streamID", INT32_MIN, INT32_MAX, "# INFO: Stream ID to be modified: %d\n",
     &ModifyOptions::streamID},
    {"-metaID", INT32_MIN, INT32_MAX, "# INFO: Meta ID to be modified:   %d\n",
     &ModifyOptions::metaID},
    {"-metaValue", KEVO_VALUE_MIN, KEVO_VALUE_MAX, "# INFO: Meta to be modified to:   %d\n",
     &ModifyOptions::metaValue},
};

enum class WalkResult { Ready, Usage, Unrecognised, Refused };

void printUsage()
{
    for (const char* line : kUsage) {
        std::fputs(line, stderr);
    }
}

const OptionSpec* findOption(const char* argument)
{
    for (const OptionSpec& option : kOptions) {
        if (std::strcmp(argument, option.name) == 0) {
            return &option;
        }
    }
    return nullptr;
}

WalkResult walkArguments(int argc, char** argv, ModifyOptions* options)
{
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument[0] != '-') {
            // The same name twice is still one file.
            if (options->path.empty()) {
                options->path = argument;
            } else if (!options->otherPath && options->path != argument) {
                options->otherPath = argument;
            }
            continue;
        }
        const OptionSpec* option = findOption(argument);
        if (!option) {
            std::fprintf(stderr, "# ERROR: Unrecognized command argument, %s\n", argument);
            std::fprintf(stderr, "# ERROR: Exiting\n");
            return WalkResult::Unrecognised;
        }
        if (i + 1 >= argc) {
            return WalkResult::Usage;
        }
        const char* text = argv[++i];
        int64_t value = 0;
        switch (kevo_parseWholeNumber(text, option->min, option->max, &value)) {
        case kevo_numberForm::Whole:
            break;
        case kevo_numberForm::NotWhole:
            std::fprintf(stderr, "# ERROR: value is not a whole decimal number for %s, %s\n",
                         option->name, text);
            return WalkResult::Refused;
        case kevo_numberForm::OutOfRange:
            std::fprintf(stderr, "# ERROR: value does not fit in 32 bits for %s, %s\n",
                         option->name, text);
            return WalkResult::Refused;
        }
        const int32_t stored = static_cast<int32_t>(static_cast<uint32_t>(value));
        options->*(option->field) = stored;
        if (option->field == &ModifyOptions::metaValue) {
            options->valueGiven = true;
        }
        std::fprintf(stderr, option->infoFormat, stored);
    }
    return WalkResult::Ready;
}

bool complete(const ModifyOptions& options)
{
    return options.streamID != -2 && options.metaID != -1 && options.valueGiven &&
           !options.path.empty();
}

// Finds the atom to edit in the header as read, or prints why it cannot be
// edited and returns null.
kevo_atom* chooseAtom(kevo_file& record, const ModifyOptions& options)
{
    const int32_t streamID = options.streamID;
    if (streamID != kFileLevel && (streamID < 0 || streamID >= record.streamCount)) {
        std::fprintf(stderr,
                     "# ERROR: StreamID not found inside KEVO header, requested %d, max streamID "
                     "%d\n",
                     streamID, record.streamCount);
        return nullptr;
    }
    const bool fileLevel = streamID == kFileLevel;
    const int32_t count = fileLevel ? record.metaCount : record.streams[streamID].metaCount;
    kevo_atom* atoms = fileLevel ? record.metas : record.streams[streamID].metas;
    if (options.metaID < 0 || options.metaID >= count) {
        std::fprintf(stderr,
                     "# ERROR: metaID not found inside KEVO header, requested %d, max metaID %d "
                     "for streamID %d\n",
                     options.metaID, count, streamID);
        return nullptr;
    }
    kevo_atom& atom = atoms[options.metaID];
    if (atom.type != 'i') {
        std::fprintf(stderr, "# ERROR: metaID type is not 'i', modification not supported\n");
        std::fprintf(stderr, "# ERROR: streamID %d, metaID %d, is of type %c\n", streamID,
                     options.metaID, static_cast<char>(atom.type));
        return nullptr;
    }
    if (atom.length < 4) {
        std::fprintf(stderr, "# ERROR: streamID %d, metaID %d, has a %d byte payload, type 'i' "
                             "needs 4\n",
                     streamID, options.metaID, atom.length);
        return nullptr;
    }
    return &atom;
}

// Writes the edit over the header it was read from, through the description
// that was read and locked: the bytes a rewrite of the whole header would
// change, synced before they count as done, since a header that only
// reached the page cache must not be reported as saved.
int rewriteHeader(const kevo_file& record, const ModifyOptions& options,
                  const kevo_heldFile& target)
{
    const char* path = options.path.c_str();
    // A file that could be opened for reading only fails here, with the
    // lines of an open for update that fails.
    if (!target.writable()) {
        std::fprintf(stderr, "ERROR: can't open file %s\n", path);
        std::fprintf(stderr, "# kevo_packetReader: ERROR, unable to open kevo file: %s\n", path);
        return kExitFailure;
    }
    const kevo_atomPlace edited{options.streamID, options.metaID};
    std::vector<kevo_headerRange> ranges;
    if (!kevo_listHeaderChanges(&record, &edited, 1, KEVO_CHANGE_AS_REWRITE, &ranges)) {
        std::fprintf(stderr, "# ERROR: unable to write the kevo header to %s: %s\n", path,
                     std::strerror(errno));
        return kExitFailure;
    }
    kevo_writeOutcome outcome;
    if (target.writeRanges(ranges, &outcome)) {
        return kExitSuccess;
    }
    switch (outcome.step) {
    case KEVO_WRITE_FAILED:
    case KEVO_SYNC_FAILED:
        std::fprintf(stderr, "# ERROR: unable to write the kevo header to %s: %s\n", path,
                     std::strerror(outcome.error));
        break;
    // Another program that saved its own file over the path meanwhile has
    // put the edit out of reach: that is no success.
    case KEVO_PATH_REPLACED:
        if (outcome.written) {
            std::fprintf(stderr,
                         "# ERROR: %s was replaced by another file during the edit; the edit "
                         "went to the file that was read, which is no longer at %s\n",
                         path, path);
            break;
        }
        [[fallthrough]];
    default:
        std::fprintf(stderr, "# ERROR: %s %s\n", path, kevo_describeWrite(outcome).c_str());
        break;
    }
    return kExitFailure;
}

int editHeader(kevo_packetReader& reader, const ModifyOptions& options,
               const kevo_heldFile& target)
{
    kevo_file& record = *reader.fileRecord;
    kevo_atom* atom = chooseAtom(record, options);
    if (!atom) {
        return kExitFailure;
    }
    kevo_putLE32(atom->data, static_cast<uint32_t>(options.metaValue));
    // Only one stream on the file at a time: the reading one goes first.
    kevo_close(&record);
    return rewriteHeader(record, options, target);
}

// Holds the file for the whole run; 0 after printing the refusal when the
// path cannot be rewritten in place. A file that cannot be opened at all is
// left to the reader, which reports it with its own lines.
int holdTarget(const char* path, kevo_heldFile* target)
{
    kevo_lockWait wait;
    wait.announce = [path] {
        std::fprintf(stderr, "# INFO: waiting for another process to finish with %s\n", path);
        std::fflush(stderr);
    };
    const kevo_holdResult held = target->hold(path, KEVO_HOLD_WRITE_IF_ALLOWED, wait);
    if (held == KEVO_HOLD_NOT_IN_PLACE) {
        std::fprintf(stderr, "# ERROR: cannot modify %s in place, it is not a regular file\n",
                     path);
        return 0;
    }
    if (held == KEVO_HOLD_IS_OUTPUT) {
        std::fprintf(stderr, "# ERROR: cannot modify %s, it is this command's standard output\n",
                     path);
        return 0;
    }
    if (held == KEVO_HOLD_OPENED && target->lockError() != 0) {
        std::fprintf(
            stderr, "# WARNING: cannot lock %s (%s), editing without waiting for other processes\n",
            path, std::strerror(target->lockError()));
        std::fflush(stderr);
    }
    return 1;
}

// From the first write until the header as written has been printed, the
// signals that ask a command to stop wait: the file is never left half
// edited by them, nor the report of what was written cut off. One that came
// meanwhile takes effect when the report is out.
class DeferredSignals {
public:
    DeferredSignals()
    {
        sigset_t stopping;
        sigemptyset(&stopping);
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
            sigaddset(&stopping, signal);
        }
        sigprocmask(SIG_BLOCK, &stopping, &before_);
    }
    ~DeferredSignals()
    {
        std::fflush(stderr);
        sigprocmask(SIG_SETMASK, &before_, nullptr);
    }
    DeferredSignals(const DeferredSignals&) = delete;
    DeferredSignals& operator=(const DeferredSignals&) = delete;

private:
    sigset_t before_;
};

// Runs the edit on one open file, locked from before the first read until
// after the second dump, so that a concurrent edit of the same file can
// neither read a header this one is about to replace nor put an old value
// back, and nothing done to the path meanwhile can change which file is
// read, written and read again.
int modify(const ModifyOptions& options)
{
    const char* path = options.path.c_str();
    kevo_heldFile target;
    if (!holdTarget(path, &target)) {
        return kExitFailure;
    }
    kevo_packetReader* reader = new kevo_packetReader(path, target.openStream());
    kevo_sensorDecoder* decoder = new kevo_sensorDecoder(reader->fileRecord);

    std::fprintf(stderr, "# INFO: Header values before changes:\n");
    reader->printHeader(nullptr);
    // What was read is on record before anything is written.
    std::fflush(stderr);
    const DeferredSignals deferred;
    const int status = reader->valid ? editHeader(*reader, options, target) : kExitFailure;

    // The decoder borrows the reader's record and never touches it in its
    // teardown, so this order is safe.
    delete reader;
    delete decoder;
    if (status != kExitSuccess) {
        return status;
    }

    kevo_packetReader* after = new kevo_packetReader(path, target.openStream());
    after->printHeader(nullptr);
    delete after;
    return kExitSuccess;
}

// True when standard error is one of the files named: `kevo-modify ... f
// 2>> f` would append every line it prints to the recording, so nothing can
// be said at all.
bool printsIntoAFileNamed(int argc, char** argv)
{
    struct stat error;
    if (fstat(STDERR_FILENO, &error) != 0 || !S_ISREG(error.st_mode)) {
        return false;
    }
    for (int i = 1; i < argc; ++i) {
        struct stat named;
        if (findOption(argv[i])) {
            ++i;
        } else if (stat(argv[i], &named) == 0 && named.st_dev == error.st_dev &&
                   named.st_ino == error.st_ino) {
            return true;
        }
    }
    return false;
}

int runCommand(int argc, char** argv)
{
    if (printsIntoAFileNamed(argc, argv)) {
        return kExitFailure;
    }
    if (argc < kMinArgumentCount) {
        printUsage();
        return kExitFailure;
    }
    ModifyOptions options;
    switch (walkArguments(argc, argv, &options)) {
    case WalkResult::Ready:
        break;
    case WalkResult::Usage:
        printUsage();
        return kExitFailure;
    case WalkResult::Unrecognised:
        return kExitUnrecognised;
    case WalkResult::Refused:
        return kExitFailure;
    }
    if (!complete(options)) {
        printUsage();
        return kExitFailure;
    }
    // A glob that matched several files must not edit just one of them.
    if (options.otherPath) {
        std::fprintf(stderr, "# ERROR: more than one input file given: %s, %s\n",
                     options.path.c_str(), options.otherPath);
        return kExitFailure;
    }
    // Standard input can be read but not rewritten in place; refusing before
    // anything is read keeps the input intact for whoever reads it next.
    if (kevo_isStdinAlias(options.path.c_str())) {
        std::fprintf(stderr,
                     "# ERROR: cannot modify standard input in place, give the path of a file: "
                     "%s\n",
                     options.path.c_str());
        return kExitFailure;
    }
    // The request as understood is on record before anything is opened.
    std::fflush(stderr);
    return modify(options);
}

}  // namespace

int kevo_modifyMain(int argc, char** argv)
{
    const int status = runCommand(argc, argv);
    std::fflush(stderr);
    return status;
}
