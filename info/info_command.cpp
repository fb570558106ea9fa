#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "cli/kevo_cli.h"
#include "edit/kevo_edit.h"
#include "info/kevo_info.h"
#include "reader/kevo_reader.h"

namespace {

constexpr int kExitRead = 0;
constexpr int kExitUnread = 1;

const char* const kName = "kevo-info";

enum Option : int { kJson = KEVO_OPTION_FIRST, kLocate, kGet, kCsv, kSelectors };

enum class Request { Dump, Json, Locate, Selectors, Get };

struct InfoOptions {
    bool json = false;
    bool csv = false;
    bool selectors = false;
    std::vector<const char*> gets;
    std::vector<kevo_selector> getSelectors;
    bool quiet = false;
    kevo_fileSelection selection;
    const char* locate = nullptr;
    kevo_selector selector{};
    kevo_lockWait wait;
    std::vector<const char*> files;
};

// kevo-info's options, into `options`.
kevo_command commandFor(InfoOptions* options)
{
    std::vector<kevo_option> table = {
        {"json", 0, nullptr, kJson, "print the headers as JSON", &options->json},
        {"locate", 0, "[STREAM/]ATOM", kLocate,
         "print \"-streamID S -metaID M\" for the atom ATOM\n"
         "of the stream STREAM, or of the file-level atoms\n"
         "when STREAM is left out; each is a fourcc, padded\n"
         "with spaces to four characters, or #N, counted\n"
         "from 0; a miss names what the file has there",
         nullptr, &options->locate},
        {"get", 0, "[STREAM/]ATOM", kGet,
         "print a table: a row per file, a column per --get\n"
         "(may be repeated), tab-separated, after a header"},
        {"csv", 0, nullptr, kCsv, "print the --get table as CSV (RFC 4180)", &options->csv},
        {"selectors", 0, nullptr, kSelectors,
         "print the selectors that name the files' streams\n"
         "(STREAM/) and atoms (STREAM/ATOM, ATOM), once each",
         &options->selectors},
    };
    kevo_addRunOptions(&table, &options->wait.seconds, &options->selection, &options->quiet);
    return {
        kName,
        "Usage: kevo-info [--json] FILE...\n"
        "  or:  kevo-info --locate [STREAM/]ATOM FILE\n"
        "  or:  kevo-info --get [STREAM/]ATOM [--get ...] [--csv | --json] FILE...\n"
        "Print the header of each KEVO FILE without changing it: the dump that\n"
        "kevo-modify prints, or one JSON array with an object per file.\n"
        "\n",
        table,
        "\n"
        "A FILE of - is standard input, which can be given once.\n"
        "Exit status: 0 if every file was read, 1 if a file could not be read or the\n"
        "atom is missing or ambiguous, 2 on a usage error.\n"
        "\n"
        "Example: kevo-modify $(kevo-info --locate pav2/mic f.kevo) -metaValue 1000 f.kevo\n",
        30,
    };
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

// Every --get a selector, none written like another: a column each.
std::string checkGets(InfoOptions* options)
{
    for (const char* text : options->gets) {
        kevo_selector selector{};
        if (!kevo_parseSelector(text, &selector)) {
            return std::string("not [STREAM/]ATOM, each a fourcc of one to four characters or "
                               "#N: '") +
                   text + "'";
        }
        for (size_t j = 0; j < options->getSelectors.size(); ++j) {
            if (kevo_sameSelector(options->getSelectors[j], selector)) {
                return std::string("'") + options->gets[j] + "' and '" + text +
                       "' get the same atom";
            }
        }
        options->getSelectors.push_back(selector);
    }
    return "";
}

// What was asked for, or a usage error's reason.
std::string checkCombination(InfoOptions* options, Request* request)
{
    if (options->files.empty() && !options->selection.list) {
        return "no file given";
    }
    std::vector<const char*> readers = options->files;
    if (options->selection.list) {
        readers.insert(readers.begin(), options->selection.list);
    }
    const char* first = nullptr;
    if (const char* second = secondStdin(readers, &first)) {
        return std::string("standard input given twice ('") + first + "' and '" + second + "')";
    }
    *request = options->json ? Request::Json : Request::Dump;
    if (options->csv && (options->gets.empty() || options->json)) {
        return "--csv goes with --get, and not with --json";
    }
    if (!options->gets.empty()) {
        if (options->locate || options->selectors) {
            return "--get goes with neither --locate nor --selectors";
        }
        *request = Request::Get;
        return checkGets(options);
    }
    if (options->selectors) {
        *request = Request::Selectors;
        return options->json || options->locate ? "--selectors goes with neither --json nor --locate"
                                                : "";
    }
    if (!options->locate) {
        return "";
    }
    if (options->json) {
        return "--locate and --json cannot be used together";
    }
    if (options->files.size() != 1 || options->selection.list || options->selection.recursive) {
        return "--locate takes exactly one file";
    }
    if (!kevo_parseSelector(options->locate, &options->selector)) {
        return std::string("not [STREAM/]ATOM, each a fourcc of one to four characters or "
                           "#N: '") +
               options->locate + "'";
    }
    *request = Request::Locate;
    return "";
}

// The options that take more than a flag or a name.
std::string takeOption(InfoOptions* options, int code, const char* argument)
{
    if (code == kGet) {
        options->gets.push_back(argument);
    }
    return "";
}

// Why a file could not be held: the system's word for what it is.
std::string holdError(kevo_holdResult held, int error)
{
    switch (held) {
    case KEVO_HOLD_LOCKED_OUT:
        return "locked by another process";
    case KEVO_HOLD_IS_OUTPUT:
        return "input file is output file";
    default:
        return std::strerror(error);
    }
}

// Reads one file's header and hands it to `use`; false, after saying why,
// when it cannot.
template <typename Use>
bool readHeader(const char* path, const kevo_lockWait& wait, Use& use, kevo_runStatus* status)
{
    const std::string shown = kevo_linePath(path);
    kevo_heldFile held;
    const bool fromStdin = kevo_isStdinAlias(path);
    const kevo_holdResult result =
        fromStdin ? KEVO_HOLD_OPENED : held.hold(path, KEVO_HOLD_SHOW, wait);
    const int error = errno;
    if (result == KEVO_HOLD_LOCKED_OUT || result == KEVO_HOLD_IS_OUTPUT) {
        status->say(shown + ": " + holdError(result, error));
        return false;
    }
    const bool directory = held.directory();
    FILE* stream = result == KEVO_HOLD_OPENED && !fromStdin ? held.releaseToStream() : nullptr;
    kevo_packetReader* reader =
        fromStdin ? new kevo_packetReader(path) : new kevo_packetReader(path, stream);
    const bool valid = reader->valid;
    if (valid) {
        use(*reader);
    } else {
        status->say(shown + ": " +
                    (result != KEVO_HOLD_OPENED ? std::strerror(error)
                     : directory                ? std::strerror(EISDIR)
                                                : "not a valid KEVO file"));
    }
    delete reader;
    return valid;
}

// Opens each file once, through the held-file routine, under the shared
// lock an edit's dry run takes, so that a header is never read half edited,
// and hands every valid header to `use`. A file the reader refuses gets the
// reader's own lines, then one line that names it, since the reader's lines
// need not. Standard input is read as it comes. Over more than one file,
// ends with a summary.
// `use` returns false where the file lacks what was asked for, which makes
// the exit status 1; `unread(path)` is told of each file not read.
template <typename Use, typename Unread>
int forEachHeader(const InfoOptions& options, kevo_runStatus& status, Use use, Unread unread)
{
    bool allFound = true;
    size_t read = 0;
    size_t failed = 0;
    kevo_fileSource files(options.selection, options.files,
                          [&](const std::string& path, int error) {
                              status.say(kevo_linePath(path) + ": " + std::strerror(error));
                              ++failed;
                          });
    std::string current;
    kevo_lockWait wait = options.wait;
    wait.announce = [&] {
        status.say(current + ": waiting for another process to finish with it");
    };
    for (std::string path; files.next(&path);) {
        // The headers already printed go out before any complaint about this
        // file, so the two streams interleave in order on one terminal.
        std::fflush(stdout);
        current = kevo_linePath(path);
        bool found = true;
        const auto take = [&](const kevo_packetReader& reader) { found = use(reader); };
        if (readHeader(path.c_str(), wait, take, &status)) {
            ++read;
            allFound = allFound && found;
        } else {
            ++failed;
            unread(path);
        }
        status.fileDone(files.total());
    }
    std::fflush(stdout);
    if (read + failed > 1 || files.total() > 1) {
        status.summary(std::to_string(read) + " read, " + std::to_string(failed) + " failed");
    }
    return failed > 0 || !allFound ? kExitUnread : kExitRead;
}

template <typename Use>
int forEachHeader(const InfoOptions& options, kevo_runStatus& status, Use use)
{
    return forEachHeader(
        options, status,
        [&](const kevo_packetReader& reader) {
            use(reader);
            return true;
        },
        [](const std::string&) {});
}

int printDumps(const InfoOptions& options, kevo_runStatus& status)
{
    return forEachHeader(options, status, [](const kevo_packetReader& reader) {
        reader.printHeader(nullptr, stdout);
    });
}

int printJson(const InfoOptions& options, kevo_runStatus& status)
{
    kevo_jsonListing listing(stdout);
    const int exitStatus = forEachHeader(options, status, [&](const kevo_packetReader& reader) {
        listing.add(*reader.fileRecord);
    });
    listing.finish();
    return exitStatus;
}

int locate(const InfoOptions& options, kevo_runStatus* status)
{
    return forEachHeader(
        options, *status,
        [&](const kevo_packetReader& reader) {
            const kevo_file& record = *reader.fileRecord;
            const std::vector<kevo_atomPlace> found = kevo_findAtoms(record, options.selector);
            if (found.size() == 1) {
                std::printf("-streamID %d -metaID %d\n", found[0].streamID, found[0].metaID);
                return true;
            }
            status->say(kevo_linePath(options.files[0]) + ": " +
                        kevo_describeMatches(record, options.selector, found));
            return false;
        },
        [](const std::string&) {});
}

// An atom's value as a table gives it: 'i' and 'c' as the numbers the dump
// shows, 's' as its text, any other as hexadecimal bytes.
struct Cell {
    enum class Kind { Missing, Number, Text } kind = Kind::Missing;
    int64_t number = 0;
    std::string text;
};

Cell cellOf(const kevo_atom& atom)
{
    Cell cell;
    const size_t length = atom.data && atom.length > 0 ? static_cast<size_t>(atom.length) : 0;
    if (atom.type == 'i' && length >= 4) {
        cell.kind = Cell::Kind::Number;
        cell.number = kevo_getLE32Signed(atom.data);
    } else if (atom.type == 'c' && length >= 1) {
        cell.kind = Cell::Kind::Number;
        cell.number = atom.data[0];
    } else {
        cell.kind = Cell::Kind::Text;
        const std::string bytes(reinterpret_cast<const char*>(atom.data), length);
        cell.text = atom.type == 's' ? bytes : kevo_hexBytes(bytes);
    }
    return cell;
}

void writeRow(const InfoOptions& options, kevo_jsonWriter& json, const std::string& path,
              const std::vector<Cell>& cells)
{
    if (options.json) {
        json.beginObject();
        json.pathFields(path.c_str());
        json.key("values").beginObject();
        for (size_t i = 0; i < cells.size(); ++i) {
            json.key(options.gets[i]);
            if (cells[i].kind == Cell::Kind::Number) {
                json.number(cells[i].number);
            } else if (cells[i].kind == Cell::Kind::Text) {
                json.string(cells[i].text);
            } else {
                json.null();
            }
        }
        json.end();
        json.end();
        json.flush();
        return;
    }
    std::vector<std::string> row = {path};
    for (const Cell& cell : cells) {
        row.push_back(cell.kind == Cell::Kind::Number ? std::to_string(cell.number) : cell.text);
    }
    kevo_writeTableRow(stdout, options.csv ? kevo_tableFormat::Commas : kevo_tableFormat::Tabs,
                       row);
}

// A table of values: a header row, then a row per file, empty cells (null
// in JSON) where a file could not be read or lacks the atom.
int printTable(const InfoOptions& options, kevo_runStatus& status)
{
    kevo_jsonWriter json(stdout);
    if (options.json) {
        json.beginArray();
    } else {
        std::vector<std::string> header = {"path"};
        header.insert(header.end(), options.gets.begin(), options.gets.end());
        kevo_writeTableRow(stdout, options.csv ? kevo_tableFormat::Commas : kevo_tableFormat::Tabs,
                           header);
    }
    std::string current;
    const int exitStatus = forEachHeader(
        options, status,
        [&](const kevo_packetReader& reader) {
            const kevo_file& record = *reader.fileRecord;
            bool all = true;
            std::vector<Cell> cells;
            for (const kevo_selector& selector : options.getSelectors) {
                const std::vector<kevo_atomPlace> found = kevo_findAtoms(record, selector);
                cells.emplace_back();
                if (found.size() == 1) {
                    cells.back() = cellOf(*kevo_atomAt(record, found[0]));
                    continue;
                }
                all = false;
                status.say(kevo_linePath(record.path) + ": " +
                           kevo_describeMatches(record, selector, found));
            }
            writeRow(options, json, record.path, cells);
            return all;
        },
        [&](const std::string& path) {
            writeRow(options, json, path, std::vector<Cell>(options.gets.size()));
        });
    if (options.json) {
        json.end();
    }
    return exitStatus;
}

// A part of a selector as a user types it: the fourcc without its padding,
// or #N where the fourcc could not be typed as it is (a byte that is not
// printable, a '/', a '=', a blank inside it, or nothing but blanks).
std::string selectorPart(uint32_t fourcc, int32_t index)
{
    std::string name;
    for (int shift = 0; shift < 32; shift += 8) {
        name += static_cast<char>((fourcc >> shift) & 0xFF);
    }
    name.erase(name.find_last_not_of(' ') + 1);
    const bool typeable =
        !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
            return c > ' ' && c < 0x7F && c != '/' && c != '=';
        });
    return typeable ? name : "#" + std::to_string(index);
}

// Every selector that names something in the files, streams first, each
// once, in the order first met: what a shell's completion offers.
int printSelectors(const InfoOptions& options, kevo_runStatus& status)
{
    std::vector<std::string> streams;
    std::vector<std::string> atoms;
    std::set<std::string> seen;
    const auto add = [&seen](std::vector<std::string>& list, const std::string& selector) {
        if (seen.insert(selector).second) {
            list.push_back(selector);
        }
    };
    const int exitStatus = forEachHeader(options, status, [&](const kevo_packetReader& reader) {
        const kevo_file& record = *reader.fileRecord;
        for (int32_t j = 0; record.metas && j < record.metaCount; ++j) {
            add(atoms, selectorPart(record.metas[j].id, j));
        }
        for (int32_t i = 0; record.streams && i < record.streamCount; ++i) {
            const kevo_stream& stream = record.streams[i];
            const std::string prefix = selectorPart(stream.id, i) + "/";
            add(streams, prefix);
            for (int32_t j = 0; stream.metas && j < stream.metaCount; ++j) {
                add(atoms, prefix + selectorPart(stream.metas[j].id, j));
            }
        }
    });
    for (const std::vector<std::string>* list : {&streams, &atoms}) {
        for (const std::string& selector : *list) {
            std::printf("%s\n", selector.c_str());
        }
    }
    return exitStatus;
}

}  // namespace

int kevo_infoMain(int argc, char** argv)
{
    InfoOptions options;
    const int stop = kevo_readCommandLine(
        commandFor(&options), argc, argv,
        [&options](int code, const char* argument) {
            return takeOption(&options, code, argument);
        },
        &options.files);
    if (stop >= 0) {
        return stop;
    }
    Request request = Request::Dump;
    const std::string refused = checkCombination(&options, &request);
    if (!refused.empty()) {
        return kevo_usageError(kName, refused);
    }
    if (kevo_outputIsAFileNamed(kName, options.files)) {
        return kExitUnread;
    }
    kevo_runStatus status(kName, options.quiet);
    switch (request) {
    case Request::Locate:
        return kevo_finishOutput(kName, locate(options, &status));
    case Request::Selectors:
        return kevo_finishOutput(kName, printSelectors(options, status));
    case Request::Get:
        return kevo_finishOutput(kName, printTable(options, status));
    case Request::Json:
        return kevo_finishOutput(kName, printJson(options, status));
    case Request::Dump:
        break;
    }
    return kevo_finishOutput(kName, printDumps(options, status));
}
