// Whole-program tests of kevo-edit: what it prints and exits with, and the
// file's bytes afterwards, for edits, refusals and usage errors; its JSON;
// and its lock, which it shares with kevo-modify.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "cli/kevo_cli.h"
#include "tests/modify_harness.h"

namespace kevo_modify_test {
namespace {

using namespace kevo_test;

constexpr int kDone = 0;
constexpr int kFileFailed = 1;
constexpr int kUsage = 2;

RunResult runEdit(const std::vector<std::string>& args)
{
    return runProgram(KEVO_EDIT_PATH, args);
}

// 'rok ' twice, so that a stream fourcc can be ambiguous; an 'f' atom and an
// 'i' atom too short to hold a value.
Header editable()
{
    Header header;
    header.metas = {intAtom("strt", 1)};
    header.streams = {
        descriptor("pav2", 0, 48, 1,
                   {intAtom("intr", 100), intAtom("mic ", 800), rawAtom("gain", 'f', {0, 0, 0, 0}),
                    rawAtom("shrt", 'i', {1, 2})}),
        descriptor("rok ", 0, 40, 2, {intAtom("gyro", 100)}),
        descriptor("rok ", 0, 40, 3, {intAtom("gyro", 5)}),
    };
    return header;
}

class EditTest : public ::testing::Test {
protected:
    void SetUp() override { path_ = record("rec.kevo", editable()); }

    std::string record(const std::string& name, const Header& header)
    {
        writeFile(dir_.path(name), concat(encode(header), packetBytes(4096)));
        return dir_.path(name);
    }

    Bytes bytesOf(const Header& header) const { return concat(encode(header), packetBytes(4096)); }

    TempDir dir_;
    std::string path_;
};

TEST_F(EditTest, EditsAndRefusalsPrintTheirLinesAndLeaveTheRightBytes)
{
    const Header original = editable();
    const std::string p = path_ + ": ";
    const std::string failed = "kevo-edit: " + path_ + ": ";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string standardOutput;
        std::string standardError;
        Header after;
    };
    const Case cases[] = {
        {{"--set", "pav2/mic=1000"}, kDone, p + "pav2/mic 800 -> 1000\n", "",
         withInt(original, 0, 1, 1000)},
        {{"--set", "pav2/mic=800", "--set", "strt=7"}, kDone,
         p + "pav2/mic 800 (unchanged)\n" + p + "strt 1 -> 7\n", "",
         withInt(original, kFileLevel, 0, 7)},
        {{"--set", "#0/#1=4294967295", "--set", "#2/gyro=-5"}, kDone,
         p + "#0/#1 800 -> -1\n" + p + "#2/gyro 5 -> -5\n", "",
         withInt(withInt(original, 0, 1, -1), 2, 0, -5)},
        {{"--if", "pav2/mic=800", "--set", "pav2/mic=900"}, kDone, p + "pav2/mic 800 -> 900\n", "",
         withInt(original, 0, 1, 900)},
        {{"--if", "strt=1", "--if", "pav2/mic=5", "--set", "pav2/intr=1"}, kDone,
         p + "skipped (pav2/mic is 800, not 5)\n", "", original},
        {{"--dry-run", "--set", "pav2/mic=1000", "--set", "pav2/intr=100"}, kDone,
         p + "pav2/mic 800 -> 1000 (dry run)\n" + p + "pav2/intr 100 (unchanged) (dry run)\n", "",
         original},
        // All or nothing: the good value is not written either.
        {{"--set", "pav2/mic=1", "--set", "pav2/gain=1"}, kFileFailed, "",
         failed + "'pav2/gain' is of type 'f', not 'i'\n", original},
        {{"--set", "pav2/shrt=1"}, kFileFailed, "",
         failed + "'pav2/shrt' holds 2 payload bytes, an 'i' value needs 4\n", original},
        {{"--set", "rok/gyro=1"}, kFileFailed, "",
         failed + "2 matches for atom 'gyro' in stream 'rok ': -streamID 1 -metaID 0, "
                  "-streamID 2 -metaID 0\n",
         original},
        {{"--set", "pav2/mic=1", "--set", "#0/#1=2"}, kFileFailed, "",
         failed + "'pav2/mic' and '#0/#1' name the same atom\n", original},
        {{"--if", "gps/baud=1", "--set", "strt=2"}, kFileFailed, "",
         failed + "no stream 'gps ' (has: pav2, rok )\n", original},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        writeFile(path_, bytesOf(original));
        std::vector<std::string> args = c.args;
        args.push_back(path_);
        const RunResult run = runEdit(args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.standardOutput, c.standardOutput);
        EXPECT_EQ(run.standardError, c.standardError);
        EXPECT_EQ(readFile(path_), bytesOf(c.after));
    }
}

// Each file is its own unit: one that fails is named and the others are
// still edited; the JSON says the same for each.
TEST_F(EditTest, ManyFilesOneReportEach)
{
    const std::string other = record("other.kevo", editable());
    const std::string fifo = dir_.path("fifo.kevo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string garbage = dir_.path("garbage.kevo");
    writeFile(garbage, packetBytes(100));
    const std::vector<std::string> files = {path_, fifo, garbage, other};

    std::vector<std::string> args = {"--set", "pav2/mic=1000"};
    args.insert(args.end(), files.begin(), files.end());
    const RunResult run = runEdit(args);
    EXPECT_EQ(run.status, kFileFailed);
    EXPECT_EQ(run.standardOutput,
              path_ + ": pav2/mic 800 -> 1000\n" + other + ": pav2/mic 800 -> 1000\n");
    EXPECT_EQ(run.standardError, "kevo-edit: " + fifo + ": not a regular file\nkevo-edit: " +
                                     garbage + ": not a valid KEVO file\n"
                                     "kevo-edit: 2 edited, 0 skipped, 0 unchanged, 2 failed\n");

    args = {"--json", "--if", "pav2/mic=1000", "--set", "pav2/mic=7", path_, garbage};
    const nlohmann::json listing = nlohmann::json::parse(runEdit(args).standardOutput);
    ASSERT_EQ(listing.size(), 2u);
    EXPECT_EQ(listing[0]["status"], "edited");
    EXPECT_EQ(listing[0]["changes"], nlohmann::json::parse(R"([{"selector": "pav2/mic",
        "stream": 0, "atom": 1, "fourcc": "mic ", "offset": 75, "old": 1000, "new": 7}])"));
    EXPECT_EQ(listing[1]["status"], "failed");
    EXPECT_EQ(listing[1]["error"], "not a valid KEVO file");

    args = {"--json", "--dry-run", "--if", "pav2/mic=1", "--set", "strt=3", path_};
    const nlohmann::json skipped = nlohmann::json::parse(runEdit(args).standardOutput)[0];
    EXPECT_EQ(skipped["status"], "skipped");
    EXPECT_EQ(skipped["condition"],
              nlohmann::json::parse(R"({"selector": "pav2/mic", "expected": 1, "found": 7})"));
}

// A name cannot fake a line, and JSON gives every name back byte for byte.
TEST_F(EditTest, NamesThatCouldMisleadAreQuotedOrGivenAsBytes)
{
    const std::string folder = dir_.path("");
    const std::string fake = record("x.kevo: strt 1 -> 5\nreal.kevo", editable());
    const std::string stray = record("a\xff.kevo", editable());
    const std::string other = record("a\xfe.kevo", editable());
    const RunResult run = runEdit({"--set", "strt=2", fake, stray});
    EXPECT_EQ(run.standardOutput,
              "'" + folder + R"(x.kevo: strt 1 -> 5'$'\n''real.kevo': strt 1 -> 2)" + "\n'" +
                  folder + R"(a'$'\xff''.kevo': strt 1 -> 2)" + "\n");

    const std::string json = runEdit({"--json", "--set", "strt=3", stray, other}).standardOutput;
    const nlohmann::json listing = nlohmann::json::parse(json);
    ASSERT_EQ(listing.size(), 2u);
    EXPECT_EQ(listing[0]["path"], folder + "a\xef\xbf\xbd.kevo");  // U+FFFD
    EXPECT_EQ(listing[0]["pathBytes"], kevo_hexBytes(stray));
    EXPECT_EQ(listing[1]["pathBytes"], kevo_hexBytes(other));
    EXPECT_EQ(listing[1]["locked"], true);
}

// The lock an edit holds, as kevo-modify takes it.
class HeldWriteLock {
public:
    explicit HeldWriteLock(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_CLOEXEC))
    {
        struct flock whole {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        EXPECT_EQ(fcntl(fd_, F_OFD_SETLK, &whole), 0);
    }
    ~HeldWriteLock() { close(fd_); }
    HeldWriteLock(const HeldWriteLock&) = delete;
    HeldWriteLock& operator=(const HeldWriteLock&) = delete;

private:
    int fd_;
};

TEST_F(EditTest, WaitsForAnotherEditAsLongAsItIsAllowed)
{
    const Bytes before = readFile(path_);
    const std::string waitingLine =
        "kevo-edit: " + path_ + ": waiting for another process to finish with it\n";
    auto other = std::make_unique<HeldWriteLock>(path_);
    const auto start = std::chrono::steady_clock::now();
    const RunResult bounded = runEdit({"--wait", "0.3", "--set", "strt=2", path_});
    const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(bounded.status, kFileFailed);
    EXPECT_EQ(bounded.standardError,
              waitingLine + "kevo-edit: " + path_ + ": locked by another process\n");
    EXPECT_GE(waited.count(), 0.3);
    EXPECT_EQ(readFile(path_), before);

    RunningProgram waiting(KEVO_EDIT_PATH, {"--set", "strt=3", path_});
    ASSERT_TRUE(waiting.waitForErrorEnding(waitingLine, 10));
    other.reset();
    const RunResult run = waiting.finish();
    EXPECT_EQ(run.status, kDone);
    EXPECT_EQ(run.standardOutput, path_ + ": strt 1 -> 3\n");
    EXPECT_EQ(readFile(path_), bytesOf(withInt(editable(), kFileLevel, 0, 3)));
}

// A holder that keeps saving a new, locked file over the path: every
// reopen finds the lock busy again, and --wait still bounds the whole wait.
TEST_F(EditTest, WaitBoundsTheWholeWaitWhateverReplacesThePath)
{
    std::atomic<bool> stop{false};
    std::thread holder([&] {
        int held = -1;
        for (int round = 0; !stop; ++round) {
            const std::string next = dir_.path("next" + std::to_string(round));
            writeFile(next, bytesOf(editable()));
            const int fd = open(next.c_str(), O_RDWR | O_CLOEXEC);
            struct flock whole {};
            whole.l_type = F_WRLCK;
            fcntl(fd, F_OFD_SETLK, &whole);
            rename(next.c_str(), path_.c_str());
            if (held >= 0) {
                close(held);
            }
            held = fd;
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
        close(held);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto start = std::chrono::steady_clock::now();
    const RunResult run = runEdit({"--wait", "1", "--set", "strt=2", path_});
    const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;
    stop = true;
    holder.join();
    EXPECT_EQ(run.status, kFileFailed);
    EXPECT_LT(waited.count(), 1.5);
    EXPECT_NE(run.standardError.find("locked by another process"), std::string::npos)
        << run.standardError;
}

}  // namespace
}  // namespace kevo_modify_test
