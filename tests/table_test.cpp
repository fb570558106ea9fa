// Tables in and out: values read into a table and written back change
// nothing, an edited column changes just those values, and a revert puts
// every byte back where the values still hold what its run wrote.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/modify_harness.h"

namespace kevo_modify_test {
namespace {

using namespace kevo_test;

Header archived(int32_t mic, int32_t start, const std::string& name)
{
    Header header;
    header.metas = {intAtom("strt", start), rawAtom("name", 's', Bytes(name.begin(), name.end()))};
    header.streams = {descriptor("pav2", 0, 48, 1, {intAtom("intr", 100), intAtom("mic ", mic)})};
    return header;
}

class TableTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Names a table must quote or escape: a comma, a quote, a tab.
        for (const char* name : {"plain.kevo", "with, comma.kevo", "with \"quote\".kevo",
                                 "with\ttab.kevo"}) {
            paths_.push_back(dir_.path(name));
            const int32_t i = static_cast<int32_t>(paths_.size());
            writeFile(paths_.back(), bytesOf(800 + i, 1700 + i));
        }
    }

    static Bytes bytesOf(int32_t mic, int32_t start)
    {
        return concat(encode(archived(mic, start, "x,\"y\"")), packetBytes(256));
    }

    std::vector<Bytes> archive() const
    {
        std::vector<Bytes> files;
        for (const std::string& path : paths_) {
            files.push_back(readFile(path));
        }
        return files;
    }

    RunResult run(const std::string& program, std::vector<std::string> args,
                  bool withFiles = false) const
    {
        if (withFiles) {
            args.insert(args.end(), paths_.begin(), paths_.end());
        }
        return runProgram(program, args);
    }

    TempDir dir_;
    std::vector<std::string> paths_;
};

TEST_F(TableTest, ATableReadOutAndBackInChangesNothingButItsEditedColumn)
{
    for (const char* format : {"--csv", "--quiet"}) {
        SCOPED_TRACE(format);
        const std::vector<Bytes> before = archive();
        const RunResult out = run(KEVO_INFO_PATH,
                                  {"--get", "pav2/mic", "--get", "strt", "--get", "name", format},
                                  true);
        ASSERT_EQ(out.status, 0) << out.standardError;
        const std::string table = dir_.path("table");
        writeFile(table, Bytes(out.standardOutput.begin(), out.standardOutput.end()));
        // 'name' is text, not a value to set: its column must be dropped.
        const RunResult refused = run(KEVO_EDIT_PATH, {"--from", table});
        EXPECT_EQ(refused.status, 2);
        EXPECT_NE(refused.standardError.find("line 2: not a whole decimal number"),
                  std::string::npos)
            << refused.standardError;

        const RunResult values =
            run(KEVO_INFO_PATH, {"--get", "pav2/mic", "--get", "strt", format}, true);
        writeFile(table, Bytes(values.standardOutput.begin(), values.standardOutput.end()));
        EXPECT_EQ(run(KEVO_EDIT_PATH, {"-q", "--from", table}).status, 0);
        EXPECT_EQ(archive(), before);

        // Every file's rate raised by 100, its start left empty.
        std::string edited = values.standardOutput;
        const std::string comma = format[2] == 'c' ? "," : "\t";
        for (int32_t i = 1; i <= 4; ++i) {
            const std::string rate = comma + std::to_string(800 + i) + comma;
            edited.replace(edited.find(rate), rate.size(),
                           comma + std::to_string(900 + i) + comma);
            const std::string start = comma + std::to_string(1700 + i) + "\n";
            edited.replace(edited.find(start), start.size(), comma + "\n");
        }
        writeFile(table, Bytes(edited.begin(), edited.end()));
        const RunResult set = run(KEVO_EDIT_PATH, {"-q", "--from", table});
        EXPECT_EQ(set.status, 0) << set.standardError;
        for (int32_t i = 1; i <= 4; ++i) {
            EXPECT_EQ(readFile(paths_[static_cast<size_t>(i - 1)]), bytesOf(900 + i, 1700 + i));
        }
        for (int32_t i = 1; i <= 4; ++i) {
            writeFile(paths_[static_cast<size_t>(i - 1)], bytesOf(800 + i, 1700 + i));
        }
    }
}

TEST_F(TableTest, ARevertRestoresEveryByteAndSkipsAValueChangedSince)
{
    const std::vector<Bytes> before = archive();
    const RunResult edit =
        run(KEVO_EDIT_PATH, {"-q", "--json", "--set", "pav2/mic=5", "--set", "strt=6"}, true);
    ASSERT_EQ(edit.status, 0) << edit.standardError;
    const std::string report = dir_.path("report.json");
    writeFile(report, Bytes(edit.standardOutput.begin(), edit.standardOutput.end()));
    // Someone else sets one file's rate again since.
    writeFile(paths_[1], concat(encode(withInt(archived(5, 6, "x,\"y\""), 0, 1, 7)),
                                packetBytes(256)));
    const Bytes changedSince = readFile(paths_[1]);

    const RunResult revert = run(KEVO_EDIT_PATH, {"--json", "--revert", report});
    EXPECT_EQ(revert.status, 0) << revert.standardError;
    std::vector<Bytes> expected = before;
    expected[1] = changedSince;
    EXPECT_EQ(archive(), expected);
    EXPECT_NE(revert.standardOutput.find("\"status\": \"skipped\""), std::string::npos);
    EXPECT_NE(revert.standardOutput.find("\"found\": 7"), std::string::npos);

    // The revert's own report undoes the revert.
    const std::string again = dir_.path("revert.json");
    writeFile(again, Bytes(revert.standardOutput.begin(), revert.standardOutput.end()));
    EXPECT_EQ(run(KEVO_EDIT_PATH, {"-q", "--revert", again}).status, 0);
    EXPECT_EQ(readFile(paths_[0]), concat(encode(archived(5, 6, "x,\"y\"")), packetBytes(256)));
}

}  // namespace
}  // namespace kevo_modify_test
