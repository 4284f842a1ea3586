#include "CSLockedFile.h"

#include <cerrno>

#include "CSException.h"

namespace {

int modeOf(CSLockedFile::Access access, bool noLinks) {
    return (access == CSLockedFile::Shared   ? CSFile::READONLY
            : access == CSLockedFile::Create ? CSFile::CREATE
                                             : CSFile::DEFAULT) |
           (noLinks ? CSFile::NO_LINKS : 0);
}

}  // namespace

CSLockedFile::CSLockedFile(CSRef<CSPath> path, Access access, bool noLinks, size_t linkBase)
    : CSFile(std::move(path)) {
    setLinkBase(linkBase);
    struct stat held {};
    lockOpen(iFile, getPathCString(), access, noLinks, linkBase, &held);
    iMode = modeOf(access, noLinks);
    iLockCount = 1;
    iLockedSize = static_cast<uint64>(held.st_size);
    iIsDirectory = S_ISDIR(held.st_mode);
}

void CSLockedFile::lockOpen(CSSysFile& file, const char* path, Access access, bool noLinks, size_t linkBase,
                            struct stat* held) {
    const bool shared = access == Shared;
    for (int attempt = 0;; attempt++) {
        openDescriptor(file, path, modeOf(access, noLinks), linkBase);
        // A shared lock taken at once is held on the file the path named when it was opened; a
        // replace that came in between left that file whole, so reading it is reading the file as
        // it was when the request reached it. Only a reader that had to wait looks again.
        const bool atOnce = shared && file.sf_tryLock(true);
        if (!atOnce) file.sf_lock(shared);
        file.sf_fstat(held);
        struct stat named {};
        bool same = atOnce;
        if (!same && CSSys::ops().os_stat(path, &named) == 0) {
            same = held->st_dev == named.st_dev && held->st_ino == named.st_ino;
        } else if (!same && errno != ENOENT) {  // removed while we waited: the next open tells
            const int err = errno;
            file.sf_close();
            CSException::throwFileError(CS_CONTEXT, err, path);
        }
        if (same) return;
        file.sf_close();
        if (attempt + 1 >= kMaxAttempts) CSException::throwFileError(CS_CONTEXT, EBUSY, path);
    }
}

CSRef<CSLockedFile> CSLockedFile::lockFile(const char* path, Access access, bool noLinks, size_t linkBase) {
    return cs_new<CSLockedFile>(CSPath::newPath(path), access, noLinks, linkBase);
}
