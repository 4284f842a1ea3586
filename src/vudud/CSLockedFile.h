// CSLockedFile: a file opened and flock'ed for the life of the object, and guaranteed to be the
// file its path names at the moment the lock was taken. Writers that replace a file rename a new
// one over the path while holding the old one's lock; a waiter that then got the old file's lock
// would work on a file no path names any more, so the lock is taken again on the file the path
// names now. A shared lock taken without waiting is kept on the file opened: a replace between the
// open and the lock left that file as it was when it was opened, so a reader sees a whole file. Reads, writes
// and length changes are those of CSFile on the held descriptor. One thread uses an object; the flock
// coordinates threads and processes.
#pragma once

#include <sys/stat.h>

#include "CSFile.h"

class CSLockedFile : public CSFile {
public:
    enum Access {
        Shared,     // read only, shared lock
        Exclusive,  // read and write, exclusive lock; the file must exist
        Create,     // read and write, exclusive lock; the file and missing parent folders are made
    };
    // Bounds the re-locking when the path keeps being replaced while this object waits.
    static constexpr int kMaxAttempts = 1000;

    // Opens, locks (blocking) and checks identity. A missing file raises the file error 2 (except
    // with Create); a path that still names another file after kMaxAttempts raises EBUSY.
    // `noLinks`: a symbolic link on the path fails the open with the file error ELOOP; only below
    // its first `linkBase` characters (a folder that may lie behind links) when that is not 0.
    CSLockedFile(CSRef<CSPath> path, Access access, bool noLinks = false, size_t linkBase = 0);
    static CSRef<CSLockedFile> lockFile(const char* path, Access access, bool noLinks = false,
                                        size_t linkBase = 0);
    // The same open, lock and check on a bare descriptor: `file` ends open on `path` under the
    // lock, and `held` tells the file's status when the lock was taken. A caller that opens file
    // after file keeps `file` and the text of `path` from one open to the next, and so their memory.
    static void lockOpen(CSSysFile& file, const char* path, Access access, bool noLinks, size_t linkBase,
                         struct stat* held);

    // The file's length and kind when the lock was taken.
    uint64 lockedSize() const { return iLockedSize; }
    bool isDirectory() const { return iIsDirectory; }
    // The locked descriptor, lent.
    int handle() const { return iFile.handle(); }

private:
    uint64 iLockedSize = 0;
    bool iIsDirectory = false;
};
