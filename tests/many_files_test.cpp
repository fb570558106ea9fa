// An archive job in one run: the files a walk or a list chooses, many in
// flight at once, one report in their order, and a signal that leaves every
// file old or new and every edited file reported.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "tests/modify_harness.h"

namespace kevo_modify_test {
namespace {

using namespace kevo_test;

Header withStart(int32_t start)
{
    Header header;
    header.metas = {intAtom("strt", start)};
    header.streams = {descriptor("pav2", 0, 48, 1, {intAtom("mic ", 800)})};
    return header;
}

const Bytes kOld = concat(encode(withStart(1)), packetBytes(512));
const Bytes kNew = concat(encode(withStart(2)), packetBytes(512));

std::string edited(const std::string& path)
{
    return path + ": strt 1 -> 2\n";
}

TEST(ManyFilesTest, AWalkTakesKevoFilesInByteOrderAndFollowsNoLinkItMeets)
{
    const TempDir dir;
    const std::string top = dir.path("tree");
    for (const std::string& folder : {top, top + "/sub dir", top + "/empty"}) {
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    }
    for (const char* name : {"a.kevo", "B.KEVO", "z.kevo", "notes.txt", "sub dir/c.kevo",
                                   "sub dir/x\ny.kevo"}) {
        writeFile(top + "/" + name, kOld);
    }
    writeFile(dir.path("listed.kevo"), kOld);
    ASSERT_EQ(symlink("a.kevo", (top + "/link.kevo").c_str()), 0);
    ASSERT_EQ(symlink("sub dir", (top + "/linkdir").c_str()), 0);
    writeFile(dir.path("list"), Bytes{'l', 'i', 's', 't', 'e', 'd', '.', 'k', 'e', 'v', 'o', 0});

    const RunResult run = runProgram(
        "/bin/sh", {"-c", "cd \"$0\" && exec \"$1\" -r -0 --files-from list --set strt=2 tree",
                    dir.path(""), KEVO_EDIT_PATH});
    EXPECT_EQ(run.status, 0) << run.standardError;
    EXPECT_EQ(run.standardOutput, edited("tree/B.KEVO") + edited("tree/a.kevo") +
                                      edited("tree/sub dir/c.kevo") +
                                      edited("'tree/sub dir/x'$'\\n''y.kevo'") +
                                      edited("tree/z.kevo") + edited("listed.kevo"));
    EXPECT_EQ(run.standardError, "kevo-edit: 6 edited, 0 skipped, 0 unchanged, 0 failed\n");
    EXPECT_EQ(readFile(top + "/notes.txt"), kOld);
}

// Many files at once: the same report, in the same order, and the same bytes
// as one at a time, the JSON included.
TEST(ManyFilesTest, AParallelRunReportsAndWritesAsOneFileAtATime)
{
    const TempDir dir;
    std::vector<std::string> files;
    for (int i = 0; i < 60; ++i) {
        files.push_back(dir.path("rec" + std::to_string(i) + ".kevo"));
    }
    // Every third file holds the new value already; one is no recording;
    // one is named again, and once more through a link.
    const auto reset = [&] {
        for (size_t i = 0; i < files.size(); ++i) {
            writeFile(files[i], i == 7 ? packetBytes(64) : i % 3 == 0 ? kNew : kOld);
        }
    };
    reset();
    ASSERT_EQ(link(files[10].c_str(), dir.path("link.kevo").c_str()), 0);
    files.insert(files.begin() + 12, files[10]);
    files.insert(files.begin() + 13, dir.path("link.kevo"));
    std::vector<Bytes> afterOneAtATime;
    std::string reportOneAtATime;
    for (const char* format : {"--json", "--quiet"}) {
        for (const char* jobs : {"1", "8", "60"}) {
            SCOPED_TRACE(std::string(jobs) + " " + format);
            reset();
            std::vector<std::string> args = {"-j", jobs, format, "--set", "strt=2"};
            args.insert(args.end(), files.begin(), files.end());
            const RunResult run = runProgram(KEVO_EDIT_PATH, args);
            EXPECT_EQ(run.status, 1);
            std::vector<Bytes> after;
            for (const std::string& file : files) {
                after.push_back(readFile(file));
            }
            if (std::string(jobs) == "1") {
                afterOneAtATime = after;
                reportOneAtATime = run.standardOutput + run.standardError;
                continue;
            }
            EXPECT_EQ(run.standardOutput + run.standardError, reportOneAtATime);
            EXPECT_EQ(after, afterOneAtATime);
        }
    }
}

// A signal while many files are in flight: each file is old or new, every
// new one is reported as edited, every one reported is new, and the JSON
// array is closed.
TEST(ManyFilesTest, ASignalDuringAParallelRunLeavesNoFileUnreported)
{
    const TempDir dir;
    std::vector<std::string> files;
    for (int i = 0; i < 200; ++i) {
        files.push_back(dir.path("rec" + std::to_string(i) + ".kevo"));
        writeFile(files.back(), kOld);
    }
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::vector<std::string> command = {
        std::string("LD_PRELOAD=") + KEVO_WRITE_FAULTS_PATH, "KEVO_WRITE_HOLD=" + dir.path(""),
        "KEVO_WRITE_HOLD_AT=write:20",
        "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":verify_asan_link_order=0",
        KEVO_EDIT_PATH, "-j", "8", "--json", "--set", "strt=2"};
    command.insert(command.end(), files.begin(), files.end());
    RunningProgram program("/usr/bin/env", command);
    for (int waited = 0; access(dir.path("held").c_str(), F_OK) != 0; ++waited) {
        ASSERT_LT(waited, 10000) << "the run never reached its 20th write";
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    program.kill(SIGINT);
    writeFile(dir.path("go"), {});
    const RunResult run = program.finish();

    EXPECT_EQ(run.status, 128 + SIGINT) << run.standardError;
    const nlohmann::json report = nlohmann::json::parse(run.standardOutput);
    std::vector<std::string> reported;
    for (const nlohmann::json& file : report) {
        EXPECT_EQ(file["status"], "edited");
        reported.push_back(file["path"]);
    }
    EXPECT_GE(reported.size(), 20u);
    EXPECT_LT(reported.size(), files.size());
    size_t next = 0;
    for (const std::string& file : files) {
        const Bytes now = readFile(file);
        const bool isReported = next < reported.size() && reported[next] == file;
        next += isReported ? 1 : 0;
        EXPECT_EQ(now, isReported ? kNew : kOld) << file;
    }
    EXPECT_EQ(next, reported.size()) << "the report is not in the order of the files";
}

}  // namespace
}  // namespace kevo_modify_test
