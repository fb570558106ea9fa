// An edit of a value across a 4096-byte sector: one untorn block where the
// file system takes atomic writes, so a power cut leaves it old or new; the
// four bytes alone elsewhere. As root, a scratch XFS is mounted from a loop
// device for the test, and its edit must match the temporary folder's.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/modify_harness.h"

// Older C library headers do not name them yet (Linux 6.11).
#ifndef STATX_WRITE_ATOMIC
#define STATX_WRITE_ATOMIC 0x00010000U
#endif
#ifndef STATX_ATTR_WRITE_ATOMIC
#define STATX_ATTR_WRITE_ATOMIC 0x00400000
#endif

namespace kevo_modify_test {
namespace {

using kevo_test::readFile;
using kevo_test::runProgram;
using kevo_test::TempDir;

// 20 fixed bytes; 'note' at 20 with 4056 payload bytes; 'mark' at 4085, its
// payload at 4094. Packet data make the file longer than the block.
constexpr unsigned long long kFieldOffset = 4094;
constexpr int32_t kValue = 0x5a5a539b;  // c1 09 00 00 becomes 9b 53 5a 5a

Bytes recording(int32_t mark)
{
    Header header;
    header.metas = {kevo_test::rawAtom("note", 's', Bytes(4056, 'n')),
                    kevo_test::intAtom("mark", mark)};
    return kevo_test::concat(kevo_test::encode(header), kevo_test::packetBytes(8192));
}

const struct Tool {
    const char* program;
    std::vector<std::string> args;
    int success;
    const char* untornSays;  // in standard output
    const char* plainSays;
} kTools[] = {
    {KEVO_MODIFY_PATH, editArgs(kFileLevel, 1, kValue, "rec.kevo"), kSuccess, "", ""},
    {KEVO_EDIT_PATH, {"--json", "--set", "mark=" + std::to_string(kValue), "rec.kevo"}, 0,
     "\"untorn\": true", "\"untorn\": false"},
};

bool offersAtomicWrites(const std::string& path)
{
    struct statx info {};
    return statx(AT_FDCWD, path.c_str(), 0, STATX_WRITE_ATOMIC, &info) == 0 &&
           (info.stx_mask & STATX_WRITE_ATOMIC) != 0 &&
           (info.stx_attributes & STATX_ATTR_WRITE_ATOMIC) != 0;
}

struct Edit {
    RunResult run;
    std::string writes;  // the fault library's write log
    Bytes file;
};

// A fresh rec.kevo in `folder` (ending in "/"), edited from there so that
// the tools print the same path on every file system, under the fault
// library with no fault and its write log on; a sanitizer runtime is told
// that it is not loaded first.
Edit editIn(const Tool& tool, const std::string& folder, const std::string& log,
            const std::string& fault = "")
{
    const std::string path = folder + "rec.kevo";
    kevo_test::writeFile(path, recording(0x9c1));
    std::remove(log.c_str());
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::vector<std::string> command = {
        "--chdir", folder, std::string("LD_PRELOAD=") + KEVO_WRITE_FAULTS_PATH,
        "KEVO_WRITE_LOG=" + log, "KEVO_WRITE_FAULT=" + fault,
        "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":verify_asan_link_order=0",
        tool.program};
    command.insert(command.end(), tool.args.begin(), tool.args.end());
    const RunResult run = runProgram("/usr/bin/env", command);
    const Bytes writes = readFile(log);
    return Edit{run, std::string(writes.begin(), writes.end()), readFile(path)};
}

// Makes an XFS in the image $1, 300 MiB (the smallest mkfs.xfs makes), and
// mounts it on $2. The loop device is printed once it is attached, so that
// it is detached even when the mount fails; a missing tool or a failed step
// is said on standard error.
const char* const kMountScript = R"(PATH=$PATH:/usr/sbin:/sbin
for tool in losetup mkfs.xfs; do command -v $tool >/dev/null || { echo no $tool >&2; exit 1; }; done
[ -e /dev/loop-control ] || { echo no /dev/loop-control >&2; exit 1; }
truncate -s 300M "$1" && mkfs.xfs -q "$1" && mkdir "$2" &&
device=$(losetup --find --show "$1") && echo "$device" && mount -t xfs "$device" "$2")";

// A scratch XFS mounted while the object lives, unmounted and detached by
// the destructor, also after a failed assertion, before its folder goes.
class ScratchXfs {
public:
    ScratchXfs()
    {
        if (geteuid() != 0) {
            why_ = "not root, so no loop device and no mount";
            return;
        }
        const RunResult run =
            runProgram("/bin/sh", {"-c", kMountScript, "sh", dir_.path("xfs.img"), folder()});
        device_ = run.standardOutput.substr(0, run.standardOutput.find('\n'));
        if (run.status != 0) {
            why_ = "making and mounting it exited with " + std::to_string(run.status) + ": " +
                   run.standardError;
        }
    }
    ~ScratchXfs()
    {
        if (umount2(folder().c_str(), 0) != 0) {
            umount2(folder().c_str(), MNT_DETACH);
        }
        if (!device_.empty()) {
            runProgram("/bin/sh", {"-c", "PATH=$PATH:/usr/sbin:/sbin losetup -d $0", device_});
        }
    }

    const std::string& why() const { return why_; }  // empty once mounted
    std::string folder() const { return dir_.path("mnt/"); }

private:
    TempDir dir_;
    std::string device_;
    std::string why_;
};

TEST(UntornWriteTest, WithoutAtomicWritesAnEditWritesOnlyTheField)
{
    const TempDir plain;
    kevo_test::writeFile(plain.path("rec.kevo"), {});
    if (offersAtomicWrites(plain.path("rec.kevo"))) {
        GTEST_SKIP() << "the temporary folder's file system takes atomic writes";
    }
    for (const Tool& tool : kTools) {
        SCOPED_TRACE(tool.program);
        const Edit edit = editIn(tool, plain.path(""), plain.path("writes.log"));

        EXPECT_EQ(edit.run.status, tool.success) << edit.run.standardError;
        EXPECT_EQ(edit.writes, "4094 4\n");
        EXPECT_NE(edit.run.standardOutput.find(tool.plainSays), std::string::npos);
        EXPECT_EQ(edit.file, recording(kValue));
    }
}

TEST(UntornWriteTest, OnXfsAnEditAcrossASectorIsOneAtomicBlock)
{
    const ScratchXfs xfs;
    if (!xfs.why().empty()) {
        GTEST_SKIP() << "no scratch XFS: " << xfs.why();
    }
    kevo_test::writeFile(xfs.folder() + "rec.kevo", {});
    if (!offersAtomicWrites(xfs.folder() + "rec.kevo")) {
        GTEST_SKIP() << "statx reports no atomic writes on this XFS (Linux 6.11 and later)";
    }
    const TempDir plain;
    for (const Tool& tool : kTools) {
        SCOPED_TRACE(tool.program);
        const Edit untorn = editIn(tool, xfs.folder(), plain.path("xfs-writes.log"));
        const Edit plainEdit = editIn(tool, plain.path(""), plain.path("writes.log"));

        // One naturally aligned power-of-two block that holds the field.
        unsigned long long start = 0;
        unsigned long long size = 0;
        std::istringstream(untorn.writes) >> start >> size;
        EXPECT_EQ(untorn.writes, std::to_string(start) + " " + std::to_string(size) + " atomic\n");
        EXPECT_TRUE(size > 0 && (size & (size - 1)) == 0 && start % size == 0) << untorn.writes;
        EXPECT_TRUE(start <= kFieldOffset && kFieldOffset + 4 <= start + size) << untorn.writes;

        EXPECT_EQ(untorn.run.status, tool.success);
        EXPECT_EQ(untorn.run.standardError, plainEdit.run.standardError);
        EXPECT_NE(untorn.run.standardOutput.find(tool.untornSays), std::string::npos);
        EXPECT_EQ(untorn.file, recording(kValue));

        // Free space in pieces too small for the block: the plain write
        // still fits, and is made.
        const Edit fallback =
            editIn(tool, xfs.folder(), plain.path("xfs-writes.log"), "atomic-enospc");
        EXPECT_EQ(fallback.writes, untorn.writes + "4094 4\n");
        EXPECT_EQ(fallback.run.status, tool.success);
        EXPECT_EQ(fallback.run.standardError, plainEdit.run.standardError);
        EXPECT_NE(fallback.run.standardOutput.find(tool.plainSays), std::string::npos);
        EXPECT_EQ(fallback.file, recording(kValue));
    }
}

}  // namespace
}  // namespace kevo_modify_test
