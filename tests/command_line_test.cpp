// The command line of kevo-modify: usage, option walking, option values and
// the paths it refuses to edit.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/modify_harness.h"

namespace kevo_modify_test {
namespace {

using kevo_test::byteAtom;
using kevo_test::concat;
using kevo_test::encode;
using kevo_test::intAtom;
using kevo_test::packetBytes;
using kevo_test::readFile;
using kevo_test::writeFile;

using Args = std::vector<std::string>;

Header twoStreams()
{
    Header header;
    header.metas = {intAtom("rate", 8000), byteAtom("chan", 2)};
    header.streams = {
        descriptor("gps ", 0, 0, 1, {intAtom("abcd", 42), intAtom("efgh", 7)}),
        descriptor("wifi", 0, 0, 2, {intAtom("chan", 11)}),
    };
    return header;
}

class CommandLineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        path_ = dir_.path("rec.kevo");
        original_ = concat(encode(twoStreams()), packetBytes(256));
        writeFile(path_, original_);
    }

    void expectUntouched() const { EXPECT_EQ(readFile(path_), original_); }

    Bytes expectedAfter(int stream, int meta, int32_t value) const
    {
        const Bytes header = encode(twoStreams());
        const Bytes packets(original_.begin() + static_cast<long>(header.size()), original_.end());
        return concat(encode(withInt(twoStreams(), stream, meta, value)), packets);
    }

    kevo_test::TempDir dir_;
    std::string path_;
    Bytes original_;
};

TEST_F(CommandLineTest, FewerThanFourArgumentsPrintOnlyTheUsage)
{
    const std::vector<Args> cases = {
        {},
        {path_},
        {"-streamID", "0", path_},
        {"-x", "-y", "-z"},
    };
    for (const Args& args : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        expectRun(runModify(args), kFailed, usageText());
    }
    expectUntouched();
}

TEST_F(CommandLineTest, MissingRequiredOptionPrintsUsageAfterTheOptionLines)
{
    struct Case {
        Args args;
        std::string optionLines;
    };
    const std::vector<Case> cases = {
        {{"-streamID", "0", "-metaID", "0", path_}, streamInfo(0) + metaInfo(0)},
        {{"-metaID", "0", "-metaValue", "5", path_}, metaInfo(0) + valueInfo(5)},
        {{"-streamID", "0", "-metaValue", "5", path_}, streamInfo(0) + valueInfo(5)},
        {{"-streamID", "0", "-metaID", "0", "-metaValue", "5"}, optionInfo(0, 0, 5)},
        // -1 and -2 are the "not given" values and count as missing.
        {{"-streamID", "0", "-metaID", "-1", "-metaValue", "5", path_}, optionInfo(0, -1, 5)},
        {{"-streamID", "-2", "-metaID", "0", "-metaValue", "5", path_}, optionInfo(-2, 0, 5)},
        // Usage comes before the refusal of standard input.
        {{"-streamID", "0", "-metaID", "-1", "-metaValue", "5", "stdin"}, optionInfo(0, -1, 5)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        expectRun(runModify(c.args), kFailed, c.optionLines + usageText());
    }
    expectUntouched();
}

TEST_F(CommandLineTest, OptionWithoutValueAtTheEndPrintsUsage)
{
    expectRun(runModify({"-streamID", "0", "-metaID", "1", path_, "-metaValue"}), kFailed,
              streamInfo(0) + metaInfo(1) + usageText());
    expectRun(runModify({"-metaValue", "3", "-metaID", "1", path_, "-streamID"}), kFailed,
              valueInfo(3) + metaInfo(1) + usageText());
    expectRun(runModify({"-metaValue", "3", "-streamID", "1", path_, "-metaID"}), kFailed,
              valueInfo(3) + streamInfo(1) + usageText());
    expectUntouched();
}

TEST_F(CommandLineTest, UnrecognisedOptionStopsAfterTheOptionsBeforeIt)
{
    struct Case {
        Args args;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{"-streamID", "0", "-metaID", "1", "-metaValue", "7", "-x", path_},
         optionInfo(0, 1, 7) + "# ERROR: Unrecognized command argument, -x\n"},
        {{"-streamID", "0", "-", "-metaID", "1", "-metaValue", "7", path_},
         streamInfo(0) + "# ERROR: Unrecognized command argument, -\n"},
        // Option names are case-sensitive.
        {{"-StreamID", "0", "-metaID", "1", "-metaValue", "7", path_},
         "# ERROR: Unrecognized command argument, -StreamID\n"},
        {{path_, "-metaID", "1", "-metavalue", "7", "-streamID", "0"},
         metaInfo(1) + "# ERROR: Unrecognized command argument, -metavalue\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        expectRun(runModify(c.args), kUnknownOption, c.expected + "# ERROR: Exiting\n");
    }
    expectUntouched();
}

TEST_F(CommandLineTest, OptionValueIsNeverTakenForAnOption)
{
    const RunResult run =
        runModify({"-streamID", "0", "-metaID", "1", "-metaValue", "-streamID", path_});

    expectRun(run, kFailed,
              streamInfo(0) + metaInfo(1) +
                  "# ERROR: value is not a whole decimal number for -metaValue, -streamID\n");
    expectUntouched();
}

TEST_F(CommandLineTest, LaterOptionReplacesAnEarlierOne)
{
    const RunResult run = runModify({"-streamID", "5", "-metaID", "0", "-metaValue", "9",
                                     "-streamID", "1", path_});

    expectRun(run, kSuccess,
              streamInfo(5) + metaInfo(0) + valueInfo(9) + streamInfo(1) + bannerLine() +
                  dump(twoStreams(), path_) + dump(withInt(twoStreams(), 1, 0, 9), path_));
    EXPECT_EQ(readFile(path_), expectedAfter(1, 0, 9));
}

// Each value text, given to one option of an otherwise complete request,
// with the number it must be read as.
struct ValueCase {
    const char* option;
    const char* text;
    int32_t value;
};

TEST_F(CommandLineTest, OptionValuesAreWholeDecimalNumbersWithinBlanks)
{
    const std::vector<ValueCase> cases = {
        {"-metaValue", " 7", 7},
        {"-metaValue", "\t\n 12", 12},
        {"-metaValue", "12 \t", 12},
        {"-metaValue", "+7", 7},
        {"-metaValue", "-0", 0},
        {"-metaValue", "00000000000000000000042", 42},
        {"-metaValue", "2147483647", 2147483647},
        {"-metaValue", "-2147483648", INT32_MIN},
        {"-streamID", " -1 ", kFileLevel},
        {"-metaID", "+0", 0},
    };
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(std::string(c.option) + " '" + c.text + "'");
        writeFile(path_, original_);
        const std::string option = c.option;
        const int32_t stream = option == "-streamID" ? c.value : 0;
        const int32_t meta = option == "-metaID" ? c.value : 0;
        const int32_t value = option == "-metaValue" ? c.value : 99;
        Args args = {"-streamID", std::to_string(stream), "-metaID", std::to_string(meta),
                     "-metaValue", std::to_string(value), path_};
        const size_t slot = option == "-streamID" ? 1 : option == "-metaID" ? 3 : 5;
        args[slot] = c.text;

        expectRun(runModify(args), kSuccess, successText(stream, meta, value, twoStreams(), path_));
        EXPECT_EQ(readFile(path_), expectedAfter(stream, meta, value));
    }
}

// What a user might type by mistake, each refused before anything is opened:
// a value where it is met, in place of its option line; a second file once
// every option has been read.
TEST_F(CommandLineTest, ArgumentsThatAreNotWhatTheyMustBeAreRefusedWhenMet)
{
    const auto notWhole = [](const std::string& option, const std::string& text) {
        return "# ERROR: value is not a whole decimal number for " + option + ", " + text + "\n";
    };
    const std::string other = dir_.path("other.kevo");
    struct Case {
        Args args;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{"-streamID", "0", "-metaID", "0", "-metaValue", "abc", path_},
         streamInfo(0) + metaInfo(0) + notWhole("-metaValue", "abc")},
        {{"-metaValue", "", "-streamID", "0", "-metaID", "0", path_}, notWhole("-metaValue", "")},
        {{"-metaValue", "0x10", "-streamID", "0", "-metaID", "0", path_},
         notWhole("-metaValue", "0x10")},
        {{"-metaValue", "1e3", "-streamID", "0", "-metaID", "0", path_},
         notWhole("-metaValue", "1e3")},
        {{"-metaValue", "7abc", "-streamID", "0", "-metaID", "0", path_},
         notWhole("-metaValue", "7abc")},
        {{"-metaValue", "1 2", "-streamID", "0", "-metaID", "0", path_},
         notWhole("-metaValue", "1 2")},
        {{"-metaValue", " ", "-streamID", "0", "-metaID", "0", path_}, notWhole("-metaValue", " ")},
        {{"-metaValue", "--1", "-streamID", "0", "-metaID", "0", path_},
         notWhole("-metaValue", "--1")},
        {{"-streamID", "x", "-metaID", "0", "-metaValue", "1", path_}, notWhole("-streamID", "x")},
        {{"-streamID", "1.9", "-metaID", "0", "-metaValue", "1", path_},
         notWhole("-streamID", "1.9")},
        {{"-streamID", "0", "-metaID", "1st", "-metaValue", "1", path_},
         streamInfo(0) + notWhole("-metaID", "1st")},
        {{"-streamID", "0", "-metaID", "+", "-metaValue", "1", path_},
         streamInfo(0) + notWhole("-metaID", "+")},
        // Malformed before out of range: digits past 32 bits and then a letter.
        {{"-streamID", "0", "-metaID", "0", "-metaValue", " 12345678901234567890123x", path_},
         streamInfo(0) + metaInfo(0) + notWhole("-metaValue", " 12345678901234567890123x")},
        // What a glob such as *.kevo gives: the first file must not be
        // skipped silently, and nor may the second.
        {{"-streamID", "0", "-metaID", "1", "-metaValue", "5", path_, other},
         optionInfo(0, 1, 5) + "# ERROR: more than one input file given: " + path_ + ", " +
             other + "\n"},
        {{path_, "-streamID", "0", other, "-metaID", "1", "-metaValue", "5"},
         optionInfo(0, 1, 5) + "# ERROR: more than one input file given: " + path_ + ", " +
             other + "\n"},
    };
    writeFile(other, original_);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        expectRun(runModify(c.args), kFailed, c.expected);
    }
    expectUntouched();
    EXPECT_EQ(readFile(other), original_);
}

// The second-file refusal must not take the place of the usage text or of
// the unrecognised-option lines, and a name given twice is still one file.
TEST_F(CommandLineTest, SecondFileIsRefusedOnlyAfterTheUsualChecks)
{
    const std::string other = dir_.path("other.kevo");
    const struct {
        Args args;
        int status;
        std::string expected;
    } cases[] = {
        {{path_, other, "c", "d"}, kFailed, usageText()},
        {{path_, other, "-x", "y"}, kUnknownOption,
         "# ERROR: Unrecognized command argument, -x\n# ERROR: Exiting\n"},
        {{path_, "-streamID", "0", path_, "-metaID", "1", "-metaValue", "5"}, kSuccess,
         successText(0, 1, 5, twoStreams(), path_)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        writeFile(path_, original_);
        expectRun(runModify(c.args), c.status, c.expected);
    }
}

TEST_F(CommandLineTest, ValuesAbove32BitSignedAreStoredAsTheirBitPattern)
{
    const std::vector<ValueCase> cases = {
        {"-metaValue", "4294967295", -1},
        {"-metaValue", "2147483648", INT32_MIN},
        {"-metaValue", "3000000000", -1294967296},
    };
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(c.text);
        writeFile(path_, original_);

        const RunResult run =
            runModify({"-streamID", "0", "-metaID", "0", "-metaValue", c.text, path_});

        expectRun(run, kSuccess, successText(0, 0, c.value, twoStreams(), path_));
        EXPECT_EQ(readFile(path_), expectedAfter(0, 0, c.value));
    }
}

TEST_F(CommandLineTest, ValueThatDoesNotFitIsRefusedWhenMet)
{
    struct Case {
        Args args;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{"-streamID", "2147483648", "-metaID", "0", "-metaValue", "1", path_},
         "# ERROR: value does not fit in 32 bits for -streamID, 2147483648\n"},
        {{"-streamID", "-2147483649", "-metaID", "0", "-metaValue", "1", path_},
         "# ERROR: value does not fit in 32 bits for -streamID, -2147483649\n"},
        {{"-streamID", "0", "-metaID", "99999999999", "-metaValue", "1", path_},
         streamInfo(0) + "# ERROR: value does not fit in 32 bits for -metaID, 99999999999\n"},
        {{"-streamID", "0", "-metaID", "4294967295", "-metaValue", "1", path_},
         streamInfo(0) + "# ERROR: value does not fit in 32 bits for -metaID, 4294967295\n"},
        {{"-streamID", "0", "-metaID", "0", "-metaValue", "4294967296", path_},
         streamInfo(0) + metaInfo(0) +
             "# ERROR: value does not fit in 32 bits for -metaValue, 4294967296\n"},
        {{"-streamID", "0", "-metaID", "0", "-metaValue", "-2147483649", path_},
         streamInfo(0) + metaInfo(0) +
             "# ERROR: value does not fit in 32 bits for -metaValue, -2147483649\n"},
        // The text is echoed as given, blanks included.
        {{"-streamID", "0", "-metaID", "0", "-metaValue", " 12345678901234567890123 ", path_},
         streamInfo(0) + metaInfo(0) +
             "# ERROR: value does not fit in 32 bits for -metaValue,  12345678901234567890123 \n"},
        // Refused as met, before an unknown option further on is looked at.
        {{"-metaValue", "-99999999999", "-bogus", "-streamID", "0", "-metaID", "0", path_},
         "# ERROR: value does not fit in 32 bits for -metaValue, -99999999999\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        expectRun(runModify(c.args), kFailed, c.expected);
    }
    expectUntouched();
}

TEST_F(CommandLineTest, LowestSignedNumbersAreAcceptedAndThenOutOfRange)
{
    expectRun(runModify({"-streamID", "-2147483648", "-metaID", "0", "-metaValue", "1", path_}),
              kFailed,
              optionInfo(INT32_MIN, 0, 1) + bannerLine() + dump(twoStreams(), path_) +
                  "# ERROR: StreamID not found inside KEVO header, requested -2147483648, max "
                  "streamID 2\n");
    expectRun(runModify({"-streamID", "1", "-metaID", "-2147483648", "-metaValue", "1", path_}),
              kFailed,
              optionInfo(1, INT32_MIN, 1) + bannerLine() + dump(twoStreams(), path_) +
                  "# ERROR: metaID not found inside KEVO header, requested -2147483648, max "
                  "metaID 1 for streamID 1\n");
    expectUntouched();
}

TEST_F(CommandLineTest, StandardInputIsRefusedBeforeAnythingIsOpened)
{
    const std::vector<std::string> paths = {"stdin", "STDIN", "StdIn", "/dev/stdin",
                                            "/DEV/STDIN"};
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        expectRun(runModify(editArgs(0, 0, 1, path)), kFailed,
                  optionInfo(0, 0, 1) +
                      "# ERROR: cannot modify standard input in place, give the path of a file: " +
                      path + "\n");
    }
    expectUntouched();
}

TEST_F(CommandLineTest, OnlyTheWholePathCountsAsStandardInput)
{
    const std::string namedStdin = dir_.path("stdin");
    writeFile(namedStdin, original_);

    const RunResult named = runModify(editArgs(1, 0, 4, namedStdin));

    expectRun(named, kSuccess, successText(1, 0, 4, twoStreams(), namedStdin));
    EXPECT_EQ(readFile(namedStdin), expectedAfter(1, 0, 4));
}

}  // namespace
}  // namespace kevo_modify_test
