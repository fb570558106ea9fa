// The front door of kevo-edit, kevo-info and kevo-sample: a usage error
// prints one line and the hint on standard error, nothing on standard
// output, exits with 2 and opens no file; --help and --version answer on
// standard output with 0.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/modify_harness.h"

namespace kevo_modify_test {
namespace {

using namespace kevo_test;

struct Usage {
    const char* program;
    std::vector<std::string> args;  // "MISSING" stands for a file that is not there
    std::string message;
};

std::string nameOf(const std::string& program)
{
    return program.substr(program.rfind('/') + 1);
}

TEST(UsageErrorTest, EveryCommandRefusesAMalformedCommandLineAlike)
{
    const std::string selector =
        "not [STREAM/]ATOM, each a fourcc of one to four characters or #N: ";
    const std::string value = "not a whole decimal number from -2147483648 to 4294967295: ";
    const Usage usages[] = {
        {KEVO_EDIT_PATH, {"MISSING"}, "no --set given"},
        {KEVO_EDIT_PATH, {"--set", "strt=1"}, "no file given"},
        {KEVO_EDIT_PATH, {"--set", "strt", "MISSING"}, "--set takes SEL=VALUE, not 'strt'"},
        {KEVO_EDIT_PATH, {"--set", "pav2/micro=1", "MISSING"}, selector + "'pav2/micro'"},
        {KEVO_EDIT_PATH, {"--if", "#1x/mic=1", "--set", "strt=1", "MISSING"},
         selector + "'#1x/mic'"},
        {KEVO_EDIT_PATH, {"--set", "pav2/#4294967296=1", "MISSING"},
         selector + "'pav2/#4294967296'"},
        {KEVO_EDIT_PATH, {"--set", "strt=0x10", "MISSING"}, value + "'0x10'"},
        {KEVO_EDIT_PATH, {"--set", "strt=4294967296", "MISSING"}, value + "'4294967296'"},
        {KEVO_EDIT_PATH, {"--set", "mic=1", "--set", "mic =2", "MISSING"},
         "'mic' and 'mic ' set the same atom"},
        {KEVO_EDIT_PATH, {"--wait", "-1", "--set", "strt=1", "MISSING"},
         "not a number of seconds: '-1'"},
        {KEVO_EDIT_PATH, {"--force", "--set", "strt=1", "MISSING"}, "invalid option '--force'"},
        {KEVO_EDIT_PATH, {"--set"}, "option '--set' requires an argument"},
        {KEVO_INFO_PATH, {}, "no file given"},
        {KEVO_INFO_PATH, {"-x", "MISSING"}, "invalid option -- 'x'"},
        {KEVO_INFO_PATH, {"--json=1", "MISSING"}, "invalid option '--json=1'"},
        {KEVO_INFO_PATH, {"MISSING", "--locate"}, "option '--locate' requires an argument"},
        {KEVO_INFO_PATH, {"--wait", "1e3", "MISSING"}, "not a number of seconds: '1e3'"},
        {KEVO_INFO_PATH, {"--locate", "wxyz", "MISSING", "MISSING"},
         "--locate takes exactly one file"},
        {KEVO_SAMPLE_PATH, {}, "missing output path"},
        {KEVO_SAMPLE_PATH, {"MISSING", "--atoms"}, "option '--atoms' requires an argument"},
        {KEVO_SAMPLE_PATH, {"MISSING", "10", "extra"}, "extra operand 'extra'"},
        {KEVO_SAMPLE_PATH, {"--frobnicate", "MISSING"}, "invalid option '--frobnicate'"},
    };
    const TempDir dir;
    const std::string missing = dir.path("missing.kevo");
    for (const Usage& usage : usages) {
        const std::string name = nameOf(usage.program);
        SCOPED_TRACE(name + " " + testing::PrintToString(usage.args));
        std::vector<std::string> args;
        for (const std::string& arg : usage.args) {
            args.push_back(arg == "MISSING" ? missing : arg);
        }
        const RunResult run = runProgram(usage.program, args);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.standardOutput, "");
        EXPECT_EQ(run.standardError, name + ": " + usage.message + "\nTry '" + name +
                                         " --help' for more information.\n");
    }
    for (const char* program : {KEVO_EDIT_PATH, KEVO_INFO_PATH, KEVO_SAMPLE_PATH}) {
        const std::string name = nameOf(program);
        SCOPED_TRACE(name);
        EXPECT_EQ(runProgram(program, {"--version"}).standardOutput,
                  name + " " KEVO_VERSION "\n");
        const RunResult help = runProgram(program, {"--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.standardOutput.rfind("Usage: " + name + " ", 0), 0u);
    }
}

}  // namespace
}  // namespace kevo_modify_test
