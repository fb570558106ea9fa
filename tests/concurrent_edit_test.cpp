// What kevo-modify edits, with other processes about: paths that cannot be
// rewritten in place, edits of one file that must wait for each other but
// not for a flock(1) wrapper, and what a run that is stopped while waiting
// leaves on standard error.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/modify_harness.h"

namespace kevo_modify_test {
namespace {

using kevo_test::concat;
using kevo_test::encode;
using kevo_test::intAtom;
using kevo_test::packetBytes;
using kevo_test::readFile;
using kevo_test::RunningProgram;
using kevo_test::writeFile;

constexpr int kEditors = 8;
constexpr int kRounds = 20;
constexpr int kPatienceSeconds = 10;

Header eightAtoms()
{
    std::vector<Atom> atoms;
    for (int i = 0; i < kEditors; ++i) {
        atoms.push_back(intAtom("at" + std::to_string(i) + " ", 100 + i));
    }
    Header header;
    header.streams = {descriptor("wifi", 0, 0, 1, atoms)};
    return header;
}

std::string waitingLine(const std::string& path)
{
    return "# INFO: waiting for another process to finish with " + path + "\n";
}

// Holds a lock on the file, as another editor would (an open-file-description
// write lock, the kind an edit takes) or as a script serialising its edits
// with flock(1) would.
class HeldLock {
public:
    enum Kind { Editor, Flock };

    explicit HeldLock(const std::string& path, Kind kind = Editor)
        : fd_(open(path.c_str(), O_RDWR | O_CLOEXEC))
    {
        if (kind == Flock) {
            EXPECT_EQ(flock(fd_, LOCK_EX), 0);
            return;
        }
        struct flock whole {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        EXPECT_EQ(fcntl(fd_, F_OFD_SETLK, &whole), 0);
    }
    ~HeldLock() { release(); }
    void release()
    {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }

private:
    int fd_;
};

class ConcurrentEditTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        path_ = dir_.path("rec.kevo");
        packets_ = packetBytes(4096);
        writeFile(path_, concat(encode(eightAtoms()), packets_));
    }

    std::unique_ptr<RunningProgram> startEdit(int32_t meta, int32_t value) const
    {
        return std::make_unique<RunningProgram>(KEVO_MODIFY_PATH, editArgs(0, meta, value, path_));
    }

    // The same edit through kevo-edit, which takes the same lock.
    std::unique_ptr<RunningProgram> startNamedEdit(int32_t meta, int32_t value) const
    {
        const std::string set = "wifi/#" + std::to_string(meta) + "=" + std::to_string(value);
        return std::make_unique<RunningProgram>(KEVO_EDIT_PATH,
                                                std::vector<std::string>{"--set", set, path_});
    }

    kevo_test::TempDir dir_;
    std::string path_;
    kevo_test::Bytes packets_;
};

TEST_F(ConcurrentEditTest, PathsThatCannotBeRewrittenInPlaceAreRefusedWithoutWaiting)
{
    const std::string fifo = dir_.path("fifo.kevo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    for (const std::string& path : {fifo, std::string("/dev/zero")}) {
        SCOPED_TRACE(path);
        const std::string expected =
            optionInfo(0, 0, 1) + "# ERROR: cannot modify " + path +
            " in place, it is not a regular file\n";
        RunningProgram run(KEVO_MODIFY_PATH, editArgs(0, 0, 1, path));
        EXPECT_TRUE(run.waitForErrorEnding(expected, kPatienceSeconds));
        expectRun(run.finish(), kFailed, expected);
    }
    struct stat info;
    ASSERT_EQ(stat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

// Half the edits come from kevo-modify, half from kevo-edit.
TEST_F(ConcurrentEditTest, EditsOfOneFileStartedTogetherAreAllKept)
{
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Header expected = eightAtoms();
        std::vector<std::unique_ptr<RunningProgram>> editors;
        for (int meta = 0; meta < kEditors; ++meta) {
            const int32_t value = 1000 * (round + 1) + meta;
            expected = withInt(expected, 0, meta, value);
            editors.push_back(meta % 2 == 0 ? startEdit(meta, value)
                                            : startNamedEdit(meta, value));
        }
        for (size_t meta = 0; meta < editors.size(); ++meta) {
            EXPECT_EQ(editors[meta]->finish().status, meta % 2 == 0 ? kSuccess : 0);
        }
        ASSERT_EQ(readFile(path_), concat(encode(expected), packets_));
    }
}

TEST_F(ConcurrentEditTest, RunStoppedWhileWaitingHasPrintedItsLines)
{
    const kevo_test::Bytes before = readFile(path_);
    HeldLock other(path_);
    auto waiting = startEdit(2, 7);
    const std::string printed = optionInfo(0, 2, 7) + waitingLine(path_);

    ASSERT_TRUE(waiting->waitForErrorEnding(printed, kPatienceSeconds));
    waiting->kill(SIGTERM);
    const RunResult run = waiting->finish();

    EXPECT_EQ(run.signal, SIGTERM);
    EXPECT_EQ(run.standardError, printed);
    EXPECT_EQ(readFile(path_), before);
}

// A script that already takes flock(1) on the file around each edit, which
// an edit's own lock must not wait for.
TEST_F(ConcurrentEditTest, EditInsideAFlockWrapperDoesNotWaitForIt)
{
    HeldLock wrapper(path_, HeldLock::Flock);
    RunningProgram run(KEVO_MODIFY_PATH, editArgs(0, 3, 33, path_));
    const std::string edited = successText(0, 3, 33, eightAtoms(), path_);

    ASSERT_TRUE(run.waitForErrorEnding(edited, kPatienceSeconds));
    expectRun(run.finish(), kSuccess, edited);
    EXPECT_EQ(readFile(path_), concat(encode(withInt(eightAtoms(), 0, 3, 33)), packets_));
}

// An editor that saves by renaming a new file over the old one: the edit
// that waited follows the path to the file it names now.
TEST_F(ConcurrentEditTest, FileReplacedWhileWaitingIsTheOneEdited)
{
    const std::string oldLink = dir_.path("old.kevo");
    ASSERT_EQ(link(path_.c_str(), oldLink.c_str()), 0);
    const kevo_test::Bytes oldBytes = readFile(path_);
    Header replacement = withInt(eightAtoms(), 0, 5, 55);
    const std::string staged = dir_.path("staged.kevo");
    writeFile(staged, concat(encode(replacement), packets_));

    HeldLock other(path_);
    auto waiting = startEdit(5, 66);
    ASSERT_TRUE(waiting->waitForErrorEnding(optionInfo(0, 5, 66) + waitingLine(path_),
                                            kPatienceSeconds));
    ASSERT_EQ(rename(staged.c_str(), path_.c_str()), 0);
    other.release();
    const RunResult run = waiting->finish();

    expectRun(run, kSuccess,
              optionInfo(0, 5, 66) + waitingLine(path_) + bannerLine() +
                  dump(replacement, path_) + dump(withInt(replacement, 0, 5, 66), path_));
    EXPECT_EQ(readFile(path_), concat(encode(withInt(replacement, 0, 5, 66)), packets_));
    EXPECT_EQ(readFile(oldLink), oldBytes);
}

}  // namespace
}  // namespace kevo_modify_test
