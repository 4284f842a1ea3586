// The space database: the process's one table of spaces, kept in memory as records sorted by space
// id and on disk as the tab-delimited file "space-db" in the repository directory. The table is
// loaded once at start-up, before any other thread exists, and the whole file is rewritten after
// every change to the set of spaces. Table operations take SpaceDatabase::iSpaceDBLock for their
// own duration; records handed out are retained, so they stay valid after leaving the table.
// Lock order: the space database lock comes after the session and file-state locks and before the
// system-parameter lock.
#pragma once

#include <atomic>
#include <map>
#include <string>
#include <string_view>

#include "CSDefs.h"
#include "CSMutex.h"
#include "CSObject.h"

// One space. The id, title and key are fixed once the record is in the table. The status word and
// the recovery fields are read without the table lock by the request threads, so they are atomic;
// spaceSize is guarded by iSpaceDBLock. Handler threads retain and release one record at the same
// time, so its reference count is atomic.
class HVSpace : public CSSharedRefObject {
public:
    static constexpr uint32 kStatusDeleted = 0x04;
    static constexpr size_t kKeySize = 8;
    // 16 upper-case hex digits and NUL.
    static constexpr size_t kHexKeySize = 17;
    // Buffer for the encrypted key text: 60 hex digits and NUL, with room to spare.
    static constexpr size_t kKeyTextSize = 200;

    HVSpace(uint32 id, std::string title) : iSpaceID(id), iTitle(std::move(title)) {}

    uint32 getSpaceID() const { return iSpaceID; }
    const std::string& getTitle() const { return iTitle; }
    const uint8* getKey() const { return iKey; }
    void setKey(const uint8* key);

    uint32 getStatus() const { return iStatus.load(); }
    bool isDeleted() const { return (iStatus.load() & kStatusDeleted) != 0; }
    void setStatusBits(uint32 bits) { iStatus.fetch_or(bits); }

    // The key as 16 upper-case hex digits and NUL (kHexKeySize bytes).
    void getHexKey(char* out) const;
    // The key encrypted under the server's fixed passcode, as upper-case hex (kKeyTextSize bytes).
    // A fresh IV is drawn every time. Raises the AES error code minus 25100 on failure.
    void encryptKey(char* out) const;
    // Sets the key from an encrypted key text. On failure logs two error lines and raises the AES
    // error code minus 25100 with the AES error text.
    void decryptKey(const char* hex);

    // Recovery state (restore ID 0: not read yet). setRestoreState publishes the restore ID last,
    // so a thread that sees a non-zero restore ID also sees the log number and offset that go with it.
    uint64 getRestoreID() const { return iRestoreID.load(); }
    uint32 getLastLog() const { return iLastLog.load(); }
    uint64 getLogOffset() const { return iLogOffset.load(); }
    void setRestoreState(uint64 restoreID, uint32 lastLog, uint64 logOffset);

private:
    friend class SpaceDatabase;

    const uint32 iSpaceID;
    const std::string iTitle;
    uint8 iKey[kKeySize] = {};
    std::atomic<uint32> iStatus{0};
    uint64 iSpaceSize = 0;  // guarded by SpaceDatabase::iSpaceDBLock; 0 = not computed
    std::atomic<uint64> iRestoreID{0};
    std::atomic<uint32> iLastLog{0};
    std::atomic<uint64> iLogOffset{0};
};

// The table itself: static members only. Every operation takes iSpaceDBLock for its duration.
class SpaceDatabase {
public:
    // The record with this id, retained, or none.
    static CSRef<HVSpace> get(uint32 id);
    // The record at this position (ascending ids), or none at or past the end. A walk takes the
    // lock once per step, so a concurrent change can make it see a record twice or skip one.
    static CSRef<HVSpace> enumSpaces(uint32 index);
    static uint32 getSpaceCount();
    // Highest id ever read from space-db or assigned; ids are never reused.
    static uint32 getMaxSpaceID();

    // Creates a space with the next id and a random key, and rewrites space-db. TAB, CR and LF in
    // the title become blanks (the file format cannot hold them). Fills *id and hexKey (17 bytes).
    // Raises -14008 when no id is left (the last one, 4294967295, has been given out).
    static void createSpace(const char* title, uint32* id, char* hexKey);
    // Marks the record deleted, drops it from the table and rewrites space-db; an unknown id does
    // nothing.
    static void deleteSpace(uint32 id);
    static void setSpaceDeleted(uint32 id);
    // 0 when the record does not exist.
    static uint64 getSpaceSize(uint32 id);
    static void setSpaceSize(uint32 id, uint64 size);

    // Guards the table, iMaxSpaceID and the space-db file. Recursive per thread.
    static CSLock iSpaceDBLock;
    // A space was marked for deletion since the last deletion pass. Written without a lock.
    static std::atomic<bool> spaceDeleted;

private:
    friend void loadSpaces();
    friend void saveSpaces();
    friend void freeSpaces();
    class LineBuffer;

    static std::map<uint32, CSRef<HVSpace>> iSpaces;  // guarded by iSpaceDBLock
    static uint32 iMaxSpaceID;                        // guarded by iSpaceDBLock
};

// Loads space-db from the repository directory into an empty table, first repairing an
// interrupted save. A missing file is logged with hints and then raises the file error; a file
// with a line this server does not write raises -14008 and leaves the table empty. New ids start
// above the highest id of space-db and of the folders "<id>" and "<id>-TO_DELETE".
void loadSpaces();
// Rewrites space-db from the table so that a crash at any moment leaves a complete file: the new
// version is written to space-db.NEW_VERSION, flushed to disk and renamed over space-db, and the
// directory is flushed. Takes iSpaceDBLock (callers that change the table hold it already).
void saveSpaces();
// Releases all records (at server stop). The next loadSpaces starts afresh.
void freeSpaces();
// The id a decimal text names exactly: digits only, no leading zero (but "0" itself), at most
// 4294967295. False for anything else.
bool parseSpaceID(std::string_view text, uint32* id);
// The same as SpaceDatabase::get; used by the request layer.
CSRef<HVSpace> findSpace(uint32 id);
// The same as SpaceDatabase::createSpace; used by the newspace command.
void createSpace(const char* title, uint32* id, char* hexKey);
