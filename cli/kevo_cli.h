// The front door of kevo-info, kevo-edit and kevo-sample, written once: one
// table of options per command and the routine that reads it, with --help,
// --version, usage errors and the check that the product reached standard
// output; seconds on a command line; the one streaming JSON writer, with the
// one way a fourcc and a path are given in JSON and in a line; and whether a
// file named is where the output goes. A command is its table and its work.
//
// Internal to the tools; not installed.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------
// Options

// The codes a command gives its options start here, above every character a
// short option could be.
constexpr int KEVO_OPTION_FIRST = 256;
// Every command takes these two; a table may list --help again to give it a
// short name.
constexpr int KEVO_OPTION_HELP = 1000;
constexpr int KEVO_OPTION_VERSION = 1001;

// One option. Where it only turns something on or names something, its
// table entry says where that goes (`flag`, `text`) and the command needs
// no code for it; otherwise the command's handler is given its `code`.
struct kevo_option {
    const char* name;      // the long name, without "--"
    char letter;           // the short name, or 0
    const char* argument;  // the argument's name in --help, or null for none
    int code;
    const char* help;      // what it does, for --help; "\n" starts a line
    bool* flag = nullptr;          // set when the option is given
    const char** text = nullptr;   // set to its argument
    double* seconds = nullptr;     // set to its argument, read by kevo_parseSeconds
};

// A command as --help shows it: `usage` before the list of its options,
// `more` after it. The options' descriptions start at `helpColumn`.
struct kevo_command {
    const char* name;  // as messages name it: "kevo-edit"
    const char* usage;
    std::vector<kevo_option> options;
    const char* more;
    size_t helpColumn;
};

// What a command makes of one of its options: "" to take it, else the
// reason for a usage error.
using kevo_optionHandler = std::function<std::string(int code, const char* argument)>;

// Reads the command line against the command's table, from a fresh start
// each time, options anywhere before "--". Hands each option to `take` in
// order. Returns -1 with the operands in *operands when the command is to
// run; otherwise its exit status, what was asked for having been printed: 0
// after --help or --version (1 when standard output could not take them),
// 2 after a usage error.
int kevo_readCommandLine(const kevo_command& command, int argc, char** argv,
                         const kevo_optionHandler& take, std::vector<const char*>* operands);

// Prints "NAME: MESSAGE" and "Try 'NAME --help' for more information." on
// standard error, and returns 2, the exit status of a usage error.
int kevo_usageError(const char* name, const std::string& message);

// Flushes standard output and returns `status`; when the product did not
// all arrive (a full disk, a closed pipe), says so on standard error and
// returns 1.
int kevo_finishOutput(const char* name, int status);

// Reads seconds: digits with an optional fraction, no sign, exponent or
// "inf". Returns false, with *seconds as it was, for anything else.
bool kevo_parseSeconds(const char* text, double* seconds);

// ---------------------------------------------------------------------------
// Choosing files

constexpr int KEVO_OPTION_RECURSIVE = 1002;
constexpr int KEVO_OPTION_FILES_FROM = 1003;
constexpr int KEVO_OPTION_NULL = 1004;
constexpr int KEVO_OPTION_QUIET = 1005;
constexpr int KEVO_OPTION_WAIT = 1006;

struct kevo_fileSelection {
    bool recursive = false;
    const char* list = nullptr;  // --files-from, "-" for standard input
    bool nul = false;            // the list's paths end at NUL bytes, not newlines
};

// Adds to a command's table the options of a run over many files, as
// kevo-edit and kevo-info take them: --wait SECONDS, into `waitSeconds`;
// the three that choose files, into `selection` (-r and --recursive,
// --files-from FILE, -0 and --null); and -q, --quiet, into `quiet`.
void kevo_addRunOptions(std::vector<kevo_option>* table, double* waitSeconds,
                        kevo_fileSelection* selection, bool* quiet);

// The files of a run, one at a time, as they are found, so that memory
// stays flat in their number: the operands, in order, then the paths of
// --files-from. With --recursive a directory among them is walked: its
// regular files whose names end in ".kevo" (in any letter case) are taken,
// and its directories walked, in the byte order of their names; symbolic
// links met in a walk are not followed (those named are). A directory or a
// list that cannot be read is handed to `complain` with its errno, and the
// rest goes on.
class kevo_fileSource {
public:
    using Complaint = std::function<void(const std::string& path, int error)>;

    kevo_fileSource(const kevo_fileSelection& selection, std::vector<const char*> operands,
                    Complaint complain);
    ~kevo_fileSource();
    kevo_fileSource(const kevo_fileSource&) = delete;
    kevo_fileSource& operator=(const kevo_fileSource&) = delete;

    // The next file; false when there is none left.
    bool next(std::string* path);

    // How many files there are in all, when that is known before they are
    // done (no walk, no list); 0 otherwise.
    size_t total() const;

private:
    // One directory being walked: its entries' names, NUL-ended one after
    // the other, each led by a byte saying what it is, and their starts in
    // byte order of the names.
    struct Folder {
        std::string path;
        std::string names;
        std::vector<uint32_t> starts;
        size_t next = 0;
    };

    bool take(const std::string& path, std::string* file);
    void openFolder(const std::string& path);
    bool readListed(std::string* path);

    kevo_fileSelection selection_;
    std::vector<const char*> operands_;
    size_t nextOperand_ = 0;
    Complaint complain_;
    std::vector<Folder> folders_;
    FILE* list_ = nullptr;
    bool listOpened_ = false;
    char* line_ = nullptr;
    size_t lineCapacity_ = 0;
};

// ---------------------------------------------------------------------------
// Tables of values

// A table as kevo-info --get writes it and kevo-edit --from reads it: a
// header row, then a row per file. Commas, with RFC 4180 quoting where a
// cell needs it; or tabs, with a cell's backslash, tab, newline and
// carriage return written \\, \t, \n and \r, so that a row is one line.
enum class kevo_tableFormat { Tabs, Commas };

// Writes one row of cells and ends its line.
void kevo_writeTableRow(FILE* out, kevo_tableFormat format, const std::vector<std::string>& cells);

struct kevo_tableRow {
    size_t line;  // where it starts, the header's being 1
    std::vector<std::string> cells;
};

// Reads a whole table, tabs where its first line holds one, commas
// otherwise; a cell quoted or escaped comes back as it was written.
// Returns "" or why not, naming the line ("line 3: ...").
std::string kevo_readTable(FILE* in, std::vector<kevo_tableRow>* rows);

// ---------------------------------------------------------------------------
// What a run says beside its product

// Standard error for a run over many files: complaints, one line each; on
// a terminal, once the run has lasted a second, a progress line rewritten
// in place ("kevo-edit: 1200 of 10000 files, 850 files/s") and cleared
// before anything else is said; at the end a summary line. --quiet leaves
// the progress and the summary out. Safe to call from any thread.
class kevo_runStatus {
public:
    kevo_runStatus(const char* name, bool quiet);

    // Prints "NAME: TEXT" and a newline.
    void say(const std::string& text);
    // Counts one file done, of `total` (0 when not known), and redraws the
    // progress line when it is time.
    void fileDone(size_t total);
    // Clears the progress line and, unless quiet, prints "NAME: SUMMARY".
    void summary(const std::string& text);

private:
    void clearProgress();

    const char* name_;
    bool quiet_;
    bool terminal_;
    std::mutex mutex_;
    size_t done_ = 0;
    size_t shownWidth_ = 0;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDrawn_;
};

// ---------------------------------------------------------------------------
// Paths

// The path as a line of output shows it: as it is when every character is
// printable UTF-8 other than a single quote; otherwise quoted as a POSIX
// shell reads it back ('...' for the printable runs, $'\n', $'\xff', $'\''
// for the rest), so that a path holding a newline cannot pass for two
// lines, and the text still names the very bytes.
std::string kevo_linePath(std::string_view path);

// True when the bytes are well-formed UTF-8: no stray continuation byte, no
// overlong form, no surrogate, nothing above U+10FFFF.
bool kevo_isUtf8(std::string_view text);

// The bytes as lower-case hexadecimal, two digits each: how JSON gives a
// path that is not UTF-8 back byte for byte.
std::string kevo_hexBytes(std::string_view bytes);

// STDERR_FILENO when the file at `path` is this process's standard error,
// else STDOUT_FILENO when it is its standard output, else -1: whatever the
// command printed would be appended to it, as with `kevo-edit ... f >> f`.
int kevo_outputStreamAt(const char* path);

// True, after saying so on standard error where standard error is not one
// of them, when a file named is this process's standard output or error:
// the run would print into the recording it works on.
bool kevo_outputIsAFileNamed(const char* name, const std::vector<const char*>& files);

// ---------------------------------------------------------------------------
// JSON

// Writes one JSON document as it is made, laid out as nlohmann's dump(2)
// lays it out: two spaces per level, "[]" and "{}" for what is empty, a
// newline after the last bracket. The text is gathered in a block and
// handed to the stream whenever the block fills, at flush(), and when the
// document ends, so memory stays flat however long the document. Write
// errors are left on the stream's error flag for the caller.
class kevo_jsonWriter {
public:
    explicit kevo_jsonWriter(FILE* out);
    kevo_jsonWriter(const kevo_jsonWriter&) = delete;
    kevo_jsonWriter& operator=(const kevo_jsonWriter&) = delete;

    void beginArray();
    void beginObject();
    // Closes the innermost array or object.
    void end();
    // Starts a field of the open object, for its value to follow:
    // json.key("index").number(3).
    kevo_jsonWriter& key(std::string_view name);

    // Bytes that are not UTF-8 become U+FFFD.
    void string(std::string_view text);
    void number(int64_t value);
    void unsignedNumber(uint64_t value);
    void boolean(bool value);
    void null();
    // A fourcc's four bytes, or a type letter's one, each as the code point
    // of the same number, so that printable ASCII stays as it is and the
    // text is always UTF-8.
    void fourcc(uint32_t fourcc);
    void typeLetter(uint32_t type);
    // The bytes as a string of lower-case hexadecimal digits.
    void hex(const uint8_t* bytes, size_t size);
    // The fields "path", the path as UTF-8, and, where that lost bytes that
    // are not UTF-8, "pathBytes", all of them in hexadecimal.
    void pathFields(const char* path);

    // Hands what is written so far to the stream.
    void flush();

private:
    void beforeValue();
    void codePoints(uint32_t bytes, int count);

    struct Level {
        bool object;
        bool empty;
    };
    FILE* out_;
    std::string block_;
    std::vector<Level> levels_;
    bool afterKey_ = false;
};
