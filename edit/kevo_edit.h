// The safe edit of a KEVO header in place, shared by kevo-modify, kevo-edit
// and any program that links kevo::edit. Nothing here prints: every routine
// reports what happened and leaves the wording to its caller.
//
// One edit of one file, in order:
//   1. open the path once, without blocking, refusing what cannot be
//      rewritten in place (a FIFO, a socket, a character device);
//   2. take an open-file-description lock over the whole file (F_OFD_SETLK,
//      F_OFD_SETLKW): exclusive for an edit, shared for a look, so that
//      edits of one file wait for each other and nothing in this process
//      can drop the lock by closing another descriptor of the file;
//   3. read the header through that open file description, never through
//      the path again, so a rename or a symlink flip cannot make the edit
//      read one file and write another;
//   4. resolve the atoms and check every request before anything is
//      written;
//   5. write only the ranges that change, as one untorn block where the
//      file system offers atomic writes (statx STATX_WRITE_ATOMIC,
//      pwritev2 RWF_ATOMIC), else one positional write per range;
//   6. sync once, and check that the path still names the file written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "container/kevo_container.h"

// ---------------------------------------------------------------------------
// Numbers given on a command line

enum class kevo_numberForm { Whole, NotWhole, OutOfRange };

// The values an 'i' atom takes: signed or unsigned 32-bit, stored as the bit
// pattern, which is what a user storing an unsigned value means.
constexpr int64_t KEVO_VALUE_MIN = INT32_MIN;
constexpr int64_t KEVO_VALUE_MAX = UINT32_MAX;

// Reads `text` only when all of it is one whole decimal number: blanks, an
// optional sign, digits, blanks. A number outside [min, max] is OutOfRange,
// never wrapped; anything else ("", "abc", "0x10", "1e3") is NotWhole.
kevo_numberForm kevo_parseWholeNumber(const char* text, int64_t min, int64_t max, int64_t* value);

// ---------------------------------------------------------------------------
// One file, held from the open to the close

enum kevo_holdMode {
    // Read-only with a shared lock: a look that waits for edits in progress.
    KEVO_HOLD_READ,
    // Read-write with an exclusive lock; a file that cannot be opened for
    // writing is not held.
    KEVO_HOLD_WRITE,
    // Read-write where the file permits, else read-only and unlocked, so
    // that a read-only file can still be read and shown.
    KEVO_HOLD_WRITE_IF_ALLOWED,
};

enum kevo_holdResult {
    KEVO_HOLD_OPENED,
    // Nothing is held; errno says why. With KEVO_HOLD_READ and
    // KEVO_HOLD_WRITE a directory is EISDIR.
    KEVO_HOLD_FAILED,
    // A FIFO, a socket or a character device: refused before it was opened
    // for reading, so the refusal never blocks.
    KEVO_HOLD_NOT_IN_PLACE,
    // Another process held the lock for longer than the wait allowed.
    KEVO_HOLD_LOCKED_OUT,
};

struct kevo_lockWait {
    double seconds = -1;  // below 0: as long as it takes
    // Called once, before the first wait, so that the caller can say why it
    // seems to hang.
    std::function<void()> announce;
};

// Which step of a write failed: a write, or the sync and the close after it.
enum kevo_writeStep { KEVO_WRITE_OK, KEVO_WRITE_FAILED, KEVO_SYNC_FAILED };

struct kevo_writeOutcome {
    bool untorn = false;  // made as one atomic write, old or new on a power cut
    kevo_writeStep step = KEVO_WRITE_OK;
};

class kevo_heldFile {
public:
    kevo_heldFile() = default;
    // Closes the description, which releases the lock.
    ~kevo_heldFile();
    kevo_heldFile(const kevo_heldFile&) = delete;
    kevo_heldFile& operator=(const kevo_heldFile&) = delete;

    // Opens `path` once and locks it as `mode` says. When the lock is busy,
    // calls wait.announce once, then waits as wait.seconds allows. A path
    // that another file took over while this waited is followed to the file
    // it names now, a few times at most. Where the lock cannot be had at all
    // (a file system without locks), the file is still held and
    // lockError() says why.
    kevo_holdResult hold(const char* path, kevo_holdMode mode, const kevo_lockWait& wait);

    // A new stream that reads the held file from its first byte, through
    // the held description; the caller owns it. Null when nothing is held or
    // no descriptor is left.
    FILE* openStream() const;

    // True when the held description was opened for writing.
    bool writable() const { return fd_ >= 0 && writable_; }

    // errno of a lock that could not be had, 0 when it was or none was asked.
    int lockError() const { return lockError_; }

    // Writes the ranges and syncs them. Where statx says the file takes
    // atomic writes and every range fits in one unit, the block that holds
    // them is read, patched and written with one RWF_ATOMIC write under
    // O_DIRECT, set on the held description for that write only; where that
    // is not offered or is refused (EINVAL, EOPNOTSUPP), one positional
    // write per range. Then one sync and the close of the descriptor that
    // wrote. The ranges may come in any order. Returns 1 when all of it
    // succeeded; 0 otherwise, with errno and outcome->step saying why
    // (EINVAL, before anything is written, for a range of more than four
    // bytes). Nothing is written after a failed write.
    int writeRanges(const std::vector<kevo_headerRange>& ranges, kevo_writeOutcome* outcome) const;

    // True when the path still names the held file. Checked after the sync:
    // a file renamed over the path meanwhile means the edit went to a file
    // that is no longer there.
    bool stillAtPath() const;

private:
    kevo_holdResult openChecked(kevo_holdMode mode);
    kevo_holdResult lock(kevo_holdMode mode, const kevo_lockWait& wait, bool* announced);
    void release();

    std::string path_;
    int fd_ = -1;
    bool writable_ = false;
    int lockError_ = 0;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// ---------------------------------------------------------------------------
// Values edited by name: kevo-edit's whole run on one file

// One "--set SEL=VALUE" or "--if SEL=VALUE".
struct kevo_valueRequest {
    std::string text;  // the selector as given, for messages
    kevo_selector selector;
    uint32_t value;
};

struct kevo_editRequest {
    std::vector<kevo_valueRequest> sets;
    // Every one must hold, or the file is skipped: compare and set under
    // one lock.
    std::vector<kevo_valueRequest> conditions;
    bool dryRun = false;  // read-only, shared lock, nothing written
    kevo_lockWait wait;
};

enum kevo_editStatus {
    KEVO_EDIT_EDITED,
    KEVO_EDIT_UNCHANGED,   // every value was already as asked
    KEVO_EDIT_SKIPPED,     // a condition did not hold
    KEVO_EDIT_WOULD_EDIT,  // a dry run that found a value to change
    KEVO_EDIT_FAILED,
};

struct kevo_valueChange {
    kevo_atomPlace place;
    uint32_t fourcc;
    uint64_t offset;  // of the payload in the file
    int32_t oldValue;
    int32_t newValue;
};

struct kevo_editResult {
    kevo_editStatus status = KEVO_EDIT_FAILED;
    // One per set, in the request's order, once every selector resolved.
    std::vector<kevo_valueChange> changes;
    // KEVO_EDIT_SKIPPED: the first condition that did not hold, and the
    // value found there.
    size_t failedCondition = 0;
    int32_t foundValue = 0;
    // KEVO_EDIT_FAILED: why, in words for a person ("not a valid KEVO
    // file", "no atom 'xyz ' in stream 'pav2' (has: ...)").
    std::string error;
    int lockError = 0;    // the lock could not be had; the edit went on
    bool untorn = false;  // the change was one atomic write
};

// Opens, locks and reads the file, resolves every selector, checks the
// conditions and writes only the values that differ, then syncs and checks
// the path. Any refusal comes before anything is written. Returns the
// status it put in `result`.
kevo_editStatus kevo_editValues(const char* path, const kevo_editRequest& request,
                                kevo_editResult* result);
