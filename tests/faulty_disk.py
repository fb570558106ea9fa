"""A disk that fails the writes it is told to fail, for tests that need the
kernel's own I/O errors: a FUSE file system with one file, disk.img, kept in
a sparse backing file, and a control file, fail.

    /usr/bin/python3 faulty_disk.py BACKING MOUNTPOINT

Writing N to fail makes the next write to disk.img that covers byte N fail
with EIO, once, and leave the image as it was. The daemon says "mounted" on
standard error once the kernel reaches it, and ends when MOUNTPOINT is
unmounted. Mounted with direct_io, every read and write of disk.img comes
here: no FUSE page cache can hand back bytes that a failed write refused.
"""
import errno
import os
import stat
import sys

try:
    from fusepy import FUSE, FuseOSError, Operations
except ImportError:
    sys.exit("no python3-fusepy")


class FaultyDisk(Operations):
    def __init__(self, backing):
        self.image = os.open(backing, os.O_RDWR)
        self.size = os.fstat(self.image).st_size
        self.armed = None

    def init(self, path):
        print("mounted", file=sys.stderr, flush=True)

    def getattr(self, path, fh=None):
        if path == "/":
            return {"st_mode": stat.S_IFDIR | 0o755, "st_nlink": 2}
        if path == "/disk.img":
            return {"st_mode": stat.S_IFREG | 0o600, "st_nlink": 1, "st_size": self.size}
        if path == "/fail":
            return {"st_mode": stat.S_IFREG | 0o200, "st_nlink": 1, "st_size": 0}
        raise FuseOSError(errno.ENOENT)

    def readdir(self, path, fh):
        return [".", "..", "disk.img", "fail"]

    def read(self, path, size, offset, fh):
        return os.pread(self.image, size, offset)

    def write(self, path, data, offset, fh):
        if path == "/fail":
            self.armed = int(data)
        elif self.armed is not None and offset <= self.armed < offset + len(data):
            self.armed = None
            raise FuseOSError(errno.EIO)
        else:
            os.pwrite(self.image, data, offset)
        return len(data)

    # Opening the control file for writing truncates it: nothing to do.
    def truncate(self, path, length, fh=None):
        return 0


if __name__ == "__main__":
    backing, mountpoint = sys.argv[1:]
    # One thread, so that a failure is armed and fired in the order the
    # requests come.
    FUSE(FaultyDisk(backing), mountpoint, foreground=True, nothreads=True, direct_io=True)
