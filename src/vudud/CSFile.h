// CSFile: an open file with positioned reads and writes, nested advisory locking, truncation and
// fsync. The file holds a reference to its CSPath. Each thread opens its own CSFile; an object is
// used by one thread at a time. flock locks coordinate processes and other CSFile objects.
// Every failure raises a file error carrying errno and the path.
#pragma once

#include "CSDefs.h"
#include "CSObject.h"
#include "CSPath.h"
#include "CSString.h"
#include "CSSys.h"

class CSOutputStream;
struct Md5Digest;

class CSFile : public CSRefObject {
public:
    // Open mode bits.
    static constexpr int DEFAULT = 0;   // read and write, the file must exist
    static constexpr int READONLY = 1;  // read only
    static constexpr int CREATE = 2;    // create the file (0664) when missing
    static constexpr int TRUNCATE = 4;  // cut to length 0 after opening (ignored with READONLY)
    static constexpr int NO_LINKS = 8;  // a symbolic link on the path fails the open (ELOOP), see setLinkBase

    explicit CSFile(CSRef<CSPath> path);
    ~CSFile() override;

    // Unopened files.
    static CSRef<CSFile> newFile(CSRef<CSPath> path);
    static CSRef<CSFile> newFile(const char* path);
    // `name` made absolute against `folder`.
    static CSRef<CSFile> newFile(const char* folder, const char* name);

    // Without CREATE as openFile. With CREATE, missing parent folders are made and the open is
    // tried once more.
    virtual void open(int mode);
    // Opens with `mode`; an open file with a different mode is closed first.
    virtual void openFile(int mode);
    // Opens `path` into `file` with `mode` (TRUNCATE aside) as open() does, parent folders
    // included, refusing links below its first `linkBase` characters with NO_LINKS.
    static void openDescriptor(CSSysFile& file, const char* path, int mode, size_t linkBase);
    // Makes the missing folders above `path`.
    static void makeParentFolders(const char* path);
    // Nested: the first lock takes a blocking flock (shared for READONLY, else exclusive), the last
    // unlock releases it. An unlock without a lock does nothing.
    virtual void lock();
    // As lock, without waiting: false (and no lock) when another holder keeps the flock from being
    // taken now.
    bool tryLock();
    virtual void unlock();
    // Releases any lock and closes. Nothing when not open.
    virtual void close();
    virtual uint64 getEOF();
    virtual void setEOF(uint64 size);
    // Reads up to `size` bytes at `offset`; fewer than `min` bytes (the file ends first) raise the
    // end-of-file error naming the path. Returns the bytes read.
    virtual size_t read(void* data, uint64 offset, size_t size, size_t min);
    // Writes all `size` bytes at `offset`.
    virtual void write(const void* data, uint64 offset, size_t size);
    // Writes are not buffered here: nothing to do.
    virtual void flush() {}
    // fsync: the data is on disk when this returns.
    virtual void sync();
    // fdatasync: the data and the length are on disk when this returns.
    virtual void datasync();
    // Sets access and modification time to now.
    virtual void touch();
    virtual const char* getEOL() { return "\n"; }
    virtual CSString* getPathString() { return iPath->getString(); }

    // The first `length` characters of the path name a folder that may lie behind links: NO_LINKS
    // refuses links only below it (by default anywhere on the path).
    void setLinkBase(size_t length) { iLinkBase = length; }

    CSPath* getPath() const { return iPath.get(); }
    const char* getPathCString() const { return iPath->getCString(); }
    bool isOpen() const { return iFile.isOpen(); }
    int getMode() const { return iMode; }
    uint32 getLockCount() const { return iLockCount; }

    // Copies `size` bytes from `src` at srcOffset to `dst` at dstOffset through `buf`. True when
    // all bytes were copied, false when the source ended early.
    static bool transfer(CSFile* dst, uint64 dstOffset, CSFile* src, uint64 srcOffset, uint64 size, char* buf,
                         size_t bufSize);
    // Sends `size` bytes from `offset` to `out`; a file shorter than that raises the end-of-file
    // error.
    void streamOut(CSOutputStream* out, uint64 offset, uint64 size, char* buf, size_t bufSize);
    // The MD5 digest of the whole file.
    void md5Digest(Md5Digest* out);

protected:
    void checkOpen() const;

    CSSysFile iFile;
    CSRef<CSPath> iPath;
    int32 iMode = -1;
    uint32 iLockCount = 0;
    size_t iLinkBase = 0;
};
