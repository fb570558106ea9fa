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
//   5. check that nothing else changed the file or its path since, then
//      write only the ranges that change, as one untorn block where the
//      file system offers atomic writes (statx STATX_WRITE_ATOMIC,
//      pwritev2 RWF_ATOMIC), else one positional write per memory page;
//   6. sync once, and check the file and its path again.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "container/kevo_container.h"

// ---------------------------------------------------------------------------
// Values

// The values an 'i' atom takes: signed or unsigned 32-bit, stored as the bit
// pattern, which is what a user storing an unsigned value means.
constexpr int64_t KEVO_VALUE_MIN = INT32_MIN;
constexpr int64_t KEVO_VALUE_MAX = UINT32_MAX;

// ---------------------------------------------------------------------------
// Syncing what was written

// Flushes the stream, checks its error state, syncs it to stable storage and
// closes it, through kevo_syncAndClose. Returns 1 when every step succeeded;
// 0 otherwise, with errno saying why. Clear errno before the writes so that
// the reason of an earlier failed write survives; without one, EIO. The
// stream is closed and cleared either way.
int kevo_closeSynced(kevo_file* record);

// Syncs what was written through `fd` to stable storage, then closes it.
// Returns 1 when both succeeded; 0 otherwise, with errno giving the first
// failure. Something that has no stable storage to sync (a pipe, a
// terminal) counts as synced; a regular file whose sync fails, with EINVAL
// too, does not. `fd` is closed either way.
int kevo_syncAndClose(int fd);

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
    // Read-only, as KEVO_HOLD_READ, but whatever opens is held: a FIFO or a
    // device unlocked, read as it comes; a directory, for a reader to say
    // that it holds no header.
    KEVO_HOLD_SHOW,
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
    // The file is this process's standard output or error: whatever the
    // process prints would land in it, as with `kevo-edit ... f >> f`.
    KEVO_HOLD_IS_OUTPUT,
    // The wait for the lock ended because *wait.stop became non-zero.
    KEVO_HOLD_INTERRUPTED,
};

struct kevo_lockWait {
    double seconds = -1;  // below 0: as long as it takes
    // Called once, before the first wait, so that the caller can say why it
    // seems to hang.
    std::function<void()> announce;
    // When set, the wait polls the lock and gives up as soon as *stop is
    // non-zero, so that a caller's signal handler can end it.
    const volatile std::sig_atomic_t* stop = nullptr;
};

// How the write of an edit ended. The checks come right before the first
// write and again after the sync, each against the file as it was when it
// was held; a check that fails before the write leaves the file untouched.
enum kevo_writeStep {
    KEVO_WRITE_OK,
    KEVO_WRITE_FAILED,    // a write failed; nothing was written after it
    KEVO_SYNC_FAILED,     // the sync, or the close after it
    KEVO_FILE_RESIZED,    // another program truncated or extended the file
    KEVO_FILE_REWRITTEN,  // another program wrote to it, keeping its size
    KEVO_PATH_REPLACED,   // the path names another file now
    KEVO_PATH_GONE,       // the path names no file now (removed, unmounted)
};

struct kevo_writeOutcome {
    kevo_writeStep step = KEVO_WRITE_OK;
    int error = 0;         // errno of a failed write, sync or check
    bool written = false;  // some of the new bytes may be in the file
    bool untorn = false;   // made as one atomic write, old or new on a power cut
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
    // lockError() says why. The file's size and modification time once
    // locked are what writeRanges checks against.
    kevo_holdResult hold(const char* path, kevo_holdMode mode, const kevo_lockWait& wait);

    // A new stream that reads the held file from its first byte, through
    // the held description; the caller owns it. Null when nothing is held or
    // no descriptor is left.
    FILE* openStream() const;

    // A stream over the held description itself, from its first byte, for
    // a caller that only reads: it takes no descriptor of its own, and the
    // lock lasts as long as the stream is open. The file is no longer held
    // here; the caller owns the stream. Null, with the file still held,
    // when nothing is held or the stream cannot be made.
    FILE* releaseToStream();

    // True when the held description was opened for writing.
    bool writable() const { return fd_ >= 0 && writable_; }

    // errno of a lock that could not be had, 0 when it was or none was asked.
    int lockError() const { return lockError_; }

    // True when what is held is a directory (KEVO_HOLD_WRITE_IF_ALLOWED,
    // KEVO_HOLD_SHOW), which a reader takes for a file without a header.
    bool directory() const { return fd_ >= 0 && directory_; }

    // Checks that the file and its path are as when held, writes the ranges,
    // syncs them and checks again. Where statx says the file takes atomic
    // writes and every range fits in one unit, the block that holds them is
    // read, patched and written with one RWF_ATOMIC write under O_DIRECT,
    // set on the held description for that write only; where that is not
    // offered, or refused with anything but EIO (EINVAL, EOPNOTSUPP, ENOSPC
    // on a file system whose free space is in pieces, EDQUOT), the ranges
    // that share a memory page go out as one positional write, so that no
    // signal can leave some of them new and others old. Then one sync and
    // the close of the descriptor that wrote. After a failed write or sync
    // the file's cached pages are dropped, so that no later read takes a
    // value the disk may not hold for the disk's. The ranges may come in any
    // order. Returns 1 when all of it succeeded; 0 otherwise, with
    // outcome->step and outcome->error saying why (EINVAL, before anything
    // is written, for a range of more than four bytes).
    int writeRanges(const std::vector<kevo_headerRange>& ranges, kevo_writeOutcome* outcome) const;

private:
    kevo_holdResult openChecked(kevo_holdMode mode);
    kevo_holdResult lock(kevo_holdMode mode, const kevo_lockWait& wait, bool* announced);
    // Whether the file still has the size and time it had when held, and
    // the path still names it; the time is not compared once this process
    // has written. errno says why a check could not be made.
    kevo_writeStep checkUnchanged(bool afterOwnWrite) const;
    void release();

    std::string path_;
    int fd_ = -1;
    bool writable_ = false;
    bool regular_ = false;
    bool directory_ = false;
    mutable bool streamOpened_ = false;  // the description's offset has moved
    int lockError_ = 0;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    off_t size_ = 0;
    timespec modified_{};
};

// Words for a person for why a write ended as it did, to follow the path:
// "cannot sync to disk: Input/output error", "changed size during the edit;
// nothing was written", "was replaced by another file during the edit; ...".
std::string kevo_describeWrite(const kevo_writeOutcome& outcome);

// ---------------------------------------------------------------------------
// Values edited by name: kevo-edit's whole run on one file

// One "--set SEL=VALUE" or "--if SEL=VALUE" as a request holds it. Only
// kevo_addSet and kevo_addCondition put one in a request, so its selector
// is always the one its text names, and its value one an 'i' atom takes.
struct kevo_valueRequest {
    std::string text;  // the selector as given
    kevo_selector selector;
    uint32_t value;
};

class kevo_editRequest;

// Add "set the atom `selector` names to `value`", or "edit only where that
// atom holds `value`", to the request. Return 1 when added; 0 when the
// selector does not parse, the value is outside [KEVO_VALUE_MIN,
// KEVO_VALUE_MAX], or a set already added is written alike, with the
// reason for a person in *why and the request as it was.
int kevo_addSet(kevo_editRequest* request, const char* selector, int64_t value, std::string* why);
int kevo_addCondition(kevo_editRequest* request, const char* selector, int64_t value,
                      std::string* why);

class kevo_editRequest {
public:
    bool dryRun = false;  // read-only, shared lock, nothing written
    kevo_lockWait wait;

    const std::vector<kevo_valueRequest>& sets() const { return sets_; }
    // Every one must hold, or the file is skipped: compare and set under
    // one lock.
    const std::vector<kevo_valueRequest>& conditions() const { return conditions_; }

private:
    friend int kevo_addSet(kevo_editRequest*, const char*, int64_t, std::string*);
    friend int kevo_addCondition(kevo_editRequest*, const char*, int64_t, std::string*);

    std::vector<kevo_valueRequest> sets_;
    std::vector<kevo_valueRequest> conditions_;
};

enum kevo_editStatus {
    KEVO_EDIT_EDITED,
    KEVO_EDIT_UNCHANGED,   // every value was already as asked
    KEVO_EDIT_SKIPPED,     // a condition did not hold
    KEVO_EDIT_WOULD_EDIT,  // a dry run that found a value to change
    KEVO_EDIT_FAILED,
    // The wait for the lock was given up (kevo_lockWait::stop); nothing was
    // read or written.
    KEVO_EDIT_INTERRUPTED,
};

struct kevo_valueChange {
    std::string selector;  // as the set gave it
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
    // The file was read, and written if it was, under its lock.
    bool locked = false;
    int lockError = 0;    // the lock could not be had; the edit went on
    bool untorn = false;  // the change was one atomic write
    // KEVO_EDIT_FAILED: whether some new bytes may be in the file (a write,
    // the sync or a check after the sync failed) or none were written.
    bool written = false;
};

// Opens, locks and reads the file, resolves every selector, checks the
// conditions and writes only the values that differ, as
// kevo_heldFile::writeRanges does. Any refusal comes before anything is
// written. Returns the status it put in `result`.
kevo_editStatus kevo_editValues(const char* path, const kevo_editRequest& request,
                                kevo_editResult* result);
