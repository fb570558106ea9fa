// The tools run as a shell, a cron job or a service manager may start them:
// with standard descriptors closed, under memory and descriptor limits, on a
// read-only mount. Whatever they can or cannot do there, the recording must
// end as it was or exactly as edited, and the exit status must say which.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/modify_harness.h"

namespace kevo_modify_test {
namespace {

using namespace kevo_test;

// Both boards, so that kevo-modify's decoder sets up all 25 channels.
Header sample()
{
    Header header;
    header.metas = {intAtom("strt", 1)};
    header.streams = {descriptor("pav2", 0, 48, 1, {intAtom("intr", 100), intAtom("mic ", 800)}),
                      descriptor("rok ", 0, 40, 2, {intAtom("gyro", 100)})};
    return header;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

enum class After { Untouched, Edited };

// The recording is the tool's last argument.
constexpr const char* kAppendOutput = "for last; do :; done; exec >>\"$last\"";
constexpr const char* kAppendError = "for last; do :; done; exec 2>>\"$last\"";

struct Environment {
    const char* name;
    const char* setUp;  // shell commands run before the tool is exec'ed
    const char* tool;
    int status;
    After after;
};

// Each tool edits (or shows) 'pav2'/'mic ' from 800 to 1000.
std::vector<std::string> argsFor(const std::string& tool, const std::string& path)
{
    if (tool == KEVO_MODIFY_PATH) {
        return editArgs(0, 1, 1000, path);
    }
    if (tool == KEVO_EDIT_PATH) {
        return {"--set", "pav2/mic=1000", path};
    }
    return {path};
}

RunResult runIn(const Environment& environment, const std::string& path)
{
    std::vector<std::string> args = {"-c", std::string(environment.setUp) + "; exec \"$0\" \"$@\"",
                                     environment.tool};
    const std::vector<std::string> toolArgs = argsFor(environment.tool, path);
    args.insert(args.end(), toolArgs.begin(), toolArgs.end());
    return runProgram("/bin/sh", args);
}

class HostileEnvironmentTest : public ::testing::Test {
protected:
    Bytes original() const { return concat(encode(sample()), packetBytes(8192)); }
    Bytes edited() const
    {
        return concat(encode(withInt(sample(), 0, 1, 1000)), packetBytes(8192));
    }

    void expectAll(const std::vector<Environment>& environments, const std::string& path,
                   bool rewrite = true)
    {
        for (const Environment& environment : environments) {
            SCOPED_TRACE(environment.name);
            // AddressSanitizer reserves terabytes of shadow memory at start,
            // and UndefinedBehaviorSanitizer's checks need descriptors of
            // their own: limits are tried on the plain build only.
            if (kSanitized && std::string(environment.setUp).rfind("ulimit", 0) == 0) {
                continue;
            }
            if (rewrite) {
                writeFile(path, original());
            }
            const RunResult run = runIn(environment, path);
            EXPECT_EQ(run.status, environment.status) << run.standardError;
            EXPECT_EQ(run.signal, 0);
            EXPECT_EQ(readFile(path), environment.after == After::Edited ? edited() : original());
        }
    }

    TempDir dir_;
};

TEST_F(HostileEnvironmentTest, ClosedDescriptorsAndLimitsNeverTurnIntoWrongBytes)
{
    const int kModified = kSuccess;
    const std::vector<Environment> environments = {
        // A recording opened onto a closed descriptor would receive the
        // messages or the report meant for it.
        {"kevo-modify, standard error closed", "exec 2>&-", KEVO_MODIFY_PATH, kModified,
         After::Edited},
        {"kevo-modify, standard input and output closed", "exec 0<&- 1>&-", KEVO_MODIFY_PATH,
         kModified, After::Edited},
        {"kevo-edit, standard input and error closed", "exec 0<&- 2>&-", KEVO_EDIT_PATH, 0,
         After::Edited},
        // The edit is made and synced; only its report is lost, which is no
        // success.
        {"kevo-edit, standard output closed", "exec 1>&-", KEVO_EDIT_PATH, 1, After::Edited},
        {"kevo-info, standard output closed", "exec 1>&-", KEVO_INFO_PATH, 1, After::Untouched},
        {"kevo-info, everything closed", "exec 0<&- 1>&- 2>&-", KEVO_INFO_PATH, 1,
         After::Untouched},
        // The decoder's channel buffers do not fit: refused before the write.
        {"kevo-modify, 32 MiB of address space", "ulimit -v 32768", KEVO_MODIFY_PATH, kFailed,
         After::Untouched},
        {"kevo-edit, 32 MiB of address space", "ulimit -v 32768", KEVO_EDIT_PATH, 0,
         After::Edited},
        {"kevo-info, 48 MiB of address space", "ulimit -v 49152", KEVO_INFO_PATH, 0,
         After::Untouched},
        // Room for the standard descriptors and the file, not for the copy
        // that reads it.
        {"kevo-modify, four descriptors", "ulimit -n 4", KEVO_MODIFY_PATH, kFailed,
         After::Untouched},
        {"kevo-edit, four descriptors", "ulimit -n 4", KEVO_EDIT_PATH, 1, After::Untouched},
        {"kevo-info, four descriptors", "ulimit -n 4", KEVO_INFO_PATH, 0, After::Untouched},
        // Output appended to the recording itself would land after its
        // packet data: the file is refused, and nothing said into it.
        {"kevo-edit >> the recording", kAppendOutput, KEVO_EDIT_PATH, 1, After::Untouched},
        {"kevo-edit 2>> the recording", kAppendError, KEVO_EDIT_PATH, 1, After::Untouched},
        {"kevo-modify >> the recording", kAppendOutput, KEVO_MODIFY_PATH, kFailed,
         After::Untouched},
        {"kevo-modify 2>> the recording", kAppendError, KEVO_MODIFY_PATH, kFailed,
         After::Untouched},
    };
    expectAll(environments, dir_.path("rec.kevo"));
}

// A mount made read-only under the tools: they must say so, not pretend.
class ReadOnlyMount {
public:
    explicit ReadOnlyMount(const std::string& folder) : folder_(folder)
    {
        mounted_ = mount("kevo-test", folder.c_str(), "tmpfs", 0, "size=1m") == 0;
    }
    ~ReadOnlyMount()
    {
        if (mounted_) {
            umount2(folder_.c_str(), MNT_DETACH);
        }
    }
    ReadOnlyMount(const ReadOnlyMount&) = delete;
    ReadOnlyMount& operator=(const ReadOnlyMount&) = delete;

    bool mounted() const { return mounted_; }
    bool makeReadOnly()
    {
        return mount(nullptr, folder_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

private:
    std::string folder_;
    bool mounted_ = false;
};

TEST_F(HostileEnvironmentTest, ReadOnlyMountIsReportedAndLeftAlone)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a read-only file system needs root";
    }
    const std::string folder = dir_.path("ro");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ReadOnlyMount mounted(folder);
    if (!mounted.mounted()) {
        GTEST_SKIP() << "this machine lets no tmpfs be mounted";
    }
    const std::string path = folder + "/rec.kevo";
    writeFile(path, original());
    ASSERT_TRUE(mounted.makeReadOnly());
    const std::vector<Environment> environments = {
        {"kevo-modify", ":", KEVO_MODIFY_PATH, kFailed, After::Untouched},
        {"kevo-edit", ":", KEVO_EDIT_PATH, 1, After::Untouched},
        {"kevo-info", ":", KEVO_INFO_PATH, 0, After::Untouched},
    };
    expectAll(environments, path, false);
    const RunResult edit = runProgram(KEVO_EDIT_PATH, {"--set", "strt=2", path});
    EXPECT_EQ(edit.standardError, "kevo-edit: " + path + ": Read-only file system\n");
}

}  // namespace
}  // namespace kevo_modify_test
