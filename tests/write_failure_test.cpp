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

#include <sys/stat.h>

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
        ScopedVariable preload("LD_PRELOAD", KEVO_WRITE_FAULTS_PATH);
        ScopedVariable asan("ASAN_OPTIONS", asanOptions());
        ScopedVariable name("KEVO_WRITE_FAULT", fault);
        ScopedVariable after("KEVO_WRITE_FAULT_AFTER", std::to_string(writesBeforeFault));
        return runModify(editArgs(kStream, kMeta, kValue, path_));
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
    } cases[] = {{"flush-enospc", ENOSPC}, {"fsync-eio", EIO}, {"close-eio", EIO}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        writeFile(path_, original_);

        expectRun(runWithFault(c.fault), kFailed, failedRewriteText(c.reason));
        expectUntouchedOrComplete();
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
