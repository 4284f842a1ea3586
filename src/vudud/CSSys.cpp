#include "CSSys.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

#include "CSException.h"
#include "CSStrUtil.h"
#include "CSThread.h"

// ---- Raw calls --------------------------------------------------------------------------------

int CSSysOps::os_open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int CSSysOps::os_close(int fd) { return ::close(fd); }
ssize_t CSSysOps::os_pread(int fd, void* buf, size_t size, off_t offset) {
    return ::pread(fd, buf, size, offset);
}
ssize_t CSSysOps::os_pwrite(int fd, const void* buf, size_t size, off_t offset) {
    return ::pwrite(fd, buf, size, offset);
}
off_t CSSysOps::os_lseek(int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); }
int CSSysOps::os_ftruncate(int fd, off_t size) { return ::ftruncate(fd, size); }
#ifdef __APPLE__
// Not every file system supports F_FULLFSYNC; those fall back to fsync.
int CSSysOps::os_fsync(int fd) { return ::fcntl(fd, F_FULLFSYNC) == 0 ? 0 : ::fsync(fd); }
int CSSysOps::os_fdatasync(int fd) { return os_fsync(fd); }
#else
int CSSysOps::os_fsync(int fd) { return ::fsync(fd); }
int CSSysOps::os_fdatasync(int fd) { return ::fdatasync(fd); }
#endif
int CSSysOps::os_flock(int fd, int operation) { return ::flock(fd, operation); }
int CSSysOps::os_utimes(const char* path, const struct timeval* times) { return ::utimes(path, times); }
int CSSysOps::os_access(const char* path, int mode) { return ::access(path, mode); }
int CSSysOps::os_stat(const char* path, struct stat* st) { return ::stat(path, st); }
int CSSysOps::os_fstat(int fd, struct stat* st) { return ::fstat(fd, st); }
int CSSysOps::os_lstat(const char* path, struct stat* st) { return ::lstat(path, st); }
int CSSysOps::os_openNoLinks(int dirfd, const char* path, int flags, mode_t mode) {
#if defined(__linux__) && defined(SYS_openat2)
    struct open_how how {};
    how.flags = static_cast<uint64>(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) ? mode : 0;
    how.resolve = RESOLVE_NO_SYMLINKS | (dirfd == AT_FDCWD ? 0 : RESOLVE_BENEATH);
    return static_cast<int>(::syscall(SYS_openat2, dirfd, path, &how, sizeof(how)));
#else
    (void)dirfd;
    (void)path;
    (void)flags;
    (void)mode;
    errno = ENOSYS;
    return -1;
#endif
}
int CSSysOps::os_mkdir(const char* path, mode_t mode) { return ::mkdir(path, mode); }
int CSSysOps::os_chmod(const char* path, mode_t mode) { return ::chmod(path, mode); }
int CSSysOps::os_rmdir(const char* path) { return ::rmdir(path); }
int CSSysOps::os_unlink(const char* path) { return ::unlink(path); }
int CSSysOps::os_rename(const char* from, const char* to) { return ::rename(from, to); }
char* CSSysOps::os_getcwd(char* buf, size_t size) { return ::getcwd(buf, size); }
int CSSysOps::os_chdir(const char* path) { return ::chdir(path); }
DIR* CSSysOps::os_opendir(const char* path) { return ::opendir(path); }
// readdir on a stream that only this object uses is reentrant; readdir_r is deprecated.
struct dirent* CSSysOps::os_readdir(DIR* dir) {
    return ::readdir(dir);
}
int CSSysOps::os_closedir(DIR* dir) { return ::closedir(dir); }

namespace {

CSSysOps gSystemOps;
std::atomic<CSSysOps*> gOps{&gSystemOps};

// An interrupted call is repeated unless the thread has been asked to stop; the bound keeps a
// descriptor that always reports EINTR from hanging the caller.
constexpr int kMaxInterruptRetries = 1000;

template <class Call>
auto retryInterrupted(Call call) {
    for (int attempt = 0;; ++attempt) {
        auto result = call();
        if (result != -1 || errno != EINTR || attempt >= kMaxInterruptRetries) return result;
        int saved = errno;
        CSSys::sys_checkSignal();
        errno = saved;
    }
}

std::string parentOf(const char* path) {
    std::string text = path;
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    size_t slash = text.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return text.substr(0, slash);
}

}  // namespace

// ---- CSSys ------------------------------------------------------------------------------------

CSSysOps& CSSys::ops() { return *gOps.load(std::memory_order_acquire); }

CSSysOps* CSSys::setOps(CSSysOps* ops) {
    CSSysOps* previous = gOps.exchange(ops ? ops : &gSystemOps, std::memory_order_acq_rel);
    return previous == &gSystemOps ? nullptr : previous;
}

void CSSys::sys_checkSignal() {
    CSThread* self = CSThread::getSelf();
    if (!self) return;
    if (int sig = self->takePendingSignal()) CSException::throwSignal(CS_CONTEXT, sig);
}

bool CSSys::sys_exists(const char* path) { return ops().os_access(path, F_OK) == 0; }

bool CSSys::sys_lexists(const char* path) {
    struct stat st {};
    return ops().os_lstat(path, &st) == 0;
}

bool CSSys::sys_isSameFile(const char* path1, const char* path2) {
    struct stat st1 {
    }, st2{};
    if (ops().os_stat(path1, &st1) == -1) CSException::throwFileError(CS_CONTEXT, errno, path1);
    if (ops().os_stat(path2, &st2) == -1) CSException::throwFileError(CS_CONTEXT, errno, path2);
    return st1.st_dev == st2.st_dev && st1.st_ino == st2.st_ino;
}

void CSSys::sys_makeDir(const char* path) {
    if (retryInterrupted([&] { return ops().os_mkdir(path, 0777); }) == -1)
        CSException::throwFileError(CS_CONTEXT, errno, path);
    std::string parent = parentOf(path);
    struct stat st {};
    struct stat made {};
    if (ops().os_stat(parent.c_str(), &st) == -1)
        CSException::throwFileError(CS_CONTEXT, errno, parent.c_str());
    // mkdir gave the folder 0777 less the umask; reading that back leaves the umask unchanged,
    // where umask(2) would change it for every thread while it is read.
    if (ops().os_stat(path, &made) == -1) CSException::throwFileError(CS_CONTEXT, errno, path);
    if (ops().os_chmod(path, st.st_mode & made.st_mode & 0777) == -1)
        CSException::throwFileError(CS_CONTEXT, errno, path);
}

void CSSys::sys_removeDir(const char* path) {
    if (retryInterrupted([&] { return ops().os_rmdir(path); }) == -1 && errno != ENOENT)
        CSException::throwFileError(CS_CONTEXT, errno, path);
}

void CSSys::sys_removeFile(const char* path) {
    if (retryInterrupted([&] { return ops().os_unlink(path); }) == -1 && errno != ENOENT)
        CSException::throwFileError(CS_CONTEXT, errno, path);
}

void CSSys::sys_stat(const char* path, bool* isDir, uint64* size, struct timespec* modified) {
    struct stat st {};
    if (retryInterrupted([&] { return ops().os_stat(path, &st); }) == -1)
        CSException::throwFileError(CS_CONTEXT, errno, path);
    if (isDir) *isDir = S_ISDIR(st.st_mode);
    if (size) *size = static_cast<uint64>(st.st_size);
    if (modified) *modified = st.st_mtim;
}

bool CSSys::sys_isLink(const char* path) {
    struct stat st {};
    if (ops().os_lstat(path, &st) == -1) CSException::throwFileError(CS_CONTEXT, errno, path);
    return S_ISLNK(st.st_mode);
}

namespace {

// A folder kept open for the opens below it, and when it was opened.
struct BaseFolder {
    std::string path;
    int fd = -1;
    std::chrono::steady_clock::time_point opened;
    BaseFolder() = default;
    BaseFolder(const BaseFolder&) = delete;
    BaseFolder& operator=(const BaseFolder&) = delete;
    ~BaseFolder() {
        if (fd >= 0) ::close(fd);
    }
};

// The last base folder used; a thread that uses it holds a reference, so it is closed only when
// nobody opens below it any more.
std::mutex gBaseLock;
std::shared_ptr<BaseFolder> gBase;  // guarded by gBaseLock

constexpr auto kBaseFolderLife = std::chrono::seconds(1);

// The folder `path`, open; none (errno set) when it cannot be opened.
std::shared_ptr<BaseFolder> baseFolder(std::string_view path) {
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> hold(gBaseLock);
        if (gBase && gBase->path == path && now - gBase->opened < kBaseFolderLife) return gBase;
    }
    auto folder = std::make_shared<BaseFolder>();
    folder->path = path;
#if defined(O_PATH)
    constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
    constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
    folder->fd = CSSys::ops().os_open(folder->path.c_str(), kFolderFlags, 0);
    if (folder->fd == -1) return {};
    folder->opened = now;
    std::lock_guard<std::mutex> hold(gBaseLock);
    gBase = folder;
    return folder;
}

}  // namespace

int CSSys::sys_openNoLinksBelow(const char* path, size_t baseLength, int flags, mode_t mode) {
    if (baseLength > 0) {
        const char* below = path + baseLength;
        while (*below == '/') below++;
        std::shared_ptr<BaseFolder> base = baseFolder(std::string_view(path, baseLength));
        if (!base) return -1;  // the folder's own error: missing, not a folder, ...
        return ops().os_openNoLinks(base->fd, below, flags, mode);
    }
    return ops().os_openNoLinks(AT_FDCWD, path, flags, mode);
}

bool CSSys::sys_hasLinkBelow(const char* base, const char* relative, bool quickLook) {
#if defined(O_PATH)
    if (quickLook) {
        // One walk below `base` that refuses a link settles the usual case, a path without links.
        // A refusal, or another error that may hide a link, is settled component by component.
        const std::string whole = std::string(base) + "/" + relative;
        const int fd = sys_openNoLinksBelow(whole.c_str(), strlen(base), O_PATH, 0);
        if (fd != -1) {
            ops().os_close(fd);
            return false;
        }
        // A missing part was reached before any link, and nothing after it can be a link.
        if (errno == ENOENT) return false;
    }
#endif
    std::string path = base;
    std::string_view rest(relative);
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view name = rest.substr(0, slash);
        if (!name.empty()) {
            path += '/';
            path.append(name);
            struct stat st {};
            if (retryInterrupted([&] { return ops().os_lstat(path.c_str(), &st); }) == -1) {
                if (errno == ENOENT || errno == ENOTDIR) return false;
                CSException::throwFileError(CS_CONTEXT, errno, path.c_str());
            }
            if (S_ISLNK(st.st_mode)) return true;
        }
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    return false;
}

void CSSys::sys_rename(const char* oldPath, const char* newPath) {
    if (retryInterrupted([&] { return ops().os_rename(oldPath, newPath); }) == -1)
        CSException::throwFileError(CS_CONTEXT, errno, oldPath);
}

void CSSys::sys_touch(const char* path) {
    if (ops().os_utimes(path, nullptr) == -1) CSException::throwFileError(CS_CONTEXT, errno, path);
}

void CSSys::sys_syncDir(const char* path) {
    int fd = retryInterrupted([&] { return ops().os_open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0); });
    if (fd == -1) CSException::throwFileError(CS_CONTEXT, errno, path);
    int result = retryInterrupted([&] { return ops().os_fsync(fd); });
    int err = errno;
    ops().os_close(fd);
    if (result == -1) CSException::throwFileError(CS_CONTEXT, err, path);
}

void CSSys::sys_getcwd(char* buf, size_t size) {
    if (!ops().os_getcwd(buf, size)) CSException::throwOSError(CS_CONTEXT, errno);
}

void CSSys::sys_setcwd(const char* path) {
    if (ops().os_chdir(path) == -1) CSException::throwFileError(CS_CONTEXT, errno, path);
}

pid_t CSSys::sys_getpid() { return ::getpid(); }

uint64 CSSys::sys_raiseFileLimit() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == -1) CSException::throwOSError(CS_CONTEXT, errno);
    rlim_t wanted = limit.rlim_max;
#ifdef __APPLE__
    // The system refuses more than OPEN_MAX for a process, whatever the hard limit says.
    if (wanted == RLIM_INFINITY || wanted > OPEN_MAX) wanted = OPEN_MAX;
#endif
    if (limit.rlim_cur < wanted) {
        struct rlimit raised = {wanted, limit.rlim_max};
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit.rlim_cur = wanted;
    }
    return static_cast<uint64>(limit.rlim_cur);
}

bool CSSys::sys_isAlive(pid_t pid) { return ::kill(pid, 0) == 0; }

bool CSSys::isFileNotFound(const CSException& e) { return e.getErrorCode() == ENOENT; }
bool CSSys::isDirNotFound(const CSException& e) { return e.getErrorCode() == ENOENT; }
bool CSSys::isDirExists(const CSException& e) { return e.getErrorCode() == EEXIST; }
bool CSSys::isNoSuchPath(const CSException& e) {
    const int err = e.getErrorCode();
    return err == ENOENT || err == ENOTDIR || err == ENAMETOOLONG || err == ELOOP;
}

// ---- CSSysFile --------------------------------------------------------------------------------

CSSysFile::~CSSysFile() {
    // A destructor cannot report; callers that care about close errors call sf_close first.
    if (iHandle >= 0) CSSys::ops().os_close(iHandle);
}

void CSSysFile::fail(const char* func, const char* file, int line, int err) const {
    CSException::throwFileError(func, file, line, err, iPath.c_str());
}

void CSSysFile::sf_open(const char* path, bool readOnly, bool create, bool noLinks, size_t linkBase) {
    if (iHandle >= 0) sf_close();
    int flags = (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC;
    if (create) flags |= O_CREAT;
    iPath = path;
    iHandle = -1;
    if (noLinks)
        iHandle = retryInterrupted([&] { return CSSys::sys_openNoLinksBelow(path, linkBase, flags, 0664); });
    if (iHandle == -1 && noLinks && errno == ENOSYS) {
        // The system refuses no links while it opens: each part of the path below the base is
        // looked at first (without a base, from the root or from the working folder).
        const bool absolute = path[0] == '/';
        const std::string base = linkBase ? std::string(path, linkBase) : absolute ? "" : ".";
        const char* below = path + linkBase;
        while (*below == '/') below++;
        if (CSSys::sys_hasLinkBelow(base.c_str(), below, false)) fail(CS_CONTEXT, ELOOP);
        noLinks = false;
    }
    if (!noLinks) iHandle = retryInterrupted([&] { return CSSys::ops().os_open(path, flags, 0664); });
    if (iHandle == -1) fail(CS_CONTEXT, errno);
}

void CSSysFile::sf_close() {
    if (iHandle < 0) return;
    int fd = iHandle;
    iHandle = -1;
    // close is not retried on EINTR: the descriptor is gone either way on this platform.
    int result = CSSys::ops().os_close(fd);
    int err = errno;
    if (result == -1 && err != EINTR) {
        const std::string path = std::exchange(iPath, {});
        CSException::throwFileError(CS_CONTEXT, err, path.c_str());
    }
    iPath.clear();  // its memory is kept for the next open
}

size_t CSSysFile::sf_pread(void* buf, size_t size, uint64 offset) {
    ssize_t result = retryInterrupted(
        [&] { return CSSys::ops().os_pread(iHandle, buf, size, static_cast<off_t>(offset)); });
    if (result == -1) fail(CS_CONTEXT, errno);
    return static_cast<size_t>(result);
}

void CSSysFile::sf_pwrite(const void* buf, size_t size, uint64 offset) {
    const char* bytes = static_cast<const char*>(buf);
    size_t done = 0;
    // Each round writes at least one byte or raises, so the loop ends.
    while (done < size) {
        ssize_t result = retryInterrupted([&] {
            return CSSys::ops().os_pwrite(iHandle, bytes + done, size - done,
                                          static_cast<off_t>(offset + done));
        });
        if (result == -1) fail(CS_CONTEXT, errno);
        // A write that makes no progress on a regular file means the device is full.
        if (result == 0) fail(CS_CONTEXT, ENOSPC);
        done += static_cast<size_t>(result);
    }
}

uint64 CSSysFile::sf_getEOF() {
    off_t end = CSSys::ops().os_lseek(iHandle, 0, SEEK_END);
    if (end == -1) fail(CS_CONTEXT, errno);
    return static_cast<uint64>(end);
}

void CSSysFile::sf_setEOF(uint64 size) {
    if (retryInterrupted([&] { return CSSys::ops().os_ftruncate(iHandle, static_cast<off_t>(size)); }) == -1)
        fail(CS_CONTEXT, errno);
}

void CSSysFile::sf_sync() {
    if (retryInterrupted([&] { return CSSys::ops().os_fsync(iHandle); }) == -1) fail(CS_CONTEXT, errno);
}

void CSSysFile::sf_fstat(struct stat* st) {
    if (retryInterrupted([&] { return CSSys::ops().os_fstat(iHandle, st); }) == -1) fail(CS_CONTEXT, errno);
}

void CSSysFile::sf_datasync() {
    if (retryInterrupted([&] { return CSSys::ops().os_fdatasync(iHandle); }) == -1) fail(CS_CONTEXT, errno);
}

void CSSysFile::sf_lock(bool shared) {
    if (retryInterrupted([&] { return CSSys::ops().os_flock(iHandle, shared ? LOCK_SH : LOCK_EX); }) == -1)
        fail(CS_CONTEXT, errno);
}

bool CSSysFile::sf_tryLock(bool shared) {
    const int operation = (shared ? LOCK_SH : LOCK_EX) | LOCK_NB;
    if (retryInterrupted([&] { return CSSys::ops().os_flock(iHandle, operation); }) == 0) return true;
    if (errno != EWOULDBLOCK) fail(CS_CONTEXT, errno);
    return false;
}

void CSSysFile::sf_unlock() {
    if (retryInterrupted([&] { return CSSys::ops().os_flock(iHandle, LOCK_UN); }) == -1)
        fail(CS_CONTEXT, errno);
}

// ---- CSSysDir ---------------------------------------------------------------------------------

CSSysDir::~CSSysDir() {
    if (iDir) CSSys::ops().os_closedir(iDir);
}

void CSSysDir::open() {
    close();
    iDir = CSSys::ops().os_opendir(iPath.c_str());
    if (!iDir) CSException::throwFileError(CS_CONTEXT, errno, iPath.c_str());
}

void CSSysDir::close() {
    if (!iDir) return;
    CSSys::ops().os_closedir(iDir);
    iDir = nullptr;
    iEntryName.clear();
}

bool CSSysDir::next() {
    if (!iDir) CSException::throwAssertion(CS_CONTEXT, "Directory not open");
    for (;;) {
        CSSys::sys_checkSignal();
        errno = 0;
        struct dirent* entry = CSSys::ops().os_readdir(iDir);
        if (!entry) {
            if (errno != 0) CSException::throwFileError(CS_CONTEXT, errno, iPath.c_str());
            iEntryName.clear();
            return false;
        }
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        iEntryName = entry->d_name;
        if (entry->d_type == DT_UNKNOWN) {
            // Some file systems do not report the type; ask for it rather than guess "file" and
            // later try to unlink a folder.
            struct stat st {};
            std::string full = getEntryPath();
            iEntryIsDir = CSSys::ops().os_lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        } else {
            iEntryIsDir = entry->d_type == DT_DIR;
        }
        return true;
    }
}

std::string CSSysDir::getEntryPath() const {
    std::string full = iPath;
    if (full.empty() || full.back() != '/') full += '/';
    full += iEntryName;
    return full;
}

void CSSysDir::getEntryPath(char* buf, size_t size) const { cs_strcpy(size, buf, getEntryPath().c_str()); }
