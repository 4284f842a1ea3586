// The file-state cache: the running MD5 digest of recently verified files, so that an upload whose
// check ran out of time, or that appends to a verified file, continues the digest where it stopped
// instead of reading the whole file again. A fixed table of 2000 entries keyed by the file path
// (exact, case-sensitive match), reused least recently used first; nothing is allocated per upload
// except the key of a newly cached path.
// Thread safety: FileStateList::fs_lock guards the hash table, the LRU list and every entry's key;
// an entry's own mutex guards its digest state and is held by the one request that uses the entry.
// Lock order: fs_lock before an entry's mutex. The entry's user also holds the file's lock, so
// nobody waits long for an entry of a path.
#pragma once

#include <memory>
#include <string>

#include "CSDefs.h"
#include "CSMd5.h"
#include "CSMutex.h"
#include "CSObject.h"
#include "CSStorage.h"
#include "CSString.h"

class HVFileState : public CSStaticObject, public CSMutex {
public:
    // --- Key operations for the hash table: the path, compared exactly (repository file names are
    // case-sensitive), with the path string's hash.
    CSObject* getKey() override { return iKey.get(); }
    int compareKey(CSObject* key) override;
    uint32 hashKey() override;
    // Drops the key (when the table lets the entry go).
    void finalize() override { iKey.reset(); }

    // --- The digest state; the caller holds the entry's mutex.
    CSString* getPath() const { return iKey.get(); }
    // Bytes from the start of the file already in the digest.
    uint64 getMD5Offset() const { return iMD5Offset; }
    // The file length the last upload that used the entry was to give.
    uint64 getExpectedLength() const { return iExpectedLength; }
    // Feeds the next `len` bytes of the file (those at getMD5Offset()).
    void feed(const uint8* data, size_t len);
    // The digest of the bytes fed so far as 32 upper-case hex digits and a NUL. Taken from a copy:
    // the entry's context stays open, so bytes appended later continue it.
    void getDigestHex(char* out) const;
    // Starts again from offset 0 with a fresh context.
    void resetMD5();

    // Called before a check of the file as an upload of [start, end) left it; `provisional` for an
    // upload whose bytes are not the file's until it succeeds (a replace, whose bytes lie in a
    // temporary file, or a write inside the file, whose overwritten bytes are put back should it
    // fail). The digest goes on from getMD5Offset() only where the bytes it covers are those now
    // checked: start at or after it, or the same upload sent again after its check timed out (its
    // bytes were undone, and are sent once more). Progress of a provisional upload that never
    // became the file is only continued by a repeat of that upload. Otherwise the digest starts
    // again from 0. Sets the expected length to `end`.
    void beginCheck(uint64 start, uint64 end, bool provisional);
    // The check begun last ran out of time: its progress is kept for a repeat of the same upload.
    void noteTimeout() { iTimedOut = true; }
    // The provisional upload checked last has become the file: its digest now describes the file.
    void committed() { iPendingUpload = false; }

private:
    friend class FileStateList;

    CSRef<CSString> iKey;  // owned copy of the path, or none; changed under fs_lock
    uint64 iMD5Offset = 0;
    uint64 iExpectedLength = 0;
    bool iTimedOut = false;              // the last check timed out and its upload may be repeated
    bool iPendingUpload = false;         // the digest covers a provisional upload's bytes, not (yet) the file
    uint64 iPendingStart = 0;            // where that upload began
    CSMd5 iMD5;                          // never finished: digests are taken from copies
    HVFileState* iMoreRecent = nullptr;  // towards fs_mru; guarded by fs_lock
    HVFileState* iLessRecent = nullptr;  // towards fs_lru; guarded by fs_lock
};

// The process's one file-state cache: static members only.
class FileStateList {
public:
    static constexpr uint32 kSlots = 2000;
    static constexpr uint32 kBuckets = 2001;

    // Makes the 2000 empty slots, in LRU order of the array. Called once at start-up.
    static void fsInit();
    // Empties the cache and frees the slots (at shutdown, after the last request).
    static void fsFree();

    // The entry of `path`, made most recently used and returned with its mutex locked; the caller
    // unlocks it when its request ends. A cached entry keeps its state (`expectedLength` is not
    // used); a new one takes the least recently used slot (newFileState).
    static HVFileState* getFileState(CSString* path, uint64 expectedLength);
    // Bytes of `path` from `offset` on were rewritten without a check: a cached digest that covers
    // them starts again at the next check. Nothing when the path is not cached.
    static void fileChanged(CSString* path, uint64 offset);
    // Number of cached paths.
    static uint32 count();

private:
    // Caller holds fs_lock.
    static HVFileState* newFileState(CSString* path, uint64 expectedLength);
    static void moveToFront(HVFileState* entry);

    static CSMutex fs_lock;
    static std::unique_ptr<HVFileState[]> fs_array;  // kSlots entries while initialised
    static CSHashTable fs_hash;                      // path -> entry (entries are not owned)
    static HVFileState* fs_lru;
    static HVFileState* fs_mru;
};

void initFileState();
void freeFileState();

// Temporary files of replacing uploads. A replace writes its body into a temporary file beside the
// target and renames it over the target only when the upload has succeeded, so a failed replace
// leaves the target as it was. The temporary name is "." + the target's name + "..hvps-upload-" +
// a decimal serial: no request path can name it, because request paths holding ".." are refused,
// so it can be neither downloaded, removed nor renamed, and no client file is ever taken for one.
//
// A new temporary path beside `targetPath`, unique within the process.
std::string newUploadTempPath(const std::string& targetPath);
// Whether the file name `name` (no folder) has the form of an upload's temporary file.
bool isUploadTempName(const char* name);
// Removes the temporary files that uploads cut short by the end of a process left in the folders
// below `repositoryPath` (at any depth; files directly in the repository folder are not looked at).
// Called at start-up before the disk usage is loaded: temporary files are never counted in it.
// Returns the number removed; a file that cannot be removed is logged and left.
uint32 removeStaleUploadFiles(const std::string& repositoryPath);
