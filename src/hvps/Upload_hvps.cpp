// PUT of a file in a space: replace the file, write at an offset, or append in log mode (the first
// record of the body has its checksum verified), with an optional MD5 check of the whole resulting
// file that may be spread over several requests. A failed replace leaves the file as it was (the
// body goes into a temporary file that only success renames over the file); any other failed
// upload leaves the file cut back to where writing began. The disk usage follows the file.
//
// A replace whose MD5 check runs out of time throws its temporary file away like any failure; the
// digest progress stays in the file-state entry of the target path, so the client's repeat of the
// same replace writes a new temporary file and the check goes on from where it stopped.
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "CSFile.h"
#include "CSLog.h"
#include "CSMd5.h"
#include "CSPath.h"
#include "CSSys.h"
#include "ConnectionHandler_hvps.h"
#include "DiskUsage_hvps.h"
#include "FileState_hvps.h"
#include "LogRecord_hvps.h"
#include "Session_hvps.h"
#include "UploadJournal_hvps.h"
#include "config_hvps.h"

namespace {

constexpr size_t kCopyBufferSize = 65536;

// One copy buffer per handler thread, made at its first upload.
uint8* copyBuffer() {
    thread_local std::unique_ptr<uint8[]> buffer;
    if (!buffer) buffer = std::make_unique<uint8[]>(kCopyBufferSize);
    return buffer.get();
}

uint64 nowMicroseconds() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<uint64>(tv.tv_sec) * 1000000u + static_cast<uint64>(tv.tv_usec);
}

bool isMD5Hex(const char* text) {
    size_t n = 0;
    for (; text[n]; n++)
        if (!isxdigit(static_cast<unsigned char>(text[n]))) return false;
    return n == CSMd5::kHexLen;
}

// A header value that must be a whole decimal number; anything else is refused.
uint64 decimalHeader(const char* name, const char* value) {
    uint64 number;
    if (!hvps_parse_decimal(value, &number))
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_BAD_REQUEST, "Bad %s value: %s", name, value);
    return number;
}

template <class Call>
auto retryInterrupted(Call call) {
    for (int attempt = 0;; ++attempt) {
        auto result = call();
        if (result != -1 || errno != EINTR || attempt >= 1000) return result;
        CSSys::sys_checkSignal();
        errno = EINTR;
    }
}

// Holds the exclusive lock of an upload's target file, and makes sure that the locked file is the
// one the path names: a replace renames a new file over the path, so an upload that waited for
// the lock of the file it replaced would otherwise write into a file that no path names any more.
// The file (and missing parent folders) is made when missing. The lock is released with the object.
// The calls go through the system layer's call table, except fstat, which it does not have: it
// only reads the identity of the descriptor held here.
class TargetLock {
public:
    // Bounds the re-locking when the path keeps being replaced while this upload waits.
    static constexpr int kMaxAttempts = 1000;

    explicit TargetLock(const std::string& path) : iPath(path) {
        for (int attempt = 0;; attempt++) {
            int fd = openTarget();
            struct stat held {};
            struct stat named {};
            int err = 0;
            if (retryInterrupted([&] { return CSSys::ops().os_flock(fd, LOCK_EX); }) == -1 ||
                ::fstat(fd, &held) == -1)
                err = errno;
            else if (CSSys::ops().os_stat(path.c_str(), &named) == -1)
                err = errno == ENOENT ? 0 : errno;  // removed while we waited: lock the new one
            else if (held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
                iHandle = fd;
                iSize = static_cast<uint64>(held.st_size);
                return;
            }
            CSSys::ops().os_close(fd);
            if (err != 0) CSException::throwFileError(CS_CONTEXT, err, path.c_str());
            if (attempt + 1 >= kMaxAttempts) CSException::throwFileError(CS_CONTEXT, EBUSY, path.c_str());
        }
    }
    ~TargetLock() { CSSys::ops().os_close(iHandle); }
    TargetLock(const TargetLock&) = delete;
    TargetLock& operator=(const TargetLock&) = delete;

    // The file's length when the lock was taken.
    uint64 size() const { return iSize; }
    // The locked descriptor, open for reading and writing.
    int handle() const { return iHandle; }

private:
    int openTarget() {
        auto open = [&] {
            return retryInterrupted(
                [&] { return CSSys::ops().os_open(iPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0664); });
        };
        int fd = open();
        if (fd == -1 && errno == ENOENT) {
            try {
                CSPath::newPath(iPath.c_str(), "..")->makePath();
            } catch (const CSException& e) {
                if (!CSSys::isDirExists(e)) throw;
            }
            fd = open();
        }
        if (fd == -1) CSException::throwFileError(CS_CONTEXT, errno, iPath.c_str());
        return fd;
    }

    std::string iPath;
    int iHandle = -1;
    uint64 iSize = 0;
};

// The target file of an upload that writes into the file itself, on the descriptor its TargetLock
// holds: the file is not opened a second time. The descriptor stays the lock's; open() and close()
// do nothing. Reads, writes and length changes go through the system layer's call table and raise
// the file error naming the path, as an opened CSFile does.
class HeldFile : public CSFile {
public:
    HeldFile(CSRef<CSPath> path, int handle) : CSFile(std::move(path)), iHandle(handle) {}

    void open(int) override {}
    void openFile(int) override {}
    void lock() override {}
    void unlock() override {}
    void close() override {}
    uint64 getEOF() override {
        off_t end = CSSys::ops().os_lseek(iHandle, 0, SEEK_END);
        if (end == -1) fail(errno);
        return static_cast<uint64>(end);
    }
    void setEOF(uint64 size) override {
        if (retryInterrupted([&] { return CSSys::ops().os_ftruncate(iHandle, static_cast<off_t>(size)); }) ==
            -1)
            fail(errno);
    }
    size_t read(void* data, uint64 offset, size_t size, size_t min) override {
        char* bytes = static_cast<char*>(data);
        size_t total = 0;
        do {
            ssize_t got = retryInterrupted([&] {
                return CSSys::ops().os_pread(iHandle, bytes + total, size - total,
                                             static_cast<off_t>(offset + total));
            });
            if (got == -1) fail(errno);
            if (got == 0) break;
            total += static_cast<size_t>(got);
        } while (total < min);
        CSSys::sys_checkSignal();
        if (total < min) CSException::throwEOFError(CS_CONTEXT, getPathCString());
        return total;
    }
    void write(const void* data, uint64 offset, size_t size) override {
        const char* bytes = static_cast<const char*>(data);
        size_t done = 0;
        while (done < size) {
            ssize_t result = retryInterrupted([&] {
                return CSSys::ops().os_pwrite(iHandle, bytes + done, size - done,
                                              static_cast<off_t>(offset + done));
            });
            if (result == -1) fail(errno);
            if (result == 0) fail(ENOSPC);  // no progress on a regular file: the device is full
            done += static_cast<size_t>(result);
        }
        CSSys::sys_checkSignal();
    }
    void sync() override {
        if (retryInterrupted([&] { return CSSys::ops().os_fsync(iHandle); }) == -1) fail(errno);
    }

private:
    [[noreturn]] void fail(int err) { CSException::throwFileError(CS_CONTEXT, err, getPathCString()); }

    int iHandle;
};

// Undoes a failed upload when an exception leaves handlePut while armed. A replace throws its
// temporary file away: the target was never touched. Any other upload cuts the file back to where
// writing began (never beyond the length it had), so the file is again a prefix of what it was,
// and the disk usage follows. Never throws; a failure is logged.
class HandlePutCleanUp {
public:
    HandlePutCleanUp(CSThread* self, CSFile* file, bool temporary, uint64 start, uint64 sizeBefore)
        : iSelf(self), iFile(file), iTemporary(temporary), iStart(start), iSizeBefore(sizeBefore) {}
    ~HandlePutCleanUp() {
        if (!iArmed) return;
        if (iTemporary) {
            try {
                iFile->close();
            } catch (const CSException&) {
                // The file is thrown away: its lost writes do not matter.
            }
            try {
                iFile->getPath()->removeFile();
            } catch (const CSException& e) {
                e.log(iSelf);
            }
            return;
        }
        uint64 size = std::min(iStart, iSizeBefore);
        try {
            iFile->setEOF(size);
        } catch (const CSException& e) {
            e.log(iSelf);
            try {
                size = iFile->getEOF();
            } catch (const CSException&) {
                // Keep the intended size: the file state is unknown either way.
            }
        }
        try {
            SystemParameters::setDiskUsage(iSizeBefore, size);
        } catch (const CSException& e) {
            e.log(iSelf);
        }
    }
    HandlePutCleanUp(const HandlePutCleanUp&) = delete;
    HandlePutCleanUp& operator=(const HandlePutCleanUp&) = delete;

    void disarm() { iArmed = false; }

private:
    CSThread* iSelf;
    CSFile* iFile;
    bool iTemporary;
    uint64 iStart;
    uint64 iSizeBefore;
    bool iArmed = true;
};

// Resets the digest of an entry that was fed bytes of an upload as they were written, should the
// upload fail before those bytes were kept: the digest cannot be taken back to where writing began,
// so the next check starts again from the beginning of the file.
class StreamedDigestGuard {
public:
    explicit StreamedDigestGuard(HVFileState* entry) : iEntry(entry) {}
    ~StreamedDigestGuard() {
        if (iEntry && iFed) iEntry->resetMD5();
    }
    StreamedDigestGuard(const StreamedDigestGuard&) = delete;
    StreamedDigestGuard& operator=(const StreamedDigestGuard&) = delete;

    void feed(const uint8* data, size_t len) {
        iFed = true;
        iEntry->feed(data, len);
    }
    // Bytes were handed to a DigestWorker for the entry.
    void markFed() { iFed = true; }
    void disarm() { iEntry = nullptr; }

private:
    HVFileState* iEntry;
    bool iFed = false;
};

// Adds the blocks of a large upload to an entry's digest on a thread of its own while the handler
// receives and writes the next block, so that receiving and hashing run on two cores. Two buffers
// take turns: the handler receives into one while the other is being hashed. The worker spends at
// most `timeout` microseconds (0: no limit) on the digest; the blocks after that are not added.
// The handler holds the entry's mutex for the worker's whole life; the worker's hand-overs order
// its accesses to the entry before the handler's next ones.
class DigestWorker {
public:
    // Smaller bodies are hashed on the handler's thread: a thread would cost more than it saves.
    static constexpr uint64 kMinimumBody = uint64{1} << 20;
    // Blocks larger than the handler's own, so that the two threads hand over less often.
    static constexpr size_t kBlockSize = 512 * 1024;

    DigestWorker(HVFileState* entry, uint64 timeout) : iEntry(entry), iTimeout(timeout) {
        for (auto& buffer : iBuffers) buffer = std::make_unique_for_overwrite<uint8[]>(kBlockSize);
        iThread = std::thread([this] { run(); });
    }
    ~DigestWorker() {
        {
            std::lock_guard<std::mutex> hold(iLock);
            iStop = true;
        }
        iChanged.notify_all();
        iThread.join();
    }
    DigestWorker(const DigestWorker&) = delete;
    DigestWorker& operator=(const DigestWorker&) = delete;

    // The buffer (of kBlockSize bytes) to receive the next block into, once the worker is
    // done with what it held.
    uint8* nextBuffer() {
        std::unique_lock<std::mutex> hold(iLock);
        iChanged.wait(hold, [&] { return iLength[iNext] == 0; });
        return iBuffers[iNext].get();
    }
    // Hands the `len` bytes received into the buffer nextBuffer() gave to the worker.
    void submit(size_t len) {
        {
            std::lock_guard<std::mutex> hold(iLock);
            iLength[iNext] = len;
            iNext ^= 1;
        }
        iChanged.notify_all();
    }
    // Waits until every block handed over is in the digest (or was left out for lack of time).
    void drain() {
        std::unique_lock<std::mutex> hold(iLock);
        iChanged.wait(hold, [&] { return iLength[0] == 0 && iLength[1] == 0; });
    }
    // After drain(): the time spent on the digest, and whether it used up the budget.
    uint64 digestTime() const { return iDigestTime; }
    bool outOfTime() const { return iOutOfTime; }

private:
    void run() {
        int index = 0;
        std::unique_lock<std::mutex> hold(iLock);
        for (;;) {
            iChanged.wait(hold, [&] { return iStop || iLength[index] != 0; });
            if (iStop) return;
            const size_t len = iLength[index];
            const bool skip = iOutOfTime;
            hold.unlock();
            uint64 spent = 0;
            if (!skip) {
                const uint64 before = nowMicroseconds();
                iEntry->feed(iBuffers[index].get(), len);
                spent = nowMicroseconds() - before;
            }
            hold.lock();
            iDigestTime += spent;
            iOutOfTime = iTimeout != 0 && iDigestTime > iTimeout;
            iLength[index] = 0;
            index ^= 1;
            iChanged.notify_all();
        }
    }

    HVFileState* iEntry;
    const uint64 iTimeout;
    std::unique_ptr<uint8[]> iBuffers[2];
    size_t iLength[2] = {0, 0};  // bytes waiting in each buffer; 0: free
    int iNext = 0;               // the buffer the handler fills next
    uint64 iDigestTime = 0;
    bool iOutOfTime = false;
    bool iStop = false;
    std::mutex iLock;
    std::condition_variable iChanged;
    std::thread iThread;
};

}  // namespace

void MSConnectionHandler::handlePut() {
    clearLastError();
    resetOutput(false);
    parseRequestURI();
    verifySession();

    const uint64 limit = hvps_system_parameters.iRepositorySize;
    const uint64 usage = SystemParameters::currentDiskUsage();
    if (limit != 0 && usage >= limit)
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_REPOSITORY_FULL, "Repository is full: %llu >= %llu",
                                     static_cast<unsigned long long>(usage),
                                     static_cast<unsigned long long>(limit));

    // Every request value is checked before the file is touched: a malformed request must not
    // cut a file that it could never write.
    CSHTTPInputStream* in = iInputStream.get();
    const char* seekPos = in->getHeaderCStringValue("Seek-Pos");
    const bool replace = seekPos == nullptr;
    bool logMode = seekPos && strcasecmp(seekPos, "EOF") == 0;
    uint64 offset = (replace || logMode) ? 0 : decimalHeader("Seek-Pos", seekPos);
    const char* lengthText = in->getHeaderCStringValue("Content-Length");
    const uint64 length = lengthText ? decimalHeader("Content-Length", lengthText) : 0;
    const char* md5Check = in->getHeaderCStringValue("P1MD5Check");
    if (md5Check && !isMD5Hex(md5Check))
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_BAD_REQUEST, "Bad P1MD5Check value: %s", md5Check);
    if (length > UINT64_MAX - offset)
        CSException::throwExceptionf(
            CS_CONTEXT, HVPS_ERR_BAD_REQUEST, "Upload beyond the largest file: %llu + %llu",
            static_cast<unsigned long long>(offset), static_cast<unsigned long long>(length));

    // The target stays locked to the end of the request, so uploads of one file run one after the
    // other. A replace writes into a temporary file and renames it over the target once it has
    // succeeded; every other placement writes into the target itself.
    const char* path = iResourcePath ? iResourcePath->getCString() : "";
    const std::string targetPath = hvps_system_parameters.iRepositoryPath + "/" + path;
    TargetLock targetLock(targetPath);
    const uint64 sizeBefore = targetLock.size();
    CSRef<CSFile> target = cs_new<HeldFile>(CSPath::newPath(targetPath.c_str()), targetLock.handle());
    CSRef<CSFile> file = replace ? CSFile::newFile(newUploadTempPath(targetPath).c_str()) : target;
    const uint64 start = replace ? 0 : logMode ? sizeBefore : offset;
    // An append cannot overflow: the file would have to be near 2^64 bytes already.
    const uint64 end = start + length;
    // The file length after a successful upload: a write inside the file does not shorten it.
    const uint64 sizeAfter = (replace || logMode) ? end : std::max(sizeBefore, end);

    // Should the process die while the file itself is written, the next start cuts it back to where
    // the guard below would have. A replace needs no note: it never writes the file, and start-up
    // removes a temporary file left behind.
    std::optional<UploadJournalEntry> journal;
    if (!replace) journal.emplace(targetPath.c_str(), std::min(start, sizeBefore));
    HandlePutCleanUp cleanUp(this, file.get(), replace, start, sizeBefore);
    if (replace) file->openFile(CSFile::CREATE | CSFile::TRUNCATE);

    // The MD5 state is that of the target path, also while a replace's bytes are in its temporary
    // file. Its mutex is held to the end of the request. When the digest has reached exactly the
    // first byte to be written (a new file, a replace, an append to a verified file), each chunk is
    // added as it is written instead of being read back afterwards. A chunk is added only once the
    // next one has arrived, or the body has ended and its record checked, so that a single-chunk
    // upload that fails leaves the digest as it was.
    std::unique_lock<HVFileState> entryHold;
    HVFileState* entry = nullptr;
    if (md5Check) {
        entry = FileStateList::getFileState(target->getPathString(), sizeAfter);
        entryHold = std::unique_lock<HVFileState>(*entry, std::adopt_lock);
        entry->beginCheck(start, sizeAfter, replace);
    }
    const bool streamDigest = entry && entry->getMD5Offset() == start && start <= sizeBefore;
    StreamedDigestGuard streamed(streamDigest ? entry : nullptr);
    uint8* buffer = copyBuffer();
    size_t unfed = 0;  // bytes at the start of the copy buffer written but not yet in the digest
    // The check's time budget counts the time spent on the digest, as a read-back check's would.
    // Once it is spent, the rest of the body is written unchecked and the check fails with its
    // progress kept, so that the client's repeat goes on from there.
    const uint64 timeout = uint64{hvps_system_parameters.iPutVerifyTimeout} * 1000;
    uint64 digestTime = 0;
    bool outOfTime = false;
    auto feedStreamed = [&](size_t len) {
        if (outOfTime) return;
        const uint64 before = nowMicroseconds();
        streamed.feed(buffer, len);
        digestTime += nowMicroseconds() - before;
        outOfTime = timeout != 0 && digestTime > timeout;
    };
    std::optional<DigestWorker> worker;
    if (streamDigest && length >= DigestWorker::kMinimumBody) worker.emplace(entry, timeout);

    // Receive loop. In log mode the first record's checksum is computed on the way; the bytes of the
    // body after that record are appended unchecked.
    uint64 position = start;
    uint64 remaining = length;
    HVRecordChecksum checksum;
    uint32 expectedChecksum = 0xFFFFFFFF;
    bool haveHeader = false;
    uint32 recordLeft = 0;
    while (remaining > 0) {
        if (worker)
            buffer = worker->nextBuffer();
        else if (unfed > 0)
            feedStreamed(std::exchange(unfed, 0));
        const size_t chunk = static_cast<size_t>(
            std::min<uint64>(remaining, worker ? DigestWorker::kBlockSize : kCopyBufferSize));
        size_t got = 0;
        while (got < chunk) {
            size_t n = in->read(reinterpret_cast<char*>(buffer) + got, chunk - got);
            if (n == 0) break;
            got += n;
        }
        if (got == 0) {
            CSL.logf(this, CSLog::Warning,
                     "Body too short for %s\nExpected: %llu, got so far: %llu, offset to write: %llu\n",
                     target->getPathCString(), static_cast<unsigned long long>(length),
                     static_cast<unsigned long long>(length - remaining),
                     static_cast<unsigned long long>(start));
            CSException::throwException(CS_CONTEXT, HVPS_ERR_BAD_UPLOAD, "Unexpected end of HTTP body");
        }

        size_t checked = 0;  // bytes of this chunk already looked at for the record
        if (logMode && !haveHeader) {
            if (got < kLogRecordHeaderSize)
                CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_BAD_UPLOAD,
                                             "Log message too short: %llu < 10",
                                             static_cast<unsigned long long>(got));
            uint16 field;
            uint32 lengthField;
            if (hvps_parse_record_header(buffer, &field, &lengthField)) {
                haveHeader = true;
                expectedChecksum = field;
                recordLeft = lengthField + kLogRecordExtraBytes;  // modulo 2^32, as the writer counts
                checked = kLogRecordHeaderSize;
            } else {
                logMode = false;
            }
        }
        if (logMode && recordLeft > 0) {
            const size_t n = static_cast<size_t>(std::min<uint64>(recordLeft, got - checked));
            checksum.add(buffer + checked, n);
            recordLeft -= static_cast<uint32>(n);
        }

        file->write(buffer, position, got);
        position += got;
        remaining -= got;
        if (worker) {
            streamed.markFed();
            worker->submit(got);
        } else if (streamDigest) {
            unfed = got;
        }
    }

    if (logMode) {
        const uint32 computed = checksum.value();
        if (!haveHeader || computed != expectedChecksum)
            CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_BAD_UPLOAD, "CheckSum Failed: %X != %x",
                                         expectedChecksum, haveHeader ? computed : 0);
    }

    if (unfed > 0) feedStreamed(unfed);
    if (worker) {
        worker->drain();
        digestTime = worker->digestTime();
        outOfTime = worker->outOfTime();
        worker.reset();
        buffer = copyBuffer();
    }
    streamed.disarm();

    if (md5Check) {
        auto timedOut = [&] {
            entry->noteTimeout();
            iMD5Offset = entry->getMD5Offset();
            iFileLength = entry->getExpectedLength();
            CSException::throwException(CS_CONTEXT, HVPS_ERR_MD5_TIMEOUT, "MD5 check timeout");
        };
        if (outOfTime) timedOut();
        // Reads back what the digest does not cover yet: the whole upload when it was not fed as it
        // was written, else only the part of the file after the upload's bytes, if any.
        const uint64 began = nowMicroseconds() - digestTime;
        for (;;) {
            size_t n = file->read(buffer, entry->getMD5Offset(), kCopyBufferSize, 0);
            if (n == 0) break;
            entry->feed(buffer, n);
            if (timeout != 0 && nowMicroseconds() - began > timeout) timedOut();
        }

        char digest[CSMd5::kHexLen + 1];
        entry->getDigestHex(digest);
        if (strcasecmp(digest, md5Check) != 0) {
            entry->resetMD5();
            CSL.logf(this, CSLog::Error, "MD5 Check failed on %s\nLength read: %llu, will reset to: %llu\n",
                     target->getPathCString(), static_cast<unsigned long long>(position),
                     static_cast<unsigned long long>(start));
            CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_MD5_MISMATCH,
                                         "MD5 check failed: server: %s, client: %s", digest, md5Check);
        }
    }

    // The upload has succeeded: a replace now becomes the file. A failed close or rename still
    // throws the temporary file away and leaves the target as it was.
    if (replace) {
        file->close();
        CSSys::sys_rename(file->getPathCString(), targetPath.c_str());
    }
    cleanUp.disarm();
    if (md5Check) {
        if (replace) entryHold.mutex()->replaceCommitted();
    } else {
        FileStateList::fileChanged(target->getPathString(), start);
    }
    SystemParameters::setDiskUsage(sizeBefore, sizeAfter);
    prepareResponse(true, 201, 0, "Put OK");
}
