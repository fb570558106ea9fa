// Whole-program tests of kevo-info: its dump against kevo-modify's first
// dump, its JSON parsed and held against headers built by hand, --locate and
// exit statuses.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/kevo_cli.h"
#include "tests/modify_harness.h"

namespace kevo_modify_test {
namespace {

using Json = nlohmann::ordered_json;
using namespace kevo_test;

constexpr int kRead = 0;
constexpr int kUnread = 1;
constexpr int kUsage = 2;

RunResult runInfo(const std::vector<std::string>& args, const std::string& input = "/dev/null")
{
    return runProgram(KEVO_INFO_PATH, args, input);
}

std::string usageError(const std::string& message)
{
    return "kevo-info: " + message + "\nTry 'kevo-info --help' for more information.\n";
}

class InfoTest : public ::testing::Test {
protected:
    std::string record(const std::string& name, const Header& header)
    {
        writeFile(dir_.path(name), concat(encode(header), packetBytes(64)));
        return dir_.path(name);
    }

    TempDir dir_;
};

// Fourccs with bytes outside printable ASCII, packet sizes the reader forces
// ('ltln' 12 held as 24, 'pav ' 0 as 74, 'ant8' already 5), payloads too
// short for their type, an opaque type above ASCII, a headerValue above the
// signed 64-bit range.
Header oddHeader()
{
    Header header;
    header.headerValue = 0x8000000000000001ull;
    header.metas = {intAtom("strt", -5), rawAtom(std::string("\0a\x7f\xff", 4), 'c', {})};
    header.streams = {
        descriptor("ltln", 0xFFFFFFFFu, 12, 0xFFFF,
                   {rawAtom("shrt", 'i', {1, 2, 3}), byteAtom("byte", 0xFF)}),
        descriptor("pav ", 7, 0, 2,
                   {rawAtom("flot", 'f', {0, 0, 128, 63}), rawAtom("typ\x01", 0xE9, {5})}),
        descriptor("ant8", 0, 5, 3, {}),
        descriptor(std::string("\x01" "b\x80 ", 4), 0, 9, 4, {}),
    };
    return header;
}

// Offsets: 20 bytes before the first atom, 9 per atom plus its payload, 4 for
// the stream count, 16 per stream descriptor.
const char* const kOddHeaderJson = R"json({
  "path": "", "headerBytes": 155, "version": 2, "headerValue": 9223372036854775809,
  "metas": [
    {"index": 0, "fourcc": "strt", "id": 1953657971, "type": "i", "length": 4, "offset": 29,
     "value": -5, "hex": "fbffffff"},
    {"index": 1, "fourcc": "\u0000a\u007f\u00ff", "id": 4286537984, "type": "c", "length": 0,
     "offset": 42, "hex": ""}],
  "streams": [
    {"index": 0, "fourcc": "ltln", "id": 1852601452, "kind": "LATLON", "symbolID": 65535,
     "streamParam": 4294967295, "packetSize": 24, "packetSizeInFile": 12, "metas": [
      {"index": 0, "fourcc": "shrt", "id": 1953654899, "type": "i", "length": 3, "offset": 71,
       "hex": "010203"},
      {"index": 1, "fourcc": "byte", "id": 1702132066, "type": "c", "length": 1, "offset": 83,
       "value": 255, "hex": "ff"}]},
    {"index": 1, "fourcc": "pav ", "id": 544629104, "kind": "PAV", "symbolID": 2,
     "streamParam": 7, "packetSize": 74, "packetSizeInFile": 0, "metas": [
      {"index": 0, "fourcc": "flot", "id": 1953459302, "type": "f", "length": 4, "offset": 109,
       "hex": "0000803f"},
      {"index": 1, "fourcc": "typ\u0001", "id": 24148340, "type": "\u00e9", "length": 1,
       "offset": 122, "hex": "05"}]},
    {"index": 2, "fourcc": "ant8", "id": 947154529, "kind": "ANNOT", "symbolID": 3,
     "streamParam": 0, "packetSize": 5, "metas": []},
    {"index": 3, "fourcc": "\u0001b\u0080 ", "id": 545284609, "kind": "UNKNOWN (RAW)",
     "symbolID": 4, "streamParam": 0, "packetSize": 9, "metas": []}]})json";

// Every byte value as a fourcc character and as a type letter, so that each
// of the JSON string escapes is met.
Header everyByte()
{
    Header header;
    for (int byte = 0; byte < 256; ++byte) {
        const char c = static_cast<char>(byte);
        const uint8_t b = static_cast<uint8_t>(byte);
        header.metas.push_back(rawAtom(std::string(4, c), b, {b, b, b, b}));
    }
    header.streams = {descriptor("\"\\\n\t", 0, 1, 1, {byteAtom("\b\f\r/", 'c')})};
    return header;
}

// Text atoms: plain ASCII, bytes that are no UTF-8 (a stray 0xFF, a
// sequence cut short at the end), a NUL before a two-byte character, none.
Header textAtoms()
{
    Header header;
    header.metas = {rawAtom("datm", 's', {'W', 'G', 'S', '8', '4'}),
                    rawAtom("bad ", 's', {'a', 0xFF, 'b', 0xC3}),
                    rawAtom("nul ", 's', {'x', 0, 0xC3, 0xA9}), rawAtom("emty", 's', {})};
    return header;
}

Header gpsExample()
{
    Header header;
    header.metas = {byteAtom("wxyz", 7)};
    header.streams = {descriptor("gps ", 0, 0, 1, {intAtom("abcd", 42)})};
    return header;
}

Header negativeCounts()
{
    Header header;
    header.declaredMetaCount = -1;
    header.declaredStreamCount = -1;
    return header;
}

TEST_F(InfoTest, TextIsKevoModifysFirstDumpOnStandardOutput)
{
    for (const Header& header : {gpsExample(), Header{}, oddHeader(), negativeCounts()}) {
        const std::string path = record("rec.kevo", header);
        const Bytes before = readFile(path);
        const RunResult info = runInfo({path});
        EXPECT_EQ(info.status, kRead);
        EXPECT_EQ(info.standardOutput, dump(header, path));

        // An atom number no header here has: kevo-modify dumps, then refuses.
        const std::string modify = runModify(editArgs(kFileLevel, 1000, 0, path)).standardError;
        const size_t start = modify.find(bannerLine()) + bannerLine().size();
        EXPECT_EQ(modify.substr(start, info.standardOutput.size() + 8),
                  info.standardOutput + "# ERROR:");
        EXPECT_EQ(readFile(path), before);
    }
}

TEST_F(InfoTest, JsonHoldsEveryFieldOfAHandBuiltHeader)
{
    struct Case {
        std::string name;  // as written, and as the JSON shows it
        std::string shownName;
        Header header;
        const char* json;
    };
    const Case cases[] = {
        {"odd.kevo", "odd.kevo", oddHeader(), kOddHeaderJson},
        // A path that is not UTF-8 still gives a valid document, and its
        // bytes.
        {"neg\xff.kevo", "neg\xEF\xBF\xBD.kevo", negativeCounts(),
         R"({"path": "", "pathBytes": "", "headerBytes": 24, "version": 2, "headerValue": 0,
             "metas": [], "streams": []})"},
        {"text.kevo", "text.kevo", textAtoms(), R"json({
  "path": "", "headerBytes": 73, "version": 2, "headerValue": 0, "metas": [
    {"index": 0, "fourcc": "datm", "id": 1836343652, "type": "s", "length": 5, "offset": 29,
     "text": "WGS84", "hex": "5747533834"},
    {"index": 1, "fourcc": "bad ", "id": 543449442, "type": "s", "length": 4, "offset": 43,
     "text": "a\ufffdb\ufffd", "hex": "61ff62c3"},
    {"index": 2, "fourcc": "nul ", "id": 543978862, "type": "s", "length": 4, "offset": 56,
     "text": "x\u0000\u00e9", "hex": "7800c3a9"},
    {"index": 3, "fourcc": "emty", "id": 2037673317, "type": "s", "length": 0, "offset": 69,
     "text": "", "hex": ""}],
  "streams": []})json"},
    };
    for (const Case& c : cases) {
        const RunResult run = runInfo({"--json", record(c.name, c.header)});
        EXPECT_EQ(run.status, kRead);
        Json expected = Json::parse(c.json);
        expected["path"] = dir_.path(c.shownName);
        if (expected.contains("pathBytes")) {
            expected["pathBytes"] = kevo_hexBytes(dir_.path(c.name));
        }
        EXPECT_EQ(Json::parse(run.standardOutput), Json::array({expected})) << run.standardOutput;
    }
}

// The listing is written as it goes, block by block; it must still be one
// document, laid out as dump(2) lays it out, with a file left out of it and
// a header whose text spans several blocks.
TEST_F(InfoTest, JsonListingIsOneDocumentWhereverItsBlocksEnd)
{
    Header many;
    many.metas.assign(3000, intAtom("many", 7));
    const std::vector<std::string> paths = {record("odd.kevo", oddHeader()),
                                            record("every\xff" "byte.kevo", everyByte()),
                                            record("many.kevo", many)};
    const RunResult run = runInfo({"--json", paths[0], dir_.path("missing.kevo"), paths[1],
                                   paths[2]});
    EXPECT_EQ(run.status, kUnread);
    const Json listing = Json::parse(run.standardOutput);
    EXPECT_EQ(listing.dump(2) + "\n", run.standardOutput);
    ASSERT_EQ(listing.size(), paths.size());
    Json odd = Json::parse(kOddHeaderJson);
    odd["path"] = paths[0];
    EXPECT_EQ(listing[0], odd);
    // Byte b is the code point U+00bb in the fourcc and the type.
    const Json& metas = listing[1]["metas"];
    ASSERT_EQ(metas.size(), 256u);
    for (uint32_t byte = 0; byte < 256; ++byte) {
        const std::string text = byte < 0x80 ? std::string(1, static_cast<char>(byte))
                                             : std::string{static_cast<char>(0xC0 | (byte >> 6)),
                                                           static_cast<char>(0x80 | (byte & 0x3F))};
        EXPECT_EQ(metas[byte]["fourcc"], text + text + text + text) << byte;
        EXPECT_EQ(metas[byte]["type"], text) << byte;
        EXPECT_EQ(metas[byte]["offset"], 29 + 13 * byte) << byte;
    }
    EXPECT_EQ(listing[2]["metas"].size(), 3000u);
    EXPECT_EQ(listing[2]["metas"][2999]["offset"], 29 + 13 * 2999);
    EXPECT_EQ(listing[2]["headerBytes"], 24 + 13 * 3000);
}

TEST_F(InfoTest, LocateFindsOneAtomOrSaysWhatItFound)
{
    Header header;
    header.metas = {intAtom("strt", 1)};
    header.streams = {
        descriptor("pav2", 0, 48, 1, {intAtom("intr", 100), intAtom("mic ", 800)}),
        descriptor("rok ", 0, 40, 2, {intAtom("intr", 200), intAtom("gyro", 100)}),
        descriptor("rok ", 0, 40, 3, {intAtom("intr", 200)}),
        descriptor("mic ", 0, 8, 4, {intAtom("dup ", 1), intAtom("dup ", 2)}),
    };
    const std::string path = record("rec.kevo", header);
    const std::string in = "kevo-info: " + path + ": ";
    const std::tuple<std::string, int, std::string, std::string> cases[] = {
        {"pav2/mic", kRead, "-streamID 0 -metaID 1\n", ""},
        {"#0/#1", kRead, "-streamID 0 -metaID 1\n", ""},
        {"strt", kRead, "-streamID -1 -metaID 0\n", ""},
        {"PAV2/mic", kUnread, "", in + "no stream 'PAV2' (has: pav2, rok , mic )\n"},
        {"#4/mic", kUnread, "", in + "no stream #4 (has 4 streams)\n"},
        {"pav2/gyro", kUnread, "", in + "no atom 'gyro' in stream 'pav2' (has: intr, mic )\n"},
        {"pav2/#2", kUnread, "", in + "no atom #2 in stream 'pav2' (has 2 atoms)\n"},
        {"intr", kUnread, "", in + "no file-level atom 'intr' (has: strt)\n"},
        {"rok/intr", kUnread, "", in + "2 matches for atom 'intr' in stream 'rok ': "
                                       "-streamID 1 -metaID 0, -streamID 2 -metaID 0\n"},
        {"mic/dup", kUnread, "", in + "2 matches for atom 'dup ' in stream 'mic ': "
                                      "-streamID 3 -metaID 0, -streamID 3 -metaID 1\n"},
    };
    for (const auto& [name, status, standardOutput, standardError] : cases) {
        SCOPED_TRACE(name);
        const RunResult run = runInfo({"--locate", name, path});
        EXPECT_EQ(run.status, status);
        EXPECT_EQ(run.standardOutput, standardOutput);
        EXPECT_EQ(run.standardError, standardError);
    }
}

TEST_F(InfoTest, ExitStatuses)
{
    const std::string good = record("good.kevo", gpsExample());
    const std::string other = record("other.kevo", negativeCounts());
    const std::string missing = dir_.path("missing.kevo");
    const std::string bad = dir_.path("bad.kevo");
    writeFile(bad, packetBytes(64));
    const std::string folder = dir_.path("");
    // The line kevo-info adds after the reader's lines for a file it skips.
    const auto skipped = [](const std::string& path, const std::string& reason) {
        return "kevo-info: " + path + ": " + reason + "\n";
    };
    const std::string invalid = "not a valid KEVO file";
    const std::string noFile = "No such file or directory";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string standardOutput;
        std::string standardError;
        std::string input = "/dev/null";
    };
    const Case cases[] = {
        {{}, kUsage, "", usageError("no file given")},
        {{"--bogus", good}, kUsage, "", usageError("invalid option '--bogus'")},
        {{"-x", good}, kUsage, "", usageError("invalid option -- 'x'")},
        {{"--json=1", good}, kUsage, "", usageError("invalid option '--json=1'")},
        {{good, "--locate"}, kUsage, "", usageError("option '--locate' requires an argument")},
        {{"--locate", "pav2/micro", good}, kUsage, "",
         usageError("not [STREAM/]ATOM, each a fourcc of one to four characters or #N: "
                    "'pav2/micro'")},
        {{"--locate", "wxyz", good, good}, kUsage, "",
         usageError("--locate takes exactly one file")},
        {{good, "--json", "--locate=wxyz"}, kUsage, "",
         usageError("--locate and --json cannot be used together")},
        {{"--version", good}, kRead, "kevo-info " KEVO_VERSION "\n", ""},
        {{"-"}, kRead, dump(gpsExample(), "stdin"), "", good},
        {{"--locate", "wxyz", "-"}, kRead, "-streamID -1 -metaID 0\n", "", good},
        {{"-", good, "-"}, kUsage, "", usageError("standard input given twice ('-' and '-')")},
        {{"--json", "-", "/dev/stdin"}, kUsage, "",
         usageError("standard input given twice ('-' and '/dev/stdin')")},
        {{missing}, kUnread, "", openFailedLines(missing) + skipped(missing, noFile)},
        {{"-"}, kUnread, "", invalidHeaderLine() + skipped("-", invalid)},
        {{folder}, kUnread, "", invalidHeaderLine() + skipped(folder, "Is a directory")},
        {{good, bad, other}, kUnread, dump(gpsExample(), good) + dump(negativeCounts(), other),
         invalidHeaderLine() + skipped(bad, invalid) + "kevo-info: 2 read, 1 failed\n"},
        {{"--json", missing}, kUnread, "[]\n",
         openFailedLines(missing) + skipped(missing, noFile)},
        {{"--locate", "wxyz", bad}, kUnread, "", invalidHeaderLine() + skipped(bad, invalid)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const RunResult run = runInfo(c.args, c.input);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.standardOutput, c.standardOutput);
        EXPECT_EQ(run.standardError, c.standardError);
    }
    const RunResult help = runInfo({"--help"});
    EXPECT_EQ(help.status, kRead);
    EXPECT_EQ(help.standardOutput.rfind("Usage: kevo-info [--json] FILE...\n", 0), 0u);
    // A listing that could not be written is no success.
    const RunResult full =
        runProgram("/bin/sh", {"-c", "exec \"$0\" \"$1\" >/dev/full", KEVO_INFO_PATH, good});
    EXPECT_EQ(full.status, kUnread);
    EXPECT_EQ(full.standardError,
              "kevo-info: cannot write to standard output: No space left on device\n");
#if !defined(__SANITIZE_ADDRESS__)
    // A memory limit from the shell is no reason to fail on a small header.
    // The sanitizers reserve more address space than any such limit allows.
    const RunResult limited = runProgram(
        "/bin/sh", {"-c", "ulimit -v 49152 && exec \"$0\" \"$1\"", KEVO_INFO_PATH, good});
    EXPECT_EQ(limited.status, kRead);
    EXPECT_EQ(limited.standardOutput, dump(gpsExample(), good));
#endif
}

}  // namespace
}  // namespace kevo_modify_test
