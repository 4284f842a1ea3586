#include "CSLockedFile.h"

#include <sys/stat.h>

#include <cerrno>

#include "CSException.h"

CSLockedFile::CSLockedFile(CSRef<CSPath> path, Access access, bool noLinks, size_t linkBase)
    : CSFile(std::move(path)) {
    setLinkBase(linkBase);
    const int mode = (access == Shared   ? READONLY
                      : access == Create ? CREATE
                                         : DEFAULT) |
                     (noLinks ? NO_LINKS : 0);
    for (int attempt = 0;; attempt++) {
        open(mode);
        // A shared lock taken at once is held on the file the path named when it was opened; a
        // replace that came in between left that file whole, so reading it is reading the file as
        // it was when the request reached it. Only a reader that had to wait looks again.
        const bool atOnce = access == Shared && tryLock();
        if (!atOnce) lock();
        struct stat held {};
        iFile.sf_fstat(&held);
        struct stat named {};
        bool same = atOnce;
        if (!same && CSSys::ops().os_stat(getPathCString(), &named) == 0) {
            same = held.st_dev == named.st_dev && held.st_ino == named.st_ino;
        } else if (!same && errno != ENOENT) {  // removed while we waited: the next open tells
            const int err = errno;
            close();
            CSException::throwFileError(CS_CONTEXT, err, getPathCString());
        }
        if (same) {
            iLockedSize = static_cast<uint64>(held.st_size);
            iIsDirectory = S_ISDIR(held.st_mode);
            return;
        }
        close();
        if (attempt + 1 >= kMaxAttempts) CSException::throwFileError(CS_CONTEXT, EBUSY, getPathCString());
    }
}

CSRef<CSLockedFile> CSLockedFile::lockFile(const char* path, Access access, bool noLinks, size_t linkBase) {
    return cs_new<CSLockedFile>(CSPath::newPath(path), access, noLinks, linkBase);
}
