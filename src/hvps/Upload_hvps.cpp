// PUT of a file in a space: replace the file, write at an offset, or append in log mode (the first
// record of the body has its checksum verified), with an optional MD5 check of the whole resulting
// file that may be spread over several requests. A failed upload leaves the file exactly as it was:
// a replace writes its body into a temporary file that only success renames over the file; any other
// upload keeps the bytes it overwrites inside the file (upload journal) and, should it fail, puts
// them back and cuts the file back to its former length. The disk usage follows the file.
//
// A replace whose MD5 check runs out of time throws its temporary file away like any failure; the
// digest progress stays in the file-state entry of the target path, so the client's repeat of the
// same replace writes a new temporary file and the check goes on from where it stopped.
#include <strings.h>
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
#include "CSLockedFile.h"
#include "CSLog.h"
#include "CSMd5.h"
#include "CSPath.h"
#include "CSSyncGroup.h"
#include "CSSys.h"
#include "ConnectionHandler_hvps.h"
#include "Deletion_hvps.h"
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

// The values of a PUT. All are checked before any file is touched: a malformed request must not
// change a file that it could never write.
struct PutRequest {
    bool replace = false;  // no Seek-Pos
    bool logMode = false;  // Seek-Pos "EOF" (any case)
    uint64 offset = 0;     // a numeric Seek-Pos
    uint64 length = 0;     // Content-Length
    const char* md5Check = nullptr;
};

PutRequest validatePut(CSHTTPInputStream* in) {
    const uint64 limit = hvps_system_parameters.iRepositorySize;
    const uint64 usage = SystemParameters::currentDiskUsage();
    if (limit != 0 && usage >= limit)
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_REPOSITORY_FULL, "Repository is full: %llu >= %llu",
                                     static_cast<unsigned long long>(usage),
                                     static_cast<unsigned long long>(limit));
    PutRequest request;
    const char* seekPos = in->getHeaderCStringValue("Seek-Pos");
    request.replace = seekPos == nullptr;
    request.logMode = seekPos && strcasecmp(seekPos, "EOF") == 0;
    if (seekPos && !request.logMode) request.offset = decimalHeader("Seek-Pos", seekPos);
    const char* lengthText = in->getHeaderCStringValue("Content-Length");
    if (lengthText) request.length = decimalHeader("Content-Length", lengthText);
    request.md5Check = in->getHeaderCStringValue("P1MD5Check");
    if (request.md5Check && !isMD5Hex(request.md5Check))
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_BAD_REQUEST, "Bad P1MD5Check value: %s",
                                     request.md5Check);
    if (request.length > UINT64_MAX - request.offset)
        CSException::throwExceptionf(
            CS_CONTEXT, HVPS_ERR_BAD_REQUEST, "Upload beyond the largest file: %llu + %llu",
            static_cast<unsigned long long>(request.offset), static_cast<unsigned long long>(request.length));
    return request;
}

// Flushes the folder of `target`, which holds a new name, and, for a file that may be new, every
// folder above it up to the repository: the upload may have made them, or may have raced with the
// upload that did and is not done flushing. Uploads to one folder share the flushes.
void flushFolders(const std::string& target, bool newFile) {
    const std::string& repository = hvps_system_parameters.iRepositoryPath;
    std::string folder = target;
    do {
        const size_t slash = folder.rfind('/');
        if (slash == std::string::npos || slash < repository.size()) break;
        folder.resize(slash);
        CSSyncGroup::syncDir(folder);
    } while (newFile);
}

// One upload from the moment its target is locked: the target stays locked, and the upload
// journal note stays, for the object's life, so uploads of one file (and REMOVE and RENAME of it)
// run one after the other. An upload that is not committed is undone when the object goes: the
// temporary file of a replace is thrown away; any other upload puts back the bytes it overwrote
// and cuts the file back to the length it had. Never throws from the destructor; a failure there is
// logged.
class Upload {
public:
    Upload(CSThread* self, const PutRequest& request, const std::string& targetPath)
        : iSelf(self),
          iRequest(request),
          iTargetPath(targetPath),
          iTarget(CSLockedFile::lockFile(targetPath.c_str(), CSLockedFile::Create)),
          iSizeBefore(iTarget->lockedSize()),
          iStart(request.replace   ? 0
                 : request.logMode ? iSizeBefore
                                   : request.offset),
          // An append cannot overflow: the file would have to be near 2^64 bytes already.
          iEnd(iStart + request.length),
          // A write inside the file does not shorten it.
          iSizeAfter((request.replace || request.logMode) ? iEnd : std::max(iSizeBefore, iEnd)),
          // Its bytes are not the file's until the upload succeeds: a replace's lie in a temporary
          // file, and those written inside the file are put back should it fail.
          iProvisional(request.replace || iStart < iSizeBefore) {
        if (iRequest.replace) {
            iFile = CSFile::newFile(newUploadTempPath(iTargetPath).c_str());
            iFile->openFile(CSFile::CREATE | CSFile::TRUNCATE);
        } else {
            // Should the process die while the file itself is written, the next start undoes the
            // upload as the destructor would. A replace needs no note: it never writes the file, and
            // start-up removes a temporary file left behind.
            iJournal.emplace(iTargetPath.c_str(), iSizeBefore, iStart, std::min(iEnd, iSizeBefore));
            iFile = iTarget;
        }
    }
    ~Upload() {
        if (iCommitted) return;
        if (iRequest.replace) {
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
        uint64 size = iSizeBefore;
        try {
            iJournal->undo(iTarget.get());
            // The undoing must be on disk before the journal note that covers it is cleared.
            if (hvps_system_parameters.iSyncUploads) iTarget->datasync();
        } catch (const CSException& e) {
            e.log(iSelf);
            try {
                size = iTarget->getEOF();
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
    Upload(const Upload&) = delete;
    Upload& operator=(const Upload&) = delete;

    // Takes the file-state entry of the target path for the MD5 check, locked to the end of the
    // request. The MD5 state is that of the target path, also while a replace's bytes are in its
    // temporary file.
    void beginDigest() {
        iEntry = FileStateList::getFileState(iTarget->getPathString(), iSizeAfter);
        iEntryHold = std::unique_lock<HVFileState>(*iEntry, std::adopt_lock);
        iEntry->beginCheck(iStart, iSizeAfter, iProvisional);
    }

    // Receives the body into the file, and checks the first record's checksum in log mode.
    void receive(CSHTTPInputStream* in);
    // Compares the digest of the file as the upload leaves it with the client's. Raises -6 with
    // the progress in *md5Offset and *fileLength when the time runs out, -2 on a mismatch.
    void verifyDigest(uint64* md5Offset, uint64* fileLength);
    // The upload has succeeded: it becomes the file, and the cache and the disk usage follow. The
    // one place where the uploaded bytes are made the file's: a failure before its end leaves the
    // file as it was.
    void commit();

private:
    CSThread* iSelf;
    const PutRequest iRequest;
    const std::string iTargetPath;
    CSRef<CSLockedFile> iTarget;
    const uint64 iSizeBefore;
    const uint64 iStart;
    const uint64 iEnd;
    const uint64 iSizeAfter;
    const bool iProvisional;
    std::optional<UploadJournalEntry> iJournal;
    CSRef<CSFile> iFile;  // where the body goes: the target, or a replace's temporary file
    HVFileState* iEntry = nullptr;
    std::unique_lock<HVFileState> iEntryHold;
    uint64 iDigestTime = 0;  // spent on adding the body to the digest as it was written
    bool iOutOfTime = false;
    bool iCommitted = false;
};

void Upload::receive(CSHTTPInputStream* in) {
    // When the digest has reached exactly the first byte to be written (a new file, a replace, an
    // append to a verified file), each chunk is added as it is written instead of being read back
    // afterwards. A chunk is added only once the next one has arrived, or the body has ended and its
    // record checked, so that a single-chunk upload that fails leaves the digest as it was.
    const bool streamDigest = iEntry && iEntry->getMD5Offset() == iStart && iStart <= iSizeBefore;
    StreamedDigestGuard streamed(streamDigest ? iEntry : nullptr);
    uint8* buffer = copyBuffer();
    size_t unfed = 0;  // bytes at the start of the copy buffer written but not yet in the digest
    // The check's time budget counts the time spent on the digest, as a read-back check's would.
    // Once it is spent, the rest of the body is written unchecked and the check fails with its
    // progress kept, so that the client's repeat goes on from there.
    const uint64 timeout = uint64{hvps_system_parameters.iPutVerifyTimeout} * 1000;
    auto feedStreamed = [&](size_t len) {
        if (iOutOfTime) return;
        const uint64 before = nowMicroseconds();
        streamed.feed(buffer, len);
        iDigestTime += nowMicroseconds() - before;
        iOutOfTime = timeout != 0 && iDigestTime > timeout;
    };
    std::optional<DigestWorker> worker;
    if (streamDigest && iRequest.length >= DigestWorker::kMinimumBody) worker.emplace(iEntry, timeout);

    // In log mode the first record's checksum is computed on the way; the bytes of the body after
    // that record are appended unchecked.
    bool logMode = iRequest.logMode;
    uint64 position = iStart;
    uint64 remaining = iRequest.length;
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
            CSL.logf(iSelf, CSLog::Warning,
                     "Body too short for %s\nExpected: %llu, got so far: %llu, offset to write: %llu\n",
                     iTarget->getPathCString(), static_cast<unsigned long long>(iRequest.length),
                     static_cast<unsigned long long>(iRequest.length - remaining),
                     static_cast<unsigned long long>(iStart));
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

        if (iJournal) iJournal->keepBefore(iFile.get(), position + got);
        iFile->write(buffer, position, got);
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
        iDigestTime = worker->digestTime();
        iOutOfTime = worker->outOfTime();
    }
    streamed.disarm();
}

void Upload::verifyDigest(uint64* md5Offset, uint64* fileLength) {
    auto timedOut = [&] {
        iEntry->noteTimeout();
        *md5Offset = iEntry->getMD5Offset();
        *fileLength = iEntry->getExpectedLength();
        CSException::throwException(CS_CONTEXT, HVPS_ERR_MD5_TIMEOUT, "MD5 check timeout");
    };
    if (iOutOfTime) timedOut();
    // Reads back what the digest does not cover yet: the whole upload when it was not fed as it
    // was written, else only the part of the file after the upload's bytes, if any.
    const uint64 timeout = uint64{hvps_system_parameters.iPutVerifyTimeout} * 1000;
    const uint64 began = nowMicroseconds() - iDigestTime;
    uint8* buffer = copyBuffer();
    for (;;) {
        size_t n = iFile->read(buffer, iEntry->getMD5Offset(), kCopyBufferSize, 0);
        if (n == 0) break;
        iEntry->feed(buffer, n);
        if (timeout != 0 && nowMicroseconds() - began > timeout) timedOut();
    }

    char digest[CSMd5::kHexLen + 1];
    iEntry->getDigestHex(digest);
    if (strcasecmp(digest, iRequest.md5Check) != 0) {
        iEntry->resetMD5();
        CSL.logf(iSelf, CSLog::Error, "MD5 Check failed on %s\nLength read: %llu, will reset to: %llu\n",
                 iTarget->getPathCString(), static_cast<unsigned long long>(iEnd),
                 static_cast<unsigned long long>(iStart));
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_MD5_MISMATCH,
                                     "MD5 check failed: server: %s, client: %s", digest, iRequest.md5Check);
    }
}

void Upload::commit() {
    // A failed close or rename still throws the temporary file away and leaves the target as it was.
    // With sync-uploads, what the reply acknowledges is on disk first, flushed in the order a power
    // cut needs: the bytes before the name that makes them the file, the file before the journal
    // note that could undo it.
    auto accept = [&] {
        iCommitted = true;
        if (iEntry) {
            if (iProvisional) iEntry->committed();
        } else {
            FileStateList::fileChanged(iTarget->getPathString(), iStart);
        }
        SystemParameters::setDiskUsage(iSizeBefore, iSizeAfter);
    };
    const bool durable = hvps_system_parameters.iSyncUploads;
    if (durable) iFile->datasync();
    if (iRequest.replace) {
        iFile->close();
        CSSys::sys_rename(iFile->getPathCString(), iTargetPath.c_str());
        accept();  // the target has changed: a failed flush below fails the reply, not the file
    }
    if (durable && (iRequest.replace || iSizeBefore == 0)) flushFolders(iTargetPath, iSizeBefore == 0);
    if (iJournal) iJournal->clear();
    if (!iRequest.replace) accept();
}

}  // namespace

void MSConnectionHandler::handlePut() {
    clearLastError();
    resetOutput(false);
    parseRequestURI();
    verifySession();
    const PutRequest request = validatePut(iInputStream.get());

    SpaceWriter writer(iSpaceID);
    const char* path = iResourcePath.c_str();
    Upload upload(this, request, hvps_system_parameters.iRepositoryPath + "/" + path);
    if (request.md5Check) upload.beginDigest();
    upload.receive(iInputStream.get());
    if (request.md5Check) upload.verifyDigest(&iMD5Offset, &iFileLength);
    upload.commit();
    prepareResponse(true, 201, 0, "Put OK");
}
