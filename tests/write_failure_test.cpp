// A rewrite that fails must never be reported as a successful edit. Faults
// are injected into kevo-modify with the write_faults library; each run must
// end with status -1 and one line naming the failure, and leave the file
// either as it was or with the whole new header, never anything in between.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

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

// Sets an environment variable for the programs started while it lives.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::string& value) : name_(name)
    {
        const char* old = std::getenv(name);
        old_ = old ? std::optional<std::string>(old) : std::nullopt;
        setenv(name, value.c_str(), 1);
    }

    ~ScopedVariable()
    {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// A sanitizer runtime insists on being loaded first; the fault library
// comes first on purpose.
std::string asanOptions()
{
    const char* inherited = std::getenv("ASAN_OPTIONS");
    const std::string options = inherited && *inherited ? std::string(inherited) + ":" : "";
    return options + "verify_asan_link_order=0";
}

// No 'pav ', 'ltln' or 'ant8' stream, so the edited payload is the only
// difference between the header read and the header written.
Header editedHeader()
{
    Header header;
    header.metas = {intAtom("strt", 1700000000), byteAtom("frmt", 2)};
    header.streams = {
        descriptor("gps ", 0, 0, 1, {intAtom("baud", 4800), intAtom("rate", 1)}),
        descriptor("clck", 3, 8, 2, {intAtom("tick", 32768)}),
    };
    return header;
}

constexpr int32_t kStream = 0;
constexpr int32_t kMeta = 1;
constexpr int32_t kValue = 5;

class WriteFailureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        path_ = dir_.path("rec.kevo");
        const Bytes packets = packetBytes(700);
        original_ = concat(encode(editedHeader()), packets);
        edited_ = concat(encode(withInt(editedHeader(), kStream, kMeta, kValue)), packets);
        writeFile(path_, original_);
    }

    RunResult runWithFault(const std::string& fault, int writesBeforeFault = 0)
    {
        return runWithFault(fault, editArgs(kStream, kMeta, kValue, path_), writesBeforeFault);
    }

    static RunResult runWithFault(const std::string& fault, const std::vector<std::string>& args,
                                  int writesBeforeFault = 0,
                                  const std::string& program = KEVO_MODIFY_PATH)
    {
        ScopedVariable preload("LD_PRELOAD", KEVO_WRITE_FAULTS_PATH);
        ScopedVariable asan("ASAN_OPTIONS", asanOptions());
        ScopedVariable name("KEVO_WRITE_FAULT", fault);
        ScopedVariable after("KEVO_WRITE_FAULT_AFTER", std::to_string(writesBeforeFault));
        return kevo_test::runProgram(program, args);
    }

    std::string textBeforeTheRewrite() const
    {
        return optionInfo(kStream, kMeta, kValue) + bannerLine() + dump(editedHeader(), path_);
    }

    std::string failedRewriteText(int reason) const
    {
        return textBeforeTheRewrite() + "# ERROR: unable to write the kevo header to " + path_ +
               ": " + std::strerror(reason) + "\n";
    }

    void expectUntouchedOrComplete() const
    {
        const Bytes now = readFile(path_);
        EXPECT_TRUE(now == original_ || now == edited_) << "the file holds part of an edit";
    }

    kevo_test::TempDir dir_;
    std::string path_;
    Bytes original_;
    Bytes edited_;
};

TEST_F(WriteFailureTest, LoadedWithoutAFaultTheEditSucceeds)
{
    const RunResult run = runWithFault("");

    expectRun(run, kSuccess, successText(kStream, kMeta, kValue, editedHeader(), path_));
    EXPECT_EQ(readFile(path_), edited_);
}

TEST_F(WriteFailureTest, ReopenRefusedLeavesTheFileAlone)
{
    const RunResult run = runWithFault("open-eacces");

    expectRun(run, kFailed, textBeforeTheRewrite() + openFailedLines(path_));
    EXPECT_EQ(readFile(path_), original_);
}

TEST_F(WriteFailureTest, FailedWriteAtAnyPointIsReported)
{
    int failedRuns = 0;
    bool succeeded = false;
    for (int good = 0; good < 100 && !succeeded; ++good) {
        SCOPED_TRACE("write fails after " + std::to_string(good) + " calls");
        const RunResult run = runWithFault("write-eio", good);
        if (run.status == kSuccess) {
            succeeded = true;
            expectRun(run, kSuccess, successText(kStream, kMeta, kValue, editedHeader(), path_));
            EXPECT_EQ(readFile(path_), edited_);
            continue;
        }
        ++failedRuns;
        expectRun(run, kFailed, failedRewriteText(EIO));
        expectUntouchedOrComplete();
        writeFile(path_, original_);
    }
    EXPECT_GT(failedRuns, 0);
    EXPECT_TRUE(succeeded) << "a run where no write fails must succeed";
}

TEST_F(WriteFailureTest, FailuresOnTheWayToTheDiskAreReported)
{
    const struct {
        const char* fault;
        int reason;
    } cases[] = {{"fsync-enospc", ENOSPC}, {"fsync-eio", EIO}, {"close-eio", EIO}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        writeFile(path_, original_);

        expectRun(runWithFault(c.fault), kFailed, failedRewriteText(c.reason));
        expectUntouchedOrComplete();
    }
}

// Where the lock cannot be had the edit goes on, but says so.
TEST_F(WriteFailureTest, LockThatCannotBeHadIsReportedOnce)
{
    const std::string warning = "# WARNING: cannot lock " + path_ + " (" +
                                std::strerror(ENOLCK) +
                                "), editing without waiting for other processes\n";
    const std::string waiting =
        "# INFO: waiting for another process to finish with " + path_ + "\n";
    const struct {
        const char* fault;
        std::string lines;
    } cases[] = {{"lock-enolck", warning}, {"lock-wait-fails", waiting + warning}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        writeFile(path_, original_);
        const std::string options = optionInfo(kStream, kMeta, kValue);
        const std::string edit = successText(kStream, kMeta, kValue, editedHeader(), path_);

        expectRun(runWithFault(c.fault), kSuccess, options + c.lines + edit.substr(options.size()));
        EXPECT_EQ(readFile(path_), edited_);
    }
}

// Another program saves its own file over the path once the edit holds its
// lock: before the write, which is then not made; or after it, when the
// edit went to the file it locked, which is no longer at the path. Neither
// is a success, and the file now at the path is left as that program wrote
// it.
TEST_F(WriteFailureTest, FileRenamedOverThePathMidEditIsNoSuccess)
{
    const std::string locked = dir_.path("locked.kevo");
    const Bytes replacement = concat(encode(withInt(editedHeader(), kStream, kMeta, 77)),
                                     packetBytes(300, 2));
    const std::string staged = dir_.path("staged.kevo");
    ScopedVariable saved("KEVO_REPLACEMENT", staged);
    const std::string replaced = "was replaced by another file during the edit; ";
    const std::string wentAstray = "the edit went to the file that was read, which is no longer "
                                   "at ";
    const struct {
        const char* fault;
        std::string program;
        std::vector<std::string> args;
        int status;
        std::string standardError;
        const Bytes& locked;
    } cases[] = {
        {"replace-after-lock", KEVO_MODIFY_PATH, editArgs(kStream, kMeta, kValue, path_), kFailed,
         textBeforeTheRewrite() + "# ERROR: " + path_ + " " + replaced + "nothing was written\n",
         original_},
        {"replace-before-sync", KEVO_MODIFY_PATH, editArgs(kStream, kMeta, kValue, path_),
         kFailed,
         textBeforeTheRewrite() + "# ERROR: " + path_ + " " + replaced + wentAstray + path_ + "\n",
         edited_},
        {"replace-before-sync", KEVO_EDIT_PATH, {"--set", "gps /rate=5", path_}, 1,
         "kevo-edit: " + path_ + ": " + replaced + wentAstray + "this path\n", edited_},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program + " " + c.fault);
        writeFile(path_, original_);
        std::remove(locked.c_str());
        ASSERT_EQ(link(path_.c_str(), locked.c_str()), 0);
        writeFile(staged, replacement);

        const RunResult run = runWithFault(c.fault, c.args, 0, c.program);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.standardError, c.standardError);
        EXPECT_EQ(readFile(locked), c.locked);
        EXPECT_EQ(readFile(path_), replacement);
    }
}

// An edit writes the four payload bytes and the fields the format fixes
// where the file differs, and nothing else of the header; those that share
// a page go out as one write, the bytes between them as they were.
TEST_F(WriteFailureTest, EditWritesOnlyWhatChanges)
{
    Header ltln;
    ltln.metas = {intAtom("strt", 1)};
    ltln.streams = {descriptor("ltln", 0, 12, 1, {intAtom("rate", 1)})};
    Header negativeCount;
    negativeCount.metas = {intAtom("strt", 1)};
    negativeCount.declaredStreamCount = -1;
    // Header layout: 20 fixed bytes; the file-level atom's 9 bytes and its
    // payload at 29; the stream count at 33; the stream descriptor at 37,
    // its packet size at 45; its atom at 53, that payload at 62.
    const struct {
        const char* name;
        Header header;
        int32_t stream;
        std::string writes;
    } cases[] = {
        {"ltln packet size 12, held as 24", ltln, 0, "45 21\n"},
        {"stream count -1, written as 0", negativeCount, kFileLevel, "29 8\n"},
    };
    const std::string log = dir_.path("writes.log");
    ScopedVariable logged("KEVO_WRITE_LOG", log);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(path_, concat(encode(c.header), packetBytes(64)));
        std::remove(log.c_str());

        EXPECT_EQ(runWithFault("", editArgs(c.stream, 0, 9, path_)).status, kSuccess);
        const Bytes writes = readFile(log);
        EXPECT_EQ(std::string(writes.begin(), writes.end()), c.writes);
        EXPECT_EQ(readFile(path_), concat(encode(asWritten(withInt(c.header, c.stream, 0, 9))),
                                          packetBytes(64)));
    }
}

TEST_F(WriteFailureTest, PathsThatAreNotFilesAreRejected)
{
    const std::string folder = dir_.path("folder.kevo");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    expectRun(runModify(editArgs(kStream, kMeta, kValue, folder)), kFailed,
              optionInfo(kStream, kMeta, kValue) + invalidHeaderLine() + badReaderTail());
    struct stat info;
    ASSERT_EQ(stat(folder.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));

    const std::string underAFile = path_ + "/rec.kevo";
    expectRun(runModify(editArgs(kStream, kMeta, kValue, underAFile)), kFailed,
              optionInfo(kStream, kMeta, kValue) + openFailedLines(underAFile) + badReaderTail());
    EXPECT_EQ(readFile(path_), original_);
}

}  // namespace
}  // namespace kevo_modify_test
