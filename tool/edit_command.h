// `kevo-edit`: sets integer meta values of KEVO headers in place, by name,
// several values and many files in one run.
//
//   kevo-edit [OPTION]... [--if SEL=VALUE]... --set SEL=VALUE... FILE...
//   kevo-edit [OPTION]... [--if SEL=VALUE]... --from TABLE
//   kevo-edit [OPTION]... --revert REPORT
//
// Each file is its own unit, as with sed -i: it is held, locked, read and
// checked, then only the values that differ are written and synced, and
// only then is it reported; a file that fails is named on standard error
// and the run goes on. The product, one line per --set of each file or one
// JSON array, goes to standard output.
#pragma once

#include <cstddef>
#include <vector>

#include "cli/kevo_cli.h"
#include "edit/kevo_edit.h"
#include "tool/edit_plans.h"

// Syncs of many files overlap where they are in flight together: the file
// system commits them as one. Measured on this project's machine (bench/run,
// 10,000 sample recordings on ext4): 16 at once took 0.3 of the time of one
// at a time, and more gained little; a network file system, where each sync
// is a round trip, gains from more still.
constexpr size_t KEVO_EDIT_DEFAULT_JOBS = 16;

struct kevo_editCommandLine {
    kevo_editRequest request;
    bool json = false;
    bool quiet = false;
    size_t jobs = KEVO_EDIT_DEFAULT_JOBS;
    kevo_fileSelection selection;
    std::vector<const char*> files;  // pointers into argv
    const char* table = nullptr;     // --from
    const char* report = nullptr;    // --revert
    // With --from or --revert, what to do to each file, read and checked
    // before any file is opened; the files are theirs.
    std::vector<kevo_filePlan> plans;
};

// Reads kevo-edit's command line, from a fresh start each time. Returns -1
// when the edit is to run; otherwise the exit status, --help or --version
// printed (0), or a usage error's reason printed on standard error, nothing
// opened (2).
int kevo_parseEditCommandLine(int argc, char** argv, kevo_editCommandLine* out);

// Runs the command and returns its exit status: 0 when no file failed
// (edited, unchanged or skipped), 1 when one did or standard output could
// not be written, 2 on a usage error, before any file is opened, and 128
// plus the signal's number when SIGINT, SIGTERM or SIGHUP stopped it.
int kevo_editMain(int argc, char** argv);
