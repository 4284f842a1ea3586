// Login, the session table and the access checks of the request handlers.
#include "Session_hvps.h"

#include <cstring>
#include <mutex>

#include "CSAES.h"
#include "CSException.h"
#include "CSLog.h"
#include "CSMd5.h"
#include "CSStrUtil.h"
#include "CSThread.h"
#include "ConnectionHandler_hvps.h"
#include "config_hvps.h"

CSLock SessionList::lock;
HVSession SessionList::array[SessionList::kSlots];
CSSparseArray SessionList::list;
SessionList::Queue SessionList::unproven;
SessionList::Queue SessionList::proven;
uint32 SessionList::next_session_id = 1;

// --- HVSession

void HVSession::getChallenge(char* out) const {
    cs_bin_to_hex(kChallengeHexSize, out, kChallengeSize, iChallenge);
}

void HVSession::setChallenge(const char* hex) {
    cs_hex_to_bin(kChallengeSize, iChallenge, 2 * kChallengeSize, hex);
}

void HVSession::nextChallenge() { CSAES::aes_fillrand(iChallenge, static_cast<int>(kChallengeSize)); }

void HVSession::getKeyCode(const uint8* key, char* out) const { hvps_key_code(key, iChallenge, out); }

// --- SessionList

void SessionList::init() {
    std::lock_guard<CSLock> guard(lock);
    list.clear();
    unproven = {};
    proven = {};
    for (HVSession& s : array) {
        s.iSessionID = 0;
        s.iSpaceID = 0;
        s.iKeyChecked = false;
        memset(s.iChallenge, 0, sizeof(s.iChallenge));
        append(&s);
    }
    next_session_id = 1;
}

void SessionList::free() {
    std::lock_guard<CSLock> guard(lock);
    list.free();
}

// Caller holds lock.
void SessionList::unlink(HVSession* slot) {
    Queue& queue = queueOf(slot);
    (slot->iLessRecent ? slot->iLessRecent->iMoreRecent : queue.lru) = slot->iMoreRecent;
    (slot->iMoreRecent ? slot->iMoreRecent->iLessRecent : queue.mru) = slot->iLessRecent;
    slot->iLessRecent = slot->iMoreRecent = nullptr;
}

// Puts an unlinked slot at the most recent end of its queue. Caller holds lock.
void SessionList::append(HVSession* slot) {
    Queue& queue = queueOf(slot);
    slot->iLessRecent = queue.mru;
    slot->iMoreRecent = nullptr;
    (queue.mru ? queue.mru->iMoreRecent : queue.lru) = slot;
    queue.mru = slot;
}

HVSession* SessionList::createSession(HVSpace* space) {
    std::lock_guard<CSLock> guard(lock);
    HVSession* slot = unproven.lru ? unproven.lru : proven.lru;
    unlink(slot);
    if (slot->iSessionID != 0) list.remove(slot->iSessionID);
    slot->iSessionID = next_session_id++;
    // Id 0 marks an unused slot; after a wrap-around numbering goes on at 1.
    if (next_session_id == 0) next_session_id = 1;
    slot->iSpaceID = space->getSpaceID();
    slot->iKeyChecked = false;
    append(slot);
    slot->nextChallenge();
    list.set(slot->iSessionID, slot);
    return slot;
}

HVSession* SessionList::getSession(uint32 id) {
    std::lock_guard<CSLock> guard(lock);
    auto* slot = static_cast<HVSession*>(list.get(id));
    if (slot) {
        unlink(slot);
        append(slot);
    }
    return slot;
}

void SessionList::keyChecked(HVSession* slot) {
    unlink(slot);
    slot->iKeyChecked = true;
    append(slot);
}

uint32 SessionList::getNextSessionID() {
    std::lock_guard<CSLock> guard(lock);
    return next_session_id;
}

void initSessions() { SessionList::init(); }

void freeSessions() { SessionList::free(); }

// --- Key codes and numbers

void hvps_key_code(const uint8* key, const uint8* challenge, char* out) {
    uint8 mixed[HVSession::kChallengeSize];
    for (size_t i = 0; i < HVSession::kChallengeSize; i++) {
        mixed[i] = key[i] ^ challenge[i];
        if (mixed[i] == 0) mixed[i] = 1;
    }
    CSMd5 md5;
    md5.md5_append(mixed, static_cast<int>(sizeof(mixed)));
    cs_strcpy(HVSession::kKeyCodeSize, out, md5.getDigestHex());
}

bool hvps_key_code_equal(const char* expected, const char* given) {
    // Both texts are read to their 32nd character (or terminator) whatever their content; the
    // difference is accumulated, never branched on.
    auto upper = [](unsigned char c) -> unsigned { return (c >= 'a' && c <= 'z') ? c - 32u : c; };
    unsigned diff = 0;
    bool expectedEnded = false, givenEnded = false;
    for (int i = 0; i < CSMd5::kHexLen; i++) {
        unsigned char e = expectedEnded ? 0 : static_cast<unsigned char>(expected[i]);
        unsigned char g = givenEnded ? 0 : static_cast<unsigned char>(given[i]);
        expectedEnded = expectedEnded || e == 0;
        givenEnded = givenEnded || g == 0;
        diff |= upper(e) ^ upper(g);
        diff |= e == 0 ? 1u : 0u;  // a short text never matches
    }
    return diff == 0;
}

bool hvps_parse_decimal(const char* text, uint64* value) {
    if (!text || !*text) return false;
    uint64 v = 0;
    for (const char* p = text; *p; p++) {
        if (*p < '0' || *p > '9') return false;
        uint64 digit = static_cast<uint64>(*p - '0');
        if (v > (UINT64_MAX - digit) / 10) return false;
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

namespace {

// The client's restore ID must be the server's current one.
void checkRestoreID(uint32 spaceID, const char* rid) {
    uint64 clientRID = 1;
    if (rid && !hvps_parse_decimal(rid, &clientRID))
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_BAD_REQUEST, "Bad P1RID value: %s", rid);
    if (clientRID != hvps_system_parameters.iRestoreID)
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_RECOVERY_REQUIRED,
                                     "Space %u disabled, client side recovery required", spaceID);
}

}  // namespace

void hvps_check_space(uint32 spaceID, HVSpace* space, const char* resourcePath, const char* rid) {
    if (!space) {
        if (spaceID != 0)
            CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_SPACE_NOT_FOUND, "Space %u does not exist",
                                         spaceID);
        if (resourcePath)
            CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_NO_SPACE, "No space specified in URL: %s",
                                         resourcePath);
        CSException::throwException(CS_CONTEXT, HVPS_ERR_NO_SPACE, "No space specified in URL");
    }
    if (space->getStatus() & kSpaceDisabledMask)
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_SPACE_DISABLED, "Space %u has been disabled",
                                     spaceID);
    checkRestoreID(spaceID, rid);
}

void hvps_check_session(uint32 spaceID, HVSpace* space, const char* sessionText, const char* keyCode,
                        const char* rid, char* nextCode) {
    if (!sessionText)
        CSException::throwException(CS_CONTEXT, HVPS_ERR_ACCESS_DENIED,
                                    "Access Denied: P1Session header missing");
    if (!keyCode)
        CSException::throwException(CS_CONTEXT, HVPS_ERR_ACCESS_DENIED,
                                    "Access Denied: P1KeyCode header missing");

    // The leading digits of at most 49 characters; more than 32 bits cannot name a session.
    uint64 number = 0;
    for (int i = 0; i < 49 && sessionText[i] >= '0' && sessionText[i] <= '9'; i++)
        number =
            number > UINT64_MAX / 10 ? UINT64_MAX : number * 10 + static_cast<uint64>(sessionText[i] - '0');
    char clientCode[CSMd5::kHexLen + 1];
    cs_strcpy(sizeof(clientCode), clientCode, keyCode);

    // From the look-up to the new challenge the table stays locked: no second request can pass
    // with the same key code, and no login can take the slot over in between.
    std::lock_guard<CSLock> guard(SessionList::lock);
    HVSession* session =
        number <= UINT32_MAX ? SessionList::getSession(static_cast<uint32>(number)) : nullptr;
    if (!session)
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_ACCESS_DENIED,
                                     "Access Denied: session %llu not found",
                                     static_cast<unsigned long long>(number));
    if (session->getSpaceID() != spaceID) {
        CSL.logf(CSThread::getSelf(), CSLog::Error,
                 "Access Denied: session space ID (%u) incorrect, expected %u\n", spaceID,
                 session->getSpaceID());
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_ACCESS_DENIED,
                                     "Access Denied: session space ID: %u", spaceID);
    }
    if (!space)
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_SPACE_NOT_FOUND, "Space %u does not exist",
                                     spaceID);

    char expected[HVSession::kKeyCodeSize];
    session->getKeyCode(space->getKey(), expected);
    if (!hvps_key_code_equal(expected, clientCode)) {
        CSL.logf(CSThread::getSelf(), CSLog::Error, "Access Denied: P1KeyCode (%s) incorrect, expected %s\n",
                 clientCode, expected);
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_ACCESS_DENIED,
                                     "Access Denied: P1KeyCode (%s) incorrect", clientCode);
    }
    uint32 status = space->getStatus();
    if (status & kSpaceDisabledMask)
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_SPACE_DISABLED, "Space %u has been disabled",
                                     spaceID);
    if (status & kSpaceReadOnly)
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_SPACE_DISABLED, "Space %u is READONLY", spaceID);
    if (rid) checkRestoreID(spaceID, rid);

    SessionList::keyChecked(session);
    session->nextChallenge();
    session->getChallenge(nextCode);
}

// --- The handler's side: headers in, headers out.

void MSConnectionHandler::doLogin() {
    verifySpace();
    char sessionID[12];
    char challenge[HVSession::kChallengeHexSize];
    {
        std::lock_guard<CSLock> guard(SessionList::lock);
        HVSession* session = SessionList::createSession(iSpace.get());
        snprintf(sessionID, sizeof(sessionID), "%u", session->getSessionID());
        session->getChallenge(challenge);
    }
    iOutputStream->addHeader("P1Version", kProtocolVersion);
    iOutputStream->addHeader("P1Session", sessionID);
    iOutputStream->addHeader("P1NextCode", challenge);
    iOutputStream->addHeader("Pragma", "no-cache");
    prepareResponse(true, 200, 0, "Login OK");
}

void MSConnectionHandler::verifySpace() {
    hvps_check_space(iSpaceID, iSpace.get(), resourcePath(),
                     iInputStream->getHeaderCStringValue("P1RID"));
}

void MSConnectionHandler::verifySession() {
    char nextCode[HVSession::kChallengeHexSize];
    hvps_check_session(iSpaceID, iSpace.get(), iInputStream->getHeaderCStringValue("P1Session"),
                       iInputStream->getHeaderCStringValue("P1KeyCode"),
                       iInputStream->getHeaderCStringValue("P1RID"), nextCode);
    iOutputStream->addHeader("P1NextCode", nextCode);
    iOutputStream->addHeader("Pragma", "no-cache");
}
