#include "CSLockedFile.h"

#include <sys/stat.h>

#include <cerrno>

#include "CSException.h"

CSLockedFile::CSLockedFile(CSRef<CSPath> path, Access access) : CSFile(std::move(path)) {
    const int mode = access == Shared ? READONLY : access == Create ? CREATE : DEFAULT;
    for (int attempt = 0;; attempt++) {
        open(mode);
        lock();
        struct stat held {};
        iFile.sf_fstat(&held);
        struct stat named {};
        if (CSSys::ops().os_stat(getPathCString(), &named) == 0) {
            if (held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
                iLockedSize = static_cast<uint64>(held.st_size);
                iIsDirectory = S_ISDIR(held.st_mode);
                return;
            }
        } else if (errno != ENOENT) {  // removed while we waited: the next open tells what is there now
            const int err = errno;
            close();
            CSException::throwFileError(CS_CONTEXT, err, getPathCString());
        }
        close();
        if (attempt + 1 >= kMaxAttempts) CSException::throwFileError(CS_CONTEXT, EBUSY, getPathCString());
    }
}

CSRef<CSLockedFile> CSLockedFile::lockFile(const char* path, Access access) {
    return cs_new<CSLockedFile>(CSPath::newPath(path), access);
}
