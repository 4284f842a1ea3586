#include "CSFile.h"

#include <algorithm>
#include <cerrno>

#include "CSException.h"
#include "CSMd5.h"
#include "CSStream.h"

CSFile::CSFile(CSRef<CSPath> path) : iPath(std::move(path)) {
    if (!iPath) CSException::throwAssertion(CS_CONTEXT, "File path may not be NULL");
}

// Closing the descriptor also drops the flock (the descriptor is never duplicated).
CSFile::~CSFile() = default;

CSRef<CSFile> CSFile::newFile(CSRef<CSPath> path) { return cs_new<CSFile>(std::move(path)); }

CSRef<CSFile> CSFile::newFile(const char* path) { return newFile(CSPath::newPath(path)); }

CSRef<CSFile> CSFile::newFile(const char* folder, const char* name) {
    return newFile(CSPath::newPath(folder, name));
}

void CSFile::checkOpen() const {
    if (!iFile.isOpen()) CSException::throwFileError(CS_CONTEXT, EBADF, iPath->getCString());
}

void CSFile::open(int mode) {
    if (!(mode & CREATE)) {
        openFile(mode);
        return;
    }
    try {
        openFile(mode);
    } catch (const CSException& e) {
        if (!CSSys::isFileNotFound(e)) throw;
        makeParentFolders(getPathCString());
        openFile(mode);
    }
}

void CSFile::openDescriptor(CSSysFile& file, const char* path, int mode, size_t linkBase) {
    try {
        file.sf_open(path, mode & READONLY, mode & CREATE, mode & NO_LINKS, linkBase);
    } catch (const CSException& e) {
        if (!(mode & CREATE) || !CSSys::isFileNotFound(e)) throw;
        makeParentFolders(path);
        file.sf_open(path, mode & READONLY, mode & CREATE, mode & NO_LINKS, linkBase);
    }
}

void CSFile::makeParentFolders(const char* path) {
    CSRef<CSPath> parent = CSPath::newPath(path, "..");
    try {
        parent->makePath();
    } catch (const CSException& made) {
        if (!CSSys::isDirExists(made)) throw;
    }
}

void CSFile::openFile(int mode) {
    if (iFile.isOpen() && mode != iMode) close();
    if (!iFile.isOpen()) {
        iFile.sf_open(iPath->getCString(), mode & READONLY, mode & CREATE, mode & NO_LINKS, iLinkBase);
        iLockCount = 0;
    }
    iMode = mode;
    if ((mode & TRUNCATE) && !(mode & READONLY)) setEOF(0);
}

void CSFile::lock() {
    checkOpen();
    if (iLockCount == 0) iFile.sf_lock(iMode & READONLY);
    iLockCount++;
}

bool CSFile::tryLock() {
    checkOpen();
    if (iLockCount == 0 && !iFile.sf_tryLock(iMode & READONLY)) return false;
    iLockCount++;
    return true;
}

void CSFile::unlock() {
    if (iLockCount == 0) return;
    if (iLockCount == 1) iFile.sf_unlock();
    iLockCount--;
}

void CSFile::close() {
    // The close itself releases the flock, so a failing unlock cannot leave the file locked.
    iLockCount = 0;
    iFile.sf_close();
}

uint64 CSFile::getEOF() {
    checkOpen();
    return iFile.sf_getEOF();
}

void CSFile::setEOF(uint64 size) {
    checkOpen();
    iFile.sf_setEOF(size);
}

size_t CSFile::read(void* data, uint64 offset, size_t size, size_t min) {
    checkOpen();
    char* bytes = static_cast<char*>(data);
    size_t total = iFile.sf_pread(bytes, size, offset);
    // A short read before `min` is only final when the file has nothing more at that offset.
    while (total < min) {
        size_t got = iFile.sf_pread(bytes + total, size - total, offset + total);
        if (got == 0) break;
        total += got;
    }
    CSSys::sys_checkSignal();
    if (total < min) CSException::throwEOFError(CS_CONTEXT, iPath->getCString());
    return total;
}

void CSFile::write(const void* data, uint64 offset, size_t size) {
    checkOpen();
    iFile.sf_pwrite(data, size, offset);
    CSSys::sys_checkSignal();
}

void CSFile::sync() {
    checkOpen();
    iFile.sf_sync();
}

void CSFile::datasync() {
    checkOpen();
    iFile.sf_datasync();
}

void CSFile::touch() { CSSys::sys_touch(iPath->getCString()); }

bool CSFile::transfer(CSFile* dst, uint64 dstOffset, CSFile* src, uint64 srcOffset, uint64 size, char* buf,
                      size_t bufSize) {
    CSRef<CSFile> keepDst = CSRef<CSFile>::retained(dst);
    CSRef<CSFile> keepSrc = CSRef<CSFile>::retained(src);
    while (size > 0) {
        size_t piece = static_cast<size_t>(std::min<uint64>(size, bufSize));
        size_t got = src->read(buf, srcOffset, piece, 0);
        if (got == 0) return false;
        dst->write(buf, dstOffset, got);
        srcOffset += got;
        dstOffset += got;
        size -= got;
    }
    return true;
}

void CSFile::streamOut(CSOutputStream* out, uint64 offset, uint64 size, char* buf, size_t bufSize) {
    while (size > 0) {
        size_t piece = static_cast<size_t>(std::min<uint64>(size, bufSize));
        read(buf, offset, piece, piece);
        out->write(buf, piece);
        offset += piece;
        size -= piece;
    }
}

void CSFile::md5Digest(Md5Digest* out) {
    CSMd5 md5;
    char buffer[1024];
    uint64 end = getEOF();
    for (uint64 offset = 0; offset < end;) {
        size_t piece = static_cast<size_t>(std::min<uint64>(end - offset, sizeof(buffer)));
        // The file may shrink meanwhile; a short file raises rather than yield a wrong digest.
        read(buffer, offset, piece, piece);
        md5.md5_append(reinterpret_cast<const unsigned char*>(buffer), static_cast<int>(piece));
        offset += piece;
    }
    md5.getDigest(out);
}
