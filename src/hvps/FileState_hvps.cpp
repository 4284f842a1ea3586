#include "FileState_hvps.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "CSDirectory.h"
#include "CSException.h"
#include "CSLog.h"
#include "CSSys.h"
#include "CSThread.h"

CSMutex FileStateList::fs_lock;
std::unique_ptr<HVFileState[]> FileStateList::fs_array;
CSHashTable FileStateList::fs_hash;
HVFileState* FileStateList::fs_lru = nullptr;
HVFileState* FileStateList::fs_mru = nullptr;

// --- HVFileState

int HVFileState::compareKey(CSObject* key) {
    auto* other = dynamic_cast<CSString*>(key);
    if (!other) CSException::throwAssertion(CS_CONTEXT, "file state compared with a key that is not a path");
    if (!iKey) return -1;
    return iKey->view().compare(other->view());
}

uint32 HVFileState::hashKey() { return iKey ? iKey->hashKey() : 0; }

void HVFileState::feed(const uint8* data, size_t len) {
    iMD5.md5_append(data, static_cast<int>(len));
    iMD5Offset += len;
}

void HVFileState::getDigestHex(char* out) const {
    // One scratch context per thread: copying into it reuses its allocation.
    thread_local CSMd5 scratch;
    scratch = iMD5;
    std::memcpy(out, scratch.getDigestHex(), CSMd5::kHexLen + 1);
}

void HVFileState::resetMD5() {
    iMD5Offset = 0;
    iTimedOut = false;
    iPendingUpload = false;
    iMD5.md5_init();
}

void HVFileState::beginCheck(uint64 start, uint64 end, bool provisional) {
    const bool repeatOfTimedOut = iTimedOut && iExpectedLength == end && provisional == iPendingUpload &&
                                  (!provisional || start == iPendingStart);
    if (!repeatOfTimedOut && (iPendingUpload || start < iMD5Offset)) resetMD5();
    iTimedOut = false;
    iPendingUpload = provisional;
    iPendingStart = start;
    iExpectedLength = end;
}

// --- FileStateList

void FileStateList::fsInit() {
    std::lock_guard<CSMutex> guard(fs_lock);
    fs_hash.setSize(kBuckets);
    fs_array = std::make_unique<HVFileState[]>(kSlots);
    for (uint32 i = 0; i < kSlots; i++) {
        fs_array[i].iLessRecent = i > 0 ? &fs_array[i - 1] : nullptr;
        fs_array[i].iMoreRecent = i + 1 < kSlots ? &fs_array[i + 1] : nullptr;
    }
    fs_lru = &fs_array[0];
    fs_mru = &fs_array[kSlots - 1];
}

void FileStateList::fsFree() {
    std::lock_guard<CSMutex> guard(fs_lock);
    fs_hash.clear();
    fs_hash.setSize(0);
    fs_lru = fs_mru = nullptr;
    fs_array.reset();
}

uint32 FileStateList::count() {
    std::lock_guard<CSMutex> guard(fs_lock);
    return fs_hash.getCount();
}

void FileStateList::moveToFront(HVFileState* entry) {
    if (entry == fs_mru) return;
    if (entry->iLessRecent)
        entry->iLessRecent->iMoreRecent = entry->iMoreRecent;
    else
        fs_lru = entry->iMoreRecent;
    entry->iMoreRecent->iLessRecent = entry->iLessRecent;
    entry->iLessRecent = fs_mru;
    entry->iMoreRecent = nullptr;
    fs_mru->iMoreRecent = entry;
    fs_mru = entry;
}

HVFileState* FileStateList::newFileState(CSString* path, uint64 expectedLength) {
    HVFileState* entry = fs_lru;
    // Its last user may still be finishing a request: wait for it before the slot changes hands.
    std::lock_guard<HVFileState> hold(*entry);
    if (entry->iKey) {
        CSRef<CSString> oldKey = entry->iKey;
        // Leaving the table finalizes the entry, which drops its key.
        if (!fs_hash.remove(oldKey.get())) entry->iKey.reset();
    }
    entry->iKey = CSString::newString(path->view());
    entry->iExpectedLength = expectedLength;
    entry->resetMD5();
    fs_hash.add(static_cast<CSObject*>(entry));
    return entry;
}

HVFileState* FileStateList::getFileState(CSString* path, uint64 expectedLength) {
    std::lock_guard<CSMutex> guard(fs_lock);
    if (!fs_array) CSException::throwAssertion(CS_CONTEXT, "file-state cache used before initFileState");
    auto* entry = static_cast<HVFileState*>(fs_hash.find(path));
    if (!entry) entry = newFileState(path, expectedLength);
    moveToFront(entry);
    entry->lock();
    return entry;
}

void FileStateList::fileChanged(CSString* path, uint64 offset) {
    std::lock_guard<CSMutex> guard(fs_lock);
    auto* entry = static_cast<HVFileState*>(fs_hash.find(path));
    if (!entry) return;
    std::lock_guard<HVFileState> hold(*entry);
    if (entry->iMD5Offset > offset) entry->resetMD5();
}

void initFileState() { FileStateList::fsInit(); }

void freeFileState() { FileStateList::fsFree(); }

// --- Temporary files of replacing uploads

namespace {

constexpr const char* kUploadTempMark = "..hvps-upload-";

std::atomic<uint64> gUploadSerial{0};

// Removes the temporary files in `path` and the folders below it; adds their number to `removed`.
void sweepFolder(std::string& path, uint32& removed) {
    auto dir = CSDirectory::newDirectory(path.c_str());
    dir->open();
    const size_t base = path.size();
    while (dir->next()) {
        path.resize(base);
        path += '/';
        path += dir->name();
        if (!dir->isFile()) {
            sweepFolder(path, removed);
        } else if (isUploadTempName(dir->name())) {
            try {
                CSSys::sys_removeFile(path.c_str());
                removed++;
            } catch (const CSException& e) {
                e.log(CSThread::getSelf());
            }
        }
    }
    path.resize(base);
}

}  // namespace

std::string newUploadTempPath(const std::string& targetPath) {
    const size_t slash = targetPath.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    return targetPath.substr(0, nameStart) + "." + targetPath.substr(nameStart) + kUploadTempMark +
           std::to_string(gUploadSerial.fetch_add(1));
}

bool isUploadTempName(const char* name) {
    if (name[0] != '.') return false;
    const char* mark = nullptr;
    for (const char* p = strstr(name + 1, kUploadTempMark); p; p = strstr(p + 1, kUploadTempMark)) mark = p;
    if (!mark || mark == name + 1) return false;
    const char* serial = mark + strlen(kUploadTempMark);
    if (!*serial) return false;
    for (const char* p = serial; *p; p++)
        if (*p < '0' || *p > '9') return false;
    return true;
}

uint32 removeStaleUploadFiles(const std::string& repositoryPath) {
    uint32 removed = 0;
    auto top = CSDirectory::newDirectory(repositoryPath.c_str());
    top->open();
    std::string path;
    while (top->next()) {
        if (top->isFile()) continue;
        path = repositoryPath + "/" + top->name();
        sweepFolder(path, removed);
    }
    if (removed > 0)
        CSL.logf(CSThread::getSelf(), CSLog::Warning,
                 "Removed %u temporary files of uploads cut short by the end of the server\n", removed);
    return removed;
}
