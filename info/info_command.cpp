#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include "info/kevo_info.h"
#include "reader/kevo_reader.h"

namespace {

constexpr int kExitRead = 0;
constexpr int kExitUnread = 1;
constexpr int kExitUsage = 2;

const char* const kName = "kevo-info";

// Codes of the long options, above every short option character, so that a
// code tells a long option from a short one.
enum LongOption : int { kJson = 256, kLocate, kHelp, kVersion };

const option kLongOptions[] = {
    {"json", no_argument, nullptr, kJson},
    {"locate", required_argument, nullptr, kLocate},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

enum class Request { Dump, Json, Locate, Help, Version, Usage };

struct InfoOptions {
    bool json = false;
    const char* locate = nullptr;
    kevo_selector selector{};
    std::vector<const char*> files;
};

void printUsage()
{
    std::fputs(
        "Usage: kevo-info [--json] FILE...\n"
        "  or:  kevo-info --locate [STREAM/]ATOM FILE\n"
        "Print the header of each KEVO FILE without changing it: the dump that\n"
        "kevo-modify prints, or one JSON array with an object per file.\n"
        "\n"
        "      --json                  print the headers as JSON\n"
        "      --locate [STREAM/]ATOM  print \"-streamID S -metaID M\" for the atom ATOM\n"
        "                              of the stream STREAM, or of the file-level atoms\n"
        "                              when STREAM is left out; each is a fourcc, padded\n"
        "                              with spaces to four characters, or #N, counted\n"
        "                              from 0; a miss names what the file has there\n"
        "      --help                  print this help and exit\n"
        "      --version               print the version and exit\n"
        "\n"
        "A FILE of - is standard input, which can be given once.\n"
        "Exit status: 0 if every file was read, 1 if a file could not be read or the\n"
        "atom is missing or ambiguous, 2 on a usage error.\n"
        "\n"
        "Example: kevo-modify $(kevo-info --locate pav2/mic f.kevo) -metaValue 1000 f.kevo\n",
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
    if (optopt > 0 && optopt < kJson) {
        return usageError(std::string("invalid option -- '") + static_cast<char>(optopt) + "'");
    }
    return usageError(std::string("invalid option '") + argv[optind - 1] + "'");
}

// Standard input holds one file; a second name for it would read as empty.
const char* secondStdin(const std::vector<const char*>& files, const char** first)
{
    *first = nullptr;
    for (const char* path : files) {
        if (!kevo_isStdinAlias(path)) {
            continue;
        }
        if (*first) {
            return path;
        }
        *first = path;
    }
    return nullptr;
}

Request checkCombination(InfoOptions* options)
{
    if (options->files.empty()) {
        return usageError("no file given");
    }
    const char* first = nullptr;
    if (const char* second = secondStdin(options->files, &first)) {
        return usageError(std::string("standard input given twice ('") + first + "' and '" +
                          second + "')");
    }
    if (!options->locate) {
        return options->json ? Request::Json : Request::Dump;
    }
    if (options->json) {
        return usageError("--locate and --json cannot be used together");
    }
    if (options->files.size() != 1) {
        return usageError("--locate takes exactly one file");
    }
    if (!kevo_parseSelector(options->locate, &options->selector)) {
        return usageError(std::string("not [STREAM/]ATOM, each a fourcc of one to four "
                                      "characters or #N: '") +
                          options->locate + "'");
    }
    return Request::Locate;
}

// Reads the options; a usage error has been reported when this returns Usage.
Request parseOptions(int argc, char** argv, InfoOptions* options)
{
    opterr = 0;
    for (;;) {
        const int code = getopt_long(argc, argv, ":", kLongOptions, nullptr);
        switch (code) {
        case -1:
            options->files.assign(argv + optind, argv + argc);
            return checkCombination(options);
        case kJson:
            options->json = true;
            break;
        case kLocate:
            options->locate = optarg;
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

// Why the reader could not take the file: the system's word where the file
// cannot be reached or read, else that it holds no valid header. The file is
// looked at, not opened again, so a FIFO or a device is not touched twice.
// Standard input did open; the reader has closed it since.
std::string unreadReason(const char* path)
{
    const char* const kInvalid = "not a valid KEVO file";
    if (kevo_isStdinAlias(path)) {
        return kInvalid;
    }
    struct stat status;
    if (stat(path, &status) != 0 || faccessat(AT_FDCWD, path, R_OK, AT_EACCESS) != 0) {
        return std::strerror(errno);
    }
    // A directory opens for reading on Linux; only its read fails.
    return S_ISDIR(status.st_mode) ? std::strerror(EISDIR) : kInvalid;
}

// Reads each file through the packet reader and hands every valid header to
// `use`. A file the reader refuses gets the reader's own lines, then one
// line that names it, since the reader's lines need not.
template <typename Use>
int forEachHeader(const std::vector<const char*>& files, Use use)
{
    int status = kExitRead;
    for (const char* path : files) {
        // The headers already printed go out before any complaint about this
        // file, so the two streams interleave in order on one terminal.
        std::fflush(stdout);
        kevo_packetReader* reader = new kevo_packetReader(path);
        if (reader->valid) {
            use(*reader);
        } else {
            std::fprintf(stderr, "%s: %s: %s\n", kName, path, unreadReason(path).c_str());
            status = kExitUnread;
        }
        delete reader;
    }
    return status;
}

int printDumps(const std::vector<const char*>& files)
{
    return forEachHeader(files, [](const kevo_packetReader& reader) {
        reader.printHeader(nullptr, stdout);
    });
}

int printJson(const std::vector<const char*>& files)
{
    kevo_jsonListing listing(stdout);
    const int status = forEachHeader(files, [&](const kevo_packetReader& reader) {
        listing.add(*reader.fileRecord);
    });
    listing.finish();
    return status;
}

int printPlace(const kevo_file& record, const kevo_selector& selector, const char* path)
{
    const std::vector<kevo_atomPlace> found = kevo_findAtoms(record, selector);
    if (found.size() == 1) {
        std::printf("-streamID %d -metaID %d\n", found[0].streamID, found[0].metaID);
        return kExitRead;
    }
    std::fprintf(stderr, "%s: %s: %s\n", kName, path,
                 kevo_describeMatches(record, selector, found).c_str());
    return kExitUnread;
}

int locate(const InfoOptions& options)
{
    // Stays a failure when the file cannot be read and nothing is looked up.
    int status = kExitUnread;
    forEachHeader(options.files, [&](const kevo_packetReader& reader) {
        status = printPlace(*reader.fileRecord, options.selector, options.files[0]);
    });
    return status;
}

// A full disk or a closed pipe must not pass for a complete listing.
int finish(int status)
{
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) {
        return status;
    }
    std::fprintf(stderr, "%s: cannot write to standard output: %s\n", kName, std::strerror(errno));
    return kExitUnread;
}

}  // namespace

int kevo_infoMain(int argc, char** argv)
{
    InfoOptions options;
    switch (parseOptions(argc, argv, &options)) {
    case Request::Usage:
        return kExitUsage;
    case Request::Help:
        printUsage();
        return finish(kExitRead);
    case Request::Version:
        std::printf("%s %s\n", kName, KEVO_VERSION);
        return finish(kExitRead);
    case Request::Locate:
        return finish(locate(options));
    case Request::Json:
        return finish(printJson(options.files));
    case Request::Dump:
        return finish(printDumps(options.files));
    }
    return kExitUsage;
}
