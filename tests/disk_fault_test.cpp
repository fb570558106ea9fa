// An edit whose sync failed with the kernel's own EIO, and its retry. After
// a failed sync the page cache can hold the new value while the disk holds
// the old one, so a retry that believed the cache would find nothing to do.
// As root, the test mounts an ext4 from a loop device over a file that a
// small FUSE daemon (faulty_disk.py) serves and fails a chosen write of,
// and checks the disk itself by mounting the ext4 again.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include "tests/modify_harness.h"

namespace kevo_modify_test {
namespace {

using kevo_test::intAtom;
using kevo_test::readFile;
using kevo_test::RunningProgram;
using kevo_test::runProgram;
using kevo_test::TempDir;

Header recordingHeader(int32_t mic)
{
    Header header;
    header.metas = {intAtom("strt", 1717243200)};
    header.streams = {descriptor("pav2", 1, 48, 1, {intAtom("intr", 100), intAtom("mic ", mic)})};
    return header;
}

Bytes recording(int32_t mic)
{
    return kevo_test::concat(kevo_test::encode(recordingHeader(mic)), kevo_test::packetBytes(8192));
}

// Where the file's first byte lies on its device, as the file system maps
// it, and so in the image under the loop device; false if it has no block.
bool deviceOffset(const std::string& path, uint64_t* offset)
{
    alignas(fiemap) char request[sizeof(fiemap) + sizeof(fiemap_extent)] = {};
    fiemap* map = reinterpret_cast<fiemap*>(request);
    map->fm_length = 1;
    map->fm_flags = FIEMAP_FLAG_SYNC;
    map->fm_extent_count = 1;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool mapped = ioctl(fd, FS_IOC_FIEMAP, map) == 0 && map->fm_mapped_extents == 1 &&
                        map->fm_extents[0].fe_logical == 0;
    close(fd);
    *offset = map->fm_extents[0].fe_physical;
    return mapped;
}

// Unmounts `folder`, lazily if it is busy; false when it had to be lazy, so
// that what it holds may still be in use.
bool unmount(const std::string& folder)
{
    return umount2(folder.c_str(), 0) == 0 || umount2(folder.c_str(), MNT_DETACH) != 0;
}

// Says on standard error what the machine lacks, then makes the folders $2
// and $3 and the ext4 in the sparse image $1, straight on the file, which is
// quicker than through the daemon. Its tables are written now and not
// lazily after the mount, when a background write could meet the armed
// failure.
const char* const kMakeScript = R"(PATH=$PATH:/usr/sbin:/sbin
for need in losetup mkfs.ext4 /dev/fuse /dev/loop-control; do
    command -v $need >/dev/null || [ -e $need ] || { echo no $need >&2; exit 1; }; done
truncate -s 16M "$1" && mkdir "$2" "$3" &&
mkfs.ext4 -q -F -b 4096 -E lazy_itable_init=0,lazy_journal_init=0 "$1")";

// Attaches the served image $1 to a loop device and mounts its ext4 on $2.
// The device is printed once attached, so that it is detached even when
// the mount fails.
const char* const kAttachScript = R"(PATH=$PATH:/usr/sbin:/sbin
device=$(losetup --find --show "$1") && echo "$device" && mount -t ext4 "$device" "$2")";

// An ext4 on a disk that fails the writes it is told to, mounted while the
// object lives. The destructor, which also runs after a failed assertion,
// unmounts the ext4, detaches the loop device and unmounts the FUSE file
// system, which ends its daemon.
class FaultyExt4 {
public:
    FaultyExt4()
    {
        if (geteuid() != 0) {
            why_ = "not root, so no FUSE, loop device or mount";
            return;
        }
        const std::string image = dir_.path("backing.img");
        const RunResult made =
            runProgram("/bin/sh", {"-c", kMakeScript, "sh", image, fuse(), folder()});
        if (made.status != 0) {
            why_ = "making the image exited with " + std::to_string(made.status) + ": " +
                   made.standardError;
            return;
        }
        daemon_ = std::make_unique<RunningProgram>(
            "/usr/bin/python3", std::vector<std::string>{KEVO_FAULTY_DISK_PATH, image, fuse()});
        if (!daemon_->waitForErrorEnding("mounted\n", 10)) {
            daemon_->kill(SIGKILL);
            why_ = "the FUSE daemon did not start: " + daemon_->finish().standardError;
            return;
        }
        const RunResult run =
            runProgram("/bin/sh", {"-c", kAttachScript, "sh", fuse() + "disk.img", folder()});
        device_ = run.standardOutput.substr(0, run.standardOutput.find('\n'));
        if (run.status != 0) {
            why_ = "attaching and mounting it exited with " + std::to_string(run.status) + ": " +
                   run.standardError;
        }
    }
    ~FaultyExt4()
    {
        unmount(folder());
        if (!device_.empty()) {
            runProgram("/bin/sh", {"-c", "PATH=$PATH:/usr/sbin:/sbin losetup -d $0", device_});
        }
        // Unmounted, the daemon ends by itself; lazily unmounted, it would go
        // on serving whatever still holds the image.
        if (daemon_) {
            if (!unmount(fuse())) {
                daemon_->kill(SIGKILL);
            }
            daemon_->finish();
        }
    }

    const std::string& why() const { return why_; }  // empty once mounted
    std::string folder() const { return dir_.path("ext4/"); }

    // Unmounts and mounts the ext4 again: what was written is on the disk,
    // and what is read from here on comes from the disk.
    bool remount() const
    {
        return umount2(folder().c_str(), 0) == 0 &&
               mount(device_.c_str(), folder().c_str(), "ext4", 0, nullptr) == 0;
    }

    // The next write to the image that covers `offset` fails, once.
    void failWriteAt(uint64_t offset) const
    {
        const std::string text = std::to_string(offset);
        kevo_test::writeFile(fuse() + "fail", Bytes(text.begin(), text.end()));
    }

private:
    std::string fuse() const { return dir_.path("fuse/"); }

    TempDir dir_;
    std::unique_ptr<RunningProgram> daemon_;
    std::string device_;
    std::string why_;
};

struct Outcome {
    int status;
    std::string standardError;
    std::string standardOutput;
};

void expectOutcome(const RunResult& run, const Outcome& outcome)
{
    EXPECT_EQ(run.status, outcome.status);
    EXPECT_EQ(run.standardError, outcome.standardError);
    EXPECT_EQ(run.standardOutput, outcome.standardOutput);
}

TEST(DiskFaultTest, AnEditWhoseSyncFailedIsRedoneFromTheDisk)
{
    const FaultyExt4 disk;
    if (!disk.why().empty()) {
        GTEST_SKIP() << "no ext4 on a faulty disk: " << disk.why();
    }
    const std::string path = disk.folder() + "rec.kevo";
    const std::string eio = std::strerror(EIO);
    const Outcome editFailed{1, "kevo-edit: " + path + ": cannot sync to disk: " + eio + "\n", ""};
    const Outcome edited{0, "", path + ": pav2/mic 800 -> 900\n"};
    const std::string beforeRewrite =
        optionInfo(0, 1, 900) + bannerLine() + dump(recordingHeader(800), path);
    const struct {
        const char* program;
        std::vector<std::string> args;
        Outcome failed;
        Outcome retried;
        int32_t held;  // once the ext4 is mounted again
    } cases[] = {
        {KEVO_EDIT_PATH, {"--set", "pav2/mic=900", path}, editFailed, edited, 900},
        {KEVO_EDIT_PATH, {"--if", "pav2/mic=800", "--set", "pav2/mic=900", path}, editFailed,
         edited, 900},
        {KEVO_MODIFY_PATH, editArgs(0, 1, 900, path),
         {kFailed, beforeRewrite + "# ERROR: unable to write the kevo header to " + path + ": " +
                       eio + "\n", ""},
         {kSuccess, successText(0, 1, 900, recordingHeader(800), path), ""}, 900},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.program) + " " + c.args.front());
        kevo_test::writeFile(path, recording(800));
        ASSERT_TRUE(disk.remount());
        uint64_t offset = 0;  // of the block that holds the header
        ASSERT_TRUE(deviceOffset(path, &offset));
        disk.failWriteAt(offset);

        expectOutcome(runProgram(c.program, c.args), c.failed);
        expectOutcome(runProgram(c.program, c.args), c.retried);
        ASSERT_TRUE(disk.remount());
        EXPECT_TRUE(readFile(path) == recording(c.held)) << "the disk holds no mic " << c.held;
    }
}

}  // namespace
}  // namespace kevo_modify_test
