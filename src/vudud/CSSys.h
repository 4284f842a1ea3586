// The system layer: the only code of the library that calls the file system. CSSys holds the
// path operations, CSSysFile an open descriptor, CSSysDir an open folder. Every failure becomes a
// CSException through CSException::throwFileError (errno and path), so nothing above checks errno.
// The raw calls go through a replaceable CSSysOps object, which lets tests inject faults (ENOSPC,
// EIO, short writes, EINTR) without touching the code above. Interrupted calls (EINTR) are retried
// unless the calling thread has a signal pending, which is then raised.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>
#include <string>

#include "CSDefs.h"

class CSException;

// The raw POSIX calls, one virtual per call with the call's own contract (result, errno). The
// default forwards to the system. A test subclass overrides the calls it wants to break.
class CSSysOps {
public:
    virtual ~CSSysOps() = default;

    virtual int os_open(const char* path, int flags, mode_t mode);
    virtual int os_close(int fd);
    virtual ssize_t os_pread(int fd, void* buf, size_t size, off_t offset);
    virtual ssize_t os_pwrite(int fd, const void* buf, size_t size, off_t offset);
    virtual off_t os_lseek(int fd, off_t offset, int whence);
    virtual int os_ftruncate(int fd, off_t size);
    // Both flush to stable storage: on macOS through F_FULLFSYNC, since fsync there leaves the data
    // in the drive's cache. fdatasync skips metadata that reading the data back does not need.
    virtual int os_fsync(int fd);
    virtual int os_fdatasync(int fd);
    virtual int os_flock(int fd, int operation);
    virtual int os_utimes(const char* path, const struct timeval* times);
    virtual int os_access(const char* path, int mode);
    virtual int os_stat(const char* path, struct stat* st);
    virtual int os_fstat(int fd, struct stat* st);
    virtual int os_lstat(const char* path, struct stat* st);
    // Opens `path` below the folder `dirfd` (AT_FDCWD: the working folder; O_PATH and the like in
    // `flags`) refusing a symbolic link anywhere on it with ELOOP, and from a folder also a path
    // that leaves it; ENOSYS where the system cannot refuse links in one call.
    virtual int os_openNoLinks(int dirfd, const char* path, int flags, mode_t mode);
    virtual int os_mkdir(const char* path, mode_t mode);
    virtual int os_chmod(const char* path, mode_t mode);
    virtual int os_rmdir(const char* path);
    virtual int os_unlink(const char* path);
    virtual int os_rename(const char* from, const char* to);
    virtual char* os_getcwd(char* buf, size_t size);
    virtual int os_chdir(const char* path);
    virtual DIR* os_opendir(const char* path);
    // Returns null at the end (errno unchanged) or on error (errno set).
    virtual struct dirent* os_readdir(DIR* dir);
    virtual int os_closedir(DIR* dir);
};

class CSSys {
public:
    // The calls in use. setOps installs `ops` (null restores the system's) and returns the previous
    // one; the caller keeps ownership. Meant for tests: not to be switched while other threads do I/O.
    static CSSysOps& ops();
    static CSSysOps* setOps(CSSysOps* ops);

    // Raises the calling thread's pending signal, if any (long loops call this to stop promptly).
    static void sys_checkSignal();

    // True when the path exists (access F_OK succeeds); never raises.
    static bool sys_exists(const char* path);
    // True when there is an entry at the path, also a link whose target is missing; never raises.
    static bool sys_lexists(const char* path);
    // True when both paths name the same file (device and inode).
    static bool sys_isSameFile(const char* path1, const char* path2);
    // Makes one folder, which takes the permission bits of its parent (the path up to its last
    // component, or "." when it has no "/") as far as the umask allows: a server that keeps its
    // files private never makes a folder that others may read.
    static void sys_makeDir(const char* path);
    // A missing folder or file is no error.
    static void sys_removeDir(const char* path);
    static void sys_removeFile(const char* path);
    // Each output is optional. `modified` is the modification time.
    static void sys_stat(const char* path, bool* isDir, uint64* size, struct timespec* modified);
    // True for a symbolic link; a missing path raises.
    static bool sys_isLink(const char* path);
    // Whether one of the components of `relative` that exist below `base` (which itself is not
    // examined) is a symbolic link. `quickLook`: first one walk below `base` that refuses a link
    // (as sys_openNoLinksBelow opens), which settles a path without links; then (or with false,
    // when such a walk has just been refused) one lstat per component, stopping at the first that
    // does not exist.
    static bool sys_hasLinkBelow(const char* base, const char* relative, bool quickLook = true);
    // Opens `path` as os_openNoLinks does, refusing links only below its first `baseLength`
    // characters (a folder that may itself lie behind links; 0: anywhere on the path). The folder
    // is kept open from one call to the next and opened anew after a second: a server that opens
    // many files below one folder does not walk the folders above them each time, and follows a
    // folder that was moved or replaced within a second.
    static int sys_openNoLinksBelow(const char* path, size_t baseLength, int flags, mode_t mode);
    // The error names the old path.
    static void sys_rename(const char* oldPath, const char* newPath);
    // Sets access and modification time to now.
    static void sys_touch(const char* path);
    // Flushes the folder's entries to disk (after a rename or create that must survive a crash).
    static void sys_syncDir(const char* path);
    // Raises an OS error (no path) on failure.
    static void sys_getcwd(char* buf, size_t size);
    static void sys_setcwd(const char* path);
    static pid_t sys_getpid();
    // Raises the soft limit of open descriptors to the hard limit; returns the limit now in force.
    static uint64 sys_raiseFileLimit();
    static bool sys_isAlive(pid_t pid);

    // The code of a file error: 2 (no such file or folder) and 17 (exists).
    static bool isFileNotFound(const CSException& e);
    static bool isDirNotFound(const CSException& e);
    static bool isDirExists(const CSException& e);
    // The error of a path that names nothing that can be opened: missing, a file where a folder
    // should be, too long, or a loop of links.
    static bool isNoSuchPath(const CSException& e);
};

// An open file descriptor and the path it was opened with (kept for error messages).
// Not thread-safe: one thread uses a CSSysFile at a time.
class CSSysFile {
public:
    CSSysFile() = default;
    CSSysFile(const CSSysFile&) = delete;
    CSSysFile& operator=(const CSSysFile&) = delete;
    ~CSSysFile();

    bool isOpen() const { return iHandle >= 0; }
    const char* path() const { return iPath.c_str(); }
    // The descriptor (-1 when closed), lent for calls that need it (sending a file to a socket).
    int handle() const { return iHandle; }

    // Opens read-only or read-write, creating the file (mode 0664) when `create`. An open
    // descriptor is closed first.
    // `noLinks`: a symbolic link on `path` below its first `linkBase` characters (0: anywhere)
    // fails the open with ELOOP.
    void sf_open(const char* path, bool readOnly, bool create, bool noLinks = false, size_t linkBase = 0);
    // Only when open; drops the path (keeping its memory for the next open). A close failure
    // raises (the data may not have been written).
    void sf_close();
    // Reads up to `size` bytes with one successful pread; returns the bytes read (0 at the end).
    size_t sf_pread(void* buf, size_t size, uint64 offset);
    // Writes all `size` bytes; a short write continues with the rest, an error raises.
    void sf_pwrite(const void* buf, size_t size, uint64 offset);
    uint64 sf_getEOF();
    void sf_setEOF(uint64 size);
    // fsync; a failure raises (a lost write must not look like a durable one).
    void sf_sync();
    // fstat of the open descriptor: the identity and length of the file it holds.
    void sf_fstat(struct stat* st);
    // fdatasync: the data and the length are on disk when it returns; a failure raises.
    void sf_datasync();
    // Blocking flock, shared or exclusive / unlock.
    void sf_lock(bool shared);
    // The same lock without waiting: false when another holder keeps it from being taken now.
    bool sf_tryLock(bool shared);
    void sf_unlock();

private:
    [[noreturn]] void fail(const char* func, const char* file, int line, int err) const;

    std::string iPath;
    int iHandle = -1;
};

// An open folder and its current entry. Entries "." and ".." are skipped.
class CSSysDir {
public:
    CSSysDir() = default;
    explicit CSSysDir(const char* path) : iPath(path ? path : "") {}
    CSSysDir(const CSSysDir&) = delete;
    CSSysDir& operator=(const CSSysDir&) = delete;
    ~CSSysDir();

    void setPath(const char* path) { iPath = path ? path : ""; }
    const char* path() const { return iPath.c_str(); }

    void open();
    void close();
    // Moves to the next entry; false at the end.
    bool next();
    // Folder + "/" (only when missing) + entry name.
    std::string getEntryPath() const;
    void getEntryPath(char* buf, size_t size) const;
    const char* entryName() const { return iEntryName.c_str(); }
    // Everything that is not a folder counts as a file; a symbolic link is a file even when it
    // points to a folder (so tree removal never follows links).
    bool entryIsFile() const { return !iEntryIsDir; }

private:
    std::string iPath;
    DIR* iDir = nullptr;
    std::string iEntryName;
    bool iEntryIsDir = false;
};
