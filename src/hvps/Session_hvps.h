// Login sessions and the access checks of the request handlers. A session ties a number to one
// space and a rolling 8-byte challenge; a client proves it knows the space's key by sending the MD5
// of key XOR challenge, and every accepted proof replaces the challenge. The table has a fixed 2000
// slots; there is no logout and no expiry by time. A new session takes the least recently used slot
// of those whose session never passed a key check, and only when there is none the least recently
// used of the others, so LOGINs without the key cannot push out a session that is at work.
// Thread safety: SessionList::lock guards every slot and the table. A slot handed out may be reused
// by another thread's login as soon as the lock is released, so callers that read a slot hold the
// lock themselves (it is recursive). Lock order: the session lock before the space database lock.
#pragma once

#include "CSDefs.h"
#include "CSMutex.h"
#include "CSObject.h"
#include "CSStorage.h"
#include "Space_hvps.h"

// Status bits of a space that refuse access: disabled (any of kDisabledMask) and read-only.
constexpr uint32 kSpaceDisabledMask = 0xFF47;
constexpr uint32 kSpaceReadOnly = 0x80;

constexpr const char* kProtocolVersion = "1.0.044";

// One slot of the session table. Guarded by SessionList::lock.
class HVSession : public CSStaticObject {
public:
    static constexpr size_t kChallengeSize = 8;
    // 16 upper-case hex digits and NUL.
    static constexpr size_t kChallengeHexSize = 17;
    // 32 upper-case hex digits and NUL.
    static constexpr size_t kKeyCodeSize = 33;

    uint32 getSessionID() const { return iSessionID; }
    uint32 getSpaceID() const { return iSpaceID; }
    // The challenge as 16 upper-case hex digits; `out` holds at least kChallengeHexSize bytes.
    void getChallenge(char* out) const;
    // Sets the challenge from 16 hex digits of either case.
    void setChallenge(const char* hex);
    // Draws 8 new random bytes.
    void nextChallenge();
    // The key code the client must send for this challenge and the space's 8-byte key.
    void getKeyCode(const uint8* key, char* out) const;

private:
    friend class SessionList;

    uint32 iSessionID = 0;  // 0: slot unused
    uint8 iChallenge[kChallengeSize] = {};
    uint32 iSpaceID = 0;
    bool iKeyChecked = false;          // the session passed a key check; it is in the proven queue
    HVSession* iMoreRecent = nullptr;  // towards the most recent end of its queue
    HVSession* iLessRecent = nullptr;  // towards the least recent end of its queue
};

// The process's one session table: static members only.
class SessionList {
public:
    static constexpr uint32 kSlots = 2000;

    // Links all slots, unused, into the unproven queue in array order; numbering restarts at 1.
    static void init();
    // Empties the table (at shutdown).
    static void free();

    // Opens a session for `space`, ending the session that held the slot: the least recently used
    // slot of the unproven queue, or of the proven queue when the unproven one is empty.
    static HVSession* createSession(HVSpace* space);
    // The slot of session `id` made most recently used within its queue, or none.
    static HVSession* getSession(uint32 id);
    // The session passed a key check: it moves to the most recent end of the proven queue.
    // Caller holds lock.
    static void keyChecked(HVSession* slot);
    static uint32 getNextSessionID();

    static CSLock lock;

private:
    // A doubly linked list of slots from least to most recently used.
    struct Queue {
        HVSession* lru = nullptr;
        HVSession* mru = nullptr;
    };
    static Queue& queueOf(const HVSession* slot) { return slot->iKeyChecked ? proven : unproven; }
    static void unlink(HVSession* slot);
    static void append(HVSession* slot);

    static HVSession array[kSlots];
    static CSSparseArray list;  // session id -> slot (not owned: the slots are static)
    static Queue unproven;      // unused slots and sessions that never passed a key check
    static Queue proven;        // sessions that passed a key check
    static uint32 next_session_id;
};

void initSessions();
void freeSessions();

// The key code of `key` (8 bytes) under `challenge` (8 bytes): the MD5 of key[i] XOR challenge[i],
// a 0 byte replaced by 1, as 32 upper-case hex digits in `out` (kKeyCodeSize bytes).
void hvps_key_code(const uint8* key, const uint8* challenge, char* out);
// Equal up to case over 32 hex digits, in a time that does not depend on where they differ.
bool hvps_key_code_equal(const char* expected, const char* given);
// A whole decimal number without sign or blanks, at most 2^64-1. False for anything else.
bool hvps_parse_decimal(const char* text, uint64* value);

// The read check (downloads, login): the space exists and is enabled, and the client's restore ID
// (`rid`, the "P1RID" header; absent counts as 1) is the server's. Raises -25010, -25011, -25013,
// -25014 (malformed "P1RID") or -25018.
void hvps_check_space(uint32 spaceID, HVSpace* space, const char* resourcePath, const char* rid);
// The write check (uploads and space commands) from the "P1Session", "P1KeyCode" and "P1RID"
// header values (null when absent). On success the session's challenge has been replaced and the
// new one is in `nextCode` (kChallengeHexSize bytes). Look-up, check and replacement happen under
// SessionList::lock, so a key code is accepted at most once. A failure changes nothing.
void hvps_check_session(uint32 spaceID, HVSpace* space, const char* sessionText, const char* keyCode,
                        const char* rid, char* nextCode);
