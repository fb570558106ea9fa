// The benchmark's own instruments: a baseline or floor that wrote the wrong
// bytes, or a driver that timed a run that edited nothing, would make every
// figure in the table meaningless.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sample/sample_recording.h"
#include "tests/support/kevo_bytes.h"

namespace {

using kevo_test::Bytes;
using kevo_test::RunResult;
using kevo_test::TempDir;

// Stream 0, meta 1 of a sample recording: its payload's offset.
constexpr size_t kPayloadOffset = 98;
const std::string kHeaderBytes = "748";

std::string writeRecording(const TempDir& dir, const std::string& name)
{
    const std::string path = dir.path(name);
    kevo_sampleSummary summary{};
    EXPECT_EQ(kevo_writeSampleRecording(path.c_str(), 500, KEVO_SAMPLE_DEFAULT_ATOMS,
                                        KEVO_SAMPLE_KEEP_EXISTING, &summary), 1);
    EXPECT_EQ(std::to_string(summary.headerBytes), kHeaderBytes);
    return path;
}

Bytes withPayload(Bytes file, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3)
{
    file[kPayloadOffset] = b0;
    file[kPayloadOffset + 1] = b1;
    file[kPayloadOffset + 2] = b2;
    file[kPayloadOffset + 3] = b3;
    return file;
}

RunResult baselineEdit(const std::vector<std::string>& args)
{
    return kevo_test::runProgram(KEVO_BASELINE_PROGRAM, args);
}

TEST(BaselineEdit, WritesOnlyTheFourPayloadBytesLeastSignificantFirst)
{
    TempDir dir;
    const std::string path = writeRecording(dir, "rec.kevo");
    const Bytes before = kevo_test::readFile(path);

    RunResult run = baselineEdit({path, kHeaderBytes, "98", "305419896"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.standardError, "");
    EXPECT_EQ(kevo_test::readFile(path), withPayload(before, 0x78, 0x56, 0x34, 0x12));

    run = baselineEdit({path, kHeaderBytes, "98", "-5"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(kevo_test::readFile(path), withPayload(before, 0xFB, 0xFF, 0xFF, 0xFF));
}

TEST(BaselineEdit, RefusesWhatItCannotEditAndLeavesTheFileAlone)
{
    TempDir dir;
    const std::string path = writeRecording(dir, "rec.kevo");
    const std::string other = dir.path("other");
    kevo_test::writeFile(other, Bytes(2000, 0));
    const Bytes before = kevo_test::readFile(path);

    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{path, "5000", "98", "1"},
         "cannot read the header: " + path + ": the file is shorter"},
        {{path, kHeaderBytes, "745", "1"},
         "cannot edit: " + path + ": header bytes, payload offset or value out of range"},
        {{path, kHeaderBytes, "98", "4294967296"},
         "cannot edit: " + path + ": header bytes, payload offset or value out of range"},
        {{other, kHeaderBytes, "98", "1"}, "cannot edit: " + other + ": not a KEVO file"},
        {{dir.path("missing"), kHeaderBytes, "98", "1"},
         "cannot open: " + dir.path("missing") + ": No such file or directory"},
    };
    for (const auto& c : cases) {
        const RunResult run = baselineEdit(c.args);
        EXPECT_EQ(run.status, 1) << c.message;
        EXPECT_EQ(run.standardError, "kevo-baseline-edit: " + c.message + "\n");
    }
    EXPECT_EQ(kevo_test::readFile(path), before);
    EXPECT_EQ(kevo_test::readFile(other), Bytes(2000, 0));
}

TEST(FloorEdit, WritesTheFourBytesOfEachFileAndGoesOnPastOneItCannotEdit)
{
    TempDir dir;
    const std::string first = writeRecording(dir, "first.kevo");
    const std::string second = writeRecording(dir, "second.kevo");
    const std::string other = dir.path("other");
    kevo_test::writeFile(other, Bytes(2000, 0));
    const Bytes before = kevo_test::readFile(first);

    RunResult run = kevo_test::runProgram(
        KEVO_FLOOR_PROGRAM, {"98", "305419896", first, other, dir.path("missing"), second});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.standardError, "kevo-floor-edit: cannot edit: " + other +
                                     ": not a KEVO file\n"
                                     "kevo-floor-edit: cannot open: " + dir.path("missing") +
                                     ": No such file or directory\n");
    EXPECT_EQ(kevo_test::readFile(first), withPayload(before, 0x78, 0x56, 0x34, 0x12));
    EXPECT_EQ(kevo_test::readFile(second), withPayload(before, 0x78, 0x56, 0x34, 0x12));
    EXPECT_EQ(kevo_test::readFile(other), Bytes(2000, 0));

    run = kevo_test::runProgram(KEVO_FLOOR_PROGRAM, {"98", "-5", first});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.standardError, "");
    EXPECT_EQ(kevo_test::readFile(first), withPayload(before, 0xFB, 0xFF, 0xFF, 0xFF));
}

RunResult editBench(const TempDir& dir, const std::string& modify, const std::string& baseline,
                    const std::string& recording)
{
    return kevo_test::runProgram(KEVO_EDIT_BENCH_PROGRAM,
                                 {"--modify", modify, "--baseline", baseline, "--scratch",
                                  dir.path(""), "--runs", "1", "--warmup", "0", "--tsv",
                                  dir.path("figures.tsv"), "--case", "small", recording,
                                  kHeaderBytes});
}

TEST(EditBench, TimesBothEditorsAndLeavesTheLastValueInTheFile)
{
    TempDir dir;
    const std::string path = writeRecording(dir, "rec.kevo");
    const Bytes before = kevo_test::readFile(path);

    const RunResult run = editBench(dir, KEVO_MODIFY_PROGRAM, KEVO_BASELINE_PROGRAM, path);
    ASSERT_EQ(run.status, 0) << run.standardError;
    EXPECT_NE(run.standardOutput.find("\n| small | 1.2 KiB | 748 B | "), std::string::npos)
        << run.standardOutput;

    // The first round runs kevo-modify first, then the baseline with 200000.
    EXPECT_EQ(kevo_test::readFile(path), withPayload(before, 0x40, 0x0D, 0x03, 0x00));
    const Bytes tsv = kevo_test::readFile(dir.path("figures.tsv"));
    const std::string line(tsv.begin(), tsv.end());
    EXPECT_EQ(line.rfind("small\t1248\t748\t", 0), 0u) << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 12) << line;
}

TEST(EditBench, RefusesToTimeAnEditorThatFailsOrEditsNothing)
{
    TempDir dir;
    const std::string path = writeRecording(dir, "rec.kevo");

    RunResult run = editBench(dir, "/bin/true", KEVO_BASELINE_PROGRAM, path);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.standardError.find("kevo-modify on small exited with 0, expected 1"),
              std::string::npos)
        << run.standardError;

    run = editBench(dir, KEVO_MODIFY_PROGRAM, "/bin/true", path);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.standardError.find("baseline did not write 200000 at offset 98 of " + path),
              std::string::npos)
        << run.standardError;
    EXPECT_EQ(run.standardOutput, "");
}

}  // namespace
