// The file an edit is made to, held from before its header is read until
// after it has been printed again.
//
// Holding it does three things. It refuses, without blocking, a path that
// cannot be rewritten in place (a FIFO, a socket, a character device). It
// takes an exclusive advisory lock (flock) on the file, so that a second edit
// of the same file waits and then reads the header with the first edit in
// it. And it lets the command check that the stream it is about to write
// through is still that same locked file, not another one renamed over the
// path meanwhile.
//
// Missing paths, directories and files that cannot be opened are not refused
// here: the reader reports them with its own lines. Where the file system
// cannot lock, the edit goes on unlocked and nothing is printed.
#pragma once

#include <cstdio>

#include <sys/types.h>

class kevo_editTarget {
public:
    kevo_editTarget() = default;
    // Releases the lock.
    ~kevo_editTarget();
    kevo_editTarget(const kevo_editTarget&) = delete;
    kevo_editTarget& operator=(const kevo_editTarget&) = delete;

    // Opens and locks `path`, printing the waiting line once if another
    // process holds the lock. Returns 0 after printing the refusal when the
    // path names a FIFO, a socket or a character device; 1 otherwise, also
    // when the path could not be opened or locked.
    int acquire(const char* path);

    // 1 when `stream` is open on the locked file, or when nothing could be
    // locked to compare with; 0 when it is open on another file.
    int holds(FILE* stream) const;

private:
    enum class Opening { Refused, Unlocked, Opened };

    Opening openChecked(const char* path);
    int waitForLock(const char* path, bool* announced);
    void release();

    int fd_ = -1;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};
