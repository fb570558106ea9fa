// The file an edit is made to, opened once and held from before its header
// is read until after it has been printed again. Everything the edit does to
// the file goes through that one open file description: both reads of the
// header, the lock and the write. A rename, a symlink flip or a FIFO put at
// the path meanwhile can therefore neither make the edit read one file and
// write another nor make it hang.
//
// The path is refused, without blocking, when it cannot be rewritten in
// place (a FIFO, a socket, a character device). Otherwise it is opened
// read-write where the file permits, read-only otherwise; a read-only file is
// read and printed, and refused only when it is to be written. On a
// read-write description the edit takes an open-file-description write lock
// over the whole file (F_OFD_SETLKW), so that a second edit of the same file
// waits and then reads the header with the first edit in it. That lock is
// unaffected by flock(2), so a script that serialises its edits with
// flock(1) does not deadlock against it; on NFS it reaches the server's lock
// manager. Where it cannot be had, one warning says so and the edit goes on.
//
// Missing paths, directories and files that cannot be opened at all are not
// refused here: the reader reports them with its own lines.
#pragma once

#include <cstdint>
#include <cstdio>

#include <sys/types.h>

#include "container/kevo_container.h"

class kevo_editTarget {
public:
    kevo_editTarget() = default;
    // Closes the description, which releases the lock.
    ~kevo_editTarget();
    kevo_editTarget(const kevo_editTarget&) = delete;
    kevo_editTarget& operator=(const kevo_editTarget&) = delete;

    // Opens `path` and, when it is open for writing, locks it: prints the
    // waiting line once if another process holds the lock, and the warning
    // if the lock cannot be had. A path that another file replaced while
    // this run waited is followed to the file it names now. Returns 0 after
    // printing the refusal when the path names a FIFO, a socket or a
    // character device; 1 otherwise, also when nothing could be opened.
    int acquire(const char* path);

    // A new stream that reads the held file from its first byte, through
    // the held description; the caller owns it. Null when nothing is held
    // or the stream cannot be made.
    FILE* openStream() const;

    // 1 when the held description was opened for writing.
    int writable() const;

    // Writes the bytes of the header in `record`, read from the held file,
    // that the edit of atom `metaID` of stream `streamID` changes, then
    // syncs them to stable storage. Returns 1 when the writes, the sync and
    // the close of the descriptor that made them all succeeded; 0 otherwise,
    // with errno saying why. Nothing is written after a failed write.
    int writeChanges(const kevo_file& record, int32_t streamID, int32_t metaID) const;

private:
    enum class Opening { Refused, Unopened, Opened };

    Opening openChecked(const char* path);
    int lock(const char* path, bool* announced) const;
    void release();

    int fd_ = -1;
    bool writable_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};
