// What happens to a file while an edit is under way: the fault library
// holds the tool at one call (the check before the write, or a write) while
// the test signals it or changes the file behind its back, then lets it go
// on. A signal finishes the file in flight and reports it; a file changed
// meanwhile is never reported as edited.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "tests/modify_harness.h"

namespace kevo_modify_test {
namespace {

using namespace kevo_test;

// 'strt' at 20, its payload at 29; 'note' fills the first page; 'mark's
// payload at 4107, in the second: an edit of both is two writes.
Header twoPages()
{
    Header header;
    header.metas = {intAtom("strt", 1), rawAtom("note", 's', Bytes(4060, 'n')),
                    intAtom("mark", 2)};
    return header;
}

Bytes recording(const Header& header)
{
    return concat(encode(header), packetBytes(8192));
}

const Bytes kOriginal = recording(twoPages());
const Bytes kEdited = recording(withInt(withInt(twoPages(), kFileLevel, 0, 7), kFileLevel, 2, 8));

struct HeldRun {
    std::string name;
    std::vector<std::string> args;  // "A" and "B" stand for the two files
    std::string holdAt;
    std::function<void(RunningProgram&, const std::string& path)> meanwhile;
    int status;
    int signal;
    std::string standardOutput;  // "A" and "B" replaced as in args
    std::string standardError;
    Bytes a;  // empty: not compared
};

void signalWith(int number, RunningProgram& program, const std::string&)
{
    program.kill(number);
}

std::string withPaths(std::string text, const std::string& a, const std::string& b)
{
    for (const auto& [mark, path] : {std::pair{'A', a}, std::pair{'B', b}}) {
        for (size_t at; (at = text.find(std::string("<") + mark + ">")) != std::string::npos;) {
            text.replace(at, 3, path);
        }
    }
    return text;
}

TEST(HeldEditTest, SignalsAndChangesMidEditNeverLeaveAnUnreportedOrFalseEdit)
{
    const auto truncateTo100 = [](RunningProgram&, const std::string& path) {
        ASSERT_EQ(truncate(path.c_str(), 100), 0);
    };
    const auto rewrite = [](RunningProgram&, const std::string& path) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        writeFile(path, recording(withInt(twoPages(), kFileLevel, 0, 5)));
    };
    const auto unlinkIt = [](RunningProgram&, const std::string& path) {
        ASSERT_EQ(unlink(path.c_str()), 0);
    };
    using std::placeholders::_1;
    using std::placeholders::_2;
    // One file at a time, so that the second is not in flight yet.
    const std::vector<std::string> both = {"--jobs", "1",      "--set", "strt=7",
                                           "--set",  "mark=8", "<A>",   "<B>"};
    const std::vector<std::string> one = {"--set", "strt=7", "--set", "mark=8", "<A>"};
    const std::string edited = "<A>: strt 1 -> 7\n<A>: mark 2 -> 8\n";
    const std::string failed = "kevo-edit: <A>: ";
    const HeldRun runs[] = {
        {"SIGINT between two writes", both, "write:1", std::bind(signalWith, SIGINT, _1, _2),
         130, 0, edited,
         "kevo-edit: 1 edited, 0 skipped, 0 unchanged, 0 failed\n"
         "kevo-edit: stopped by SIGINT; 1 of 2 files not started\n",
         kEdited},
        {"SIGTERM while the JSON array is open",
         {"-j1", "--json", "--set", "mark=8", "<A>", "<B>"}, "write:1",
         std::bind(signalWith, SIGTERM, _1, _2), 143, 0, "",
         "kevo-edit: 1 edited, 0 skipped, 0 unchanged, 0 failed\n"
         "kevo-edit: stopped by SIGTERM; 1 of 2 files not started\n",
         recording(withInt(twoPages(), kFileLevel, 2, 8))},
        {"kevo-modify: SIGHUP at its write",
         {KEVO_MODIFY_PATH, "-streamID", "-1", "-metaID", "2", "-metaValue", "8", "<A>"},
         "write:1", std::bind(signalWith, SIGHUP, _1, _2), -1, SIGHUP, "",
         successText(kFileLevel, 2, 8, twoPages(), "<A>"),
         recording(withInt(twoPages(), kFileLevel, 2, 8))},
        {"truncated before the write", one, "stat:2", truncateTo100, 1, 0, "",
         failed + "changed size during the edit; nothing was written\n",
         Bytes(kOriginal.begin(), kOriginal.begin() + 100)},
        {"truncated during the write", one, "write:1", truncateTo100, 1, 0, "",
         failed + "changed size during the edit; another program truncated or extended it "
                  "while the values were written\n",
         {}},
        {"rewritten before the write", one, "stat:2", rewrite, 1, 0, "",
         failed + "was written by another program during the edit; nothing was written\n",
         recording(withInt(twoPages(), kFileLevel, 0, 5))},
        {"removed before the write", one, "stat:2", unlinkIt, 1, 0, "",
         failed + "vanished from this path during the edit (removed, or its file system "
                  "unmounted); nothing was written\n",
         {}},
    };
    for (const HeldRun& run : runs) {
        SCOPED_TRACE(run.name);
        const TempDir dir;
        const std::string a = dir.path("a.kevo");
        const std::string b = dir.path("b.kevo");
        writeFile(a, kOriginal);
        writeFile(b, kOriginal);
        const char* asan = std::getenv("ASAN_OPTIONS");
        std::vector<std::string> command = {
            std::string("LD_PRELOAD=") + KEVO_WRITE_FAULTS_PATH, "KEVO_WRITE_HOLD=" + dir.path(""),
            "KEVO_WRITE_HOLD_AT=" + run.holdAt,
            "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":verify_asan_link_order=0"};
        if (run.args[0] != KEVO_MODIFY_PATH) {
            command.push_back(KEVO_EDIT_PATH);
        }
        for (const std::string& arg : run.args) {
            command.push_back(withPaths(arg, a, b));
        }
        RunningProgram program("/usr/bin/env", command);
        for (int waited = 0; access(dir.path("held").c_str(), F_OK) != 0; ++waited) {
            ASSERT_LT(waited, 10000) << "the tool never reached " << run.holdAt;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        run.meanwhile(program, a);
        writeFile(dir.path("go"), {});
        const RunResult result = program.finish();

        EXPECT_EQ(result.status, run.status);
        EXPECT_EQ(result.signal, run.signal);
        EXPECT_EQ(result.standardError, withPaths(run.standardError, a, b));
        if (run.args[1] == "--json") {
            const nlohmann::json listing = nlohmann::json::parse(result.standardOutput);
            ASSERT_EQ(listing.size(), 1u);
            EXPECT_EQ(listing[0]["status"], "edited");
        } else {
            EXPECT_EQ(result.standardOutput, withPaths(run.standardOutput, a, b));
        }
        if (!run.a.empty()) {
            EXPECT_EQ(readFile(a), run.a);
        }
        EXPECT_EQ(readFile(b), kOriginal) << "a file after the signal was started";
    }
}

}  // namespace
}  // namespace kevo_modify_test
