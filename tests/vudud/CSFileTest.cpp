#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <functional>
#include <string>

#include "CSException.h"
#include "CSFile.h"
#include "CSSys.h"
#include "CSThread.h"
#include "TestSupport.h"

using hvps_test::Caught;
using hvps_test::caught;
using hvps_test::randomBytes;
using hvps_test::readFile;
using hvps_test::TempDir;
using hvps_test::writeFile;

namespace {

// Installs a fault-injecting system layer for the lifetime of the object.
class OpsScope {
public:
    explicit OpsScope(CSSysOps* ops) : iPrevious(CSSys::setOps(ops)) {}
    ~OpsScope() { CSSys::setOps(iPrevious); }

private:
    CSSysOps* iPrevious;
};

// Whether another descriptor could take the lock without waiting.
bool canLock(const std::string& path, int operation) {
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    bool ok = ::flock(fd, operation | LOCK_NB) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

TEST(CSFileTest, ReadReturnsWhatIsThereAndRaisesEOFBelowMin) {
    TempDir dir;
    writeFile(dir.file("f"), "0123456789");
    auto file = CSFile::newFile(dir.file("f").c_str());
    file->open(CSFile::READONLY);

    char buf[32] = {};
    EXPECT_EQ(5u, file->read(buf, 5, sizeof(buf), 0));
    EXPECT_EQ("56789", std::string(buf, 5));
    EXPECT_EQ(5u, file->read(buf, 5, sizeof(buf), 5));
    EXPECT_EQ(0u, file->read(buf, 10, sizeof(buf), 0));

    Caught eof = caught([&] { file->read(buf, 5, 20, 10); });
    EXPECT_EQ(CS_ERR_EOF, eof.code);
    EXPECT_NE(std::string::npos, eof.message.find(dir.file("f")));
}

TEST(CSFileTest, LocksNestCloseReleasesThemAndReadersShare) {
    TempDir dir;
    std::string path = dir.file("f");
    writeFile(path, "x");
    auto file = CSFile::newFile(path.c_str());
    file->open(CSFile::DEFAULT);
    file->lock();
    file->lock();
    file->unlock();
    EXPECT_FALSE(canLock(path, LOCK_SH));
    file->unlock();
    EXPECT_TRUE(canLock(path, LOCK_EX));
    file->unlock();  // without a lock: nothing
    file->lock();
    EXPECT_FALSE(canLock(path, LOCK_SH));
    file->close();
    EXPECT_TRUE(canLock(path, LOCK_EX));

    // A read-only file takes a shared lock.
    file->open(CSFile::READONLY);
    file->lock();
    EXPECT_TRUE(canLock(path, LOCK_SH));
    EXPECT_FALSE(canLock(path, LOCK_EX));
}

TEST(CSFileTest, TransferCopiesInPiecesAndReportsAnEarlyEnd) {
    TempDir dir;
    std::string content = randomBytes(1000, 1);
    writeFile(dir.file("src"), content);
    auto src = CSFile::newFile(dir.file("src").c_str());
    src->open(CSFile::READONLY);
    auto dst = CSFile::newFile(dir.file("dst").c_str());
    dst->open(CSFile::CREATE);

    char buf[7];
    EXPECT_TRUE(CSFile::transfer(dst.get(), 2, src.get(), 100, 500, buf, sizeof(buf)));
    EXPECT_EQ(content.substr(100, 500), readFile(dir.file("dst")).substr(2));

    dst->setEOF(0);
    EXPECT_FALSE(CSFile::transfer(dst.get(), 0, src.get(), 900, 500, buf, sizeof(buf)));
    EXPECT_EQ(content.substr(900), readFile(dir.file("dst")));
}

// ---- Faults injected through the system layer ---------------------------------------------------

namespace {

struct FaultOps : CSSysOps {
    int writeErrno = 0;      // every pwrite fails with this
    size_t writeLimit = 0;   // pwrite writes at most this many bytes (0 = no limit)
    int interruptReads = 0;  // the first reads fail with EINTR
    int syncErrno = 0;

    ssize_t os_pwrite(int fd, const void* buf, size_t size, off_t offset) override {
        if (writeErrno) {
            errno = writeErrno;
            return -1;
        }
        if (writeLimit && size > writeLimit) size = writeLimit;
        return CSSysOps::os_pwrite(fd, buf, size, offset);
    }
    ssize_t os_pread(int fd, void* buf, size_t size, off_t offset) override {
        if (interruptReads > 0) {
            interruptReads--;
            errno = EINTR;
            return -1;
        }
        return CSSysOps::os_pread(fd, buf, size, offset);
    }
    int os_fsync(int fd) override {
        if (syncErrno) {
            errno = syncErrno;
            return -1;
        }
        return CSSysOps::os_fsync(fd);
    }
};

}  // namespace

TEST(CSFileTest, SystemFailuresSurfaceAsFileErrorsWithThePath) {
    TempDir dir;
    std::string path = dir.file("f");
    auto file = CSFile::newFile(path.c_str());
    file->open(CSFile::CREATE);

    FaultOps ops;
    OpsScope scope(&ops);
    struct Case {
        int FaultOps::*field;
        int err;
        std::string path;
        std::function<void()> call;
    } cases[] = {
        {&FaultOps::writeErrno, ENOSPC, path, [&] { file->write("abc", 0, 3); }},
        {&FaultOps::writeErrno, EIO, path, [&] { file->write("abc", 0, 3); }},
        {&FaultOps::syncErrno, EIO, path, [&] { file->sync(); }},
        {&FaultOps::syncErrno, EIO, dir.path(), [&] { CSPath::newPath(dir.path().c_str())->syncDir(); }},
    };
    for (const Case& c : cases) {
        ops.*c.field = c.err;
        Caught error = caught(c.call);
        ops.*c.field = 0;
        EXPECT_EQ(c.err, error.code);
        EXPECT_NE(std::string::npos, error.message.find("'" + c.path + "'")) << error.message;
    }
}

// Without a pending signal an interrupted call is retried; with one it raises the signal.
TEST(CSFileTest, ShortWritesAndInterruptedReadsAreCompletedUnlessASignalIsPending) {
    TempDir dir;
    auto file = CSFile::newFile(dir.file("f").c_str());
    file->open(CSFile::CREATE);
    std::string content = randomBytes(100, 2);

    FaultOps ops;
    ops.writeLimit = 3;
    ops.interruptReads = 2;
    OpsScope scope(&ops);
    file->write(content.data(), 0, content.size());
    EXPECT_EQ(content, readFile(dir.file("f")));

    char buf[100];
    EXPECT_EQ(100u, file->read(buf, 0, sizeof(buf), 100));
    EXPECT_EQ(content, std::string(buf, 100));

    CSThread thread;
    CSThread::setSelf(&thread);
    thread.setSignalPending(SIGTERM);
    ops.interruptReads = 1;
    Caught stopped = caught([&] { file->read(buf, 0, 4, 4); });
    CSThread::setSelf(nullptr);
    EXPECT_EQ(SIGTERM, stopped.code);
    EXPECT_EQ(0, thread.getSignalPending());
}

// A link anywhere on the path refuses a NO_LINKS open, both where the system refuses links while it
// opens and where each part of the path is looked at first (paths from the root and from the
// working folder alike).
TEST(CSFileTest, NoLinksOpenRefusesALinkOnThePathWhereverTheSystemLeavesTheCheckToUs) {
    struct NoRefusingOpen : CSSysOps {
        int os_openNoLinks(int, const char*, int, mode_t) override {
            errno = ENOSYS;
            return -1;
        }
    } fallback;
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("real").c_str(), 0700), 0);
    writeFile(dir.file("real/f"), "data");
    ASSERT_EQ(::symlink("real", dir.file("link").c_str()), 0);
    char saved[4096];
    ASSERT_NE(::getcwd(saved, sizeof(saved)), nullptr);
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    for (bool useFallback : {false, true}) {
        OpsScope scope(useFallback ? &fallback : nullptr);
        for (const std::string& base : {dir.path() + "/", std::string("./"), std::string()}) {
            SCOPED_TRACE((useFallback ? "fallback, base '" : "base '") + base + "'");
            auto open = [&](const char* name) {
                return caught([&] {
                    CSFile::newFile((base + name).c_str())->open(CSFile::READONLY | CSFile::NO_LINKS);
                });
            };
            EXPECT_EQ(open("real/f").code, 0);
            EXPECT_EQ(open("link/f").code, ELOOP);
        }
    }
    ASSERT_EQ(::chdir(saved), 0);
}
