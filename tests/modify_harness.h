// Whole-program test harness for kevo-modify: runs the built binary and
// builds, line by line from the command's formats, the standard error text a
// run must produce. The expected dump is derived from the same hand-built
// header description (tests/support/kevo_bytes.h) that the test writes to
// disk, never from the library that the binary uses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/kevo_bytes.h"

namespace kevo_modify_test {

using kevo_test::Atom;
using kevo_test::Bytes;
using kevo_test::Header;
using kevo_test::RunResult;
using kevo_test::Stream;

// Exit statuses as a shell sees them.
constexpr int kSuccess = 1;
constexpr int kFailed = 255;         // -1
constexpr int kUnknownOption = 253;  // -3

// Selects the file-level atoms instead of a stream's.
constexpr int kFileLevel = -1;

// A stream descriptor with its fields in file order.
Stream descriptor(const std::string& id, uint32_t streamParam, uint16_t packetSize,
                  uint16_t symbolID, std::vector<Atom> atoms);

// The three "# INFO:" lines echoed as options are met.
std::string streamInfo(int32_t streamID);
std::string metaInfo(int32_t metaID);
std::string valueInfo(int32_t metaValue);
std::string optionInfo(int32_t streamID, int32_t metaID, int32_t metaValue);

std::string usageText();
std::string bannerLine();

// The two lines of a path that cannot be opened.
std::string openFailedLines(const std::string& path);
std::string invalidHeaderLine();

// What follows the reader's own lines when the reader is not valid: the
// decoder's NULL-record line, the banner and the dump's bad-file line.
std::string badReaderTail();

std::string streamLimitWarnings(int32_t streamCount);
std::string readerLimitWarning(int32_t streamCount);

// The full header dump of a reader opened on `path` with the default prefix.
std::string dump(const Header& header, const std::string& path);

// Stores `value` in the first four payload bytes of an atom; stream
// kFileLevel names the file-level atoms.
Header withInt(Header header, int stream, int meta, int32_t value);

// The header as the command writes it back: packet sizes forced for the
// kinds that fix them, a negative stream count written as 0.
Header asWritten(Header header);

// Arguments of a complete edit request, in the usual order.
std::vector<std::string> editArgs(int32_t streamID, int32_t metaID, int32_t metaValue,
                                  const std::string& path);

RunResult runModify(const std::vector<std::string>& args);

// Everything a successful run prints: the option lines, the banner, the
// dump before and the dump after.
std::string successText(int32_t streamID, int32_t metaID, int32_t metaValue,
                        const Header& before, const std::string& path);

// Checks the exit status, the whole of standard error, and that nothing went
// to standard output.
void expectRun(const RunResult& run, int status, const std::string& standardError);

}  // namespace kevo_modify_test
