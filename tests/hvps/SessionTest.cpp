// The session table and the two access checks, driven directly over a space database in a
// temporary repository.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "CSException.h"
#include "CSLog.h"
#include "CSMd5.h"
#include "ConnectionHandler_hvps.h"
#include "Session_hvps.h"
#include "Space_hvps.h"
#include "TestSupport.h"
#include "config_hvps.h"

using hvps_test::readFile;
using hvps_test::TempDir;

namespace {

struct Caught {
    int code = 0;
    std::string message;
};

template <class F>
Caught caught(F f) {
    try {
        f();
    } catch (const CSException& e) {
        return {e.getErrorCode(), e.getMessage()};
    }
    return {};
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        hvps_system_parameters.iRepositoryPath = iRepo.path();
        hvps_system_parameters.iRestoreID = 1;
        iLog = fopen(iRepo.file("log.txt").c_str(), "w+");
        CSL.setStream(iLog);
        initSessions();
        uint32 id;
        char hexKey[HVSpace::kHexKeySize];
        for (uint32* target : {&iSpaceID, &iOtherID}) {
            createSpace("space", &id, hexKey);
            *target = id;
        }
        iSpace = SpaceDatabase::get(iSpaceID);
    }
    void TearDown() override {
        freeSessions();
        iSpace.reset();
        freeSpaces();
        CSL.setStream(stdout);
        fclose(iLog);
    }

    // The key code a client computes for the session's current challenge.
    std::string keyCodeFor(HVSession* session) {
        std::lock_guard<CSLock> guard(SessionList::lock);
        char code[HVSession::kKeyCodeSize];
        session->getKeyCode(iSpace->getKey(), code);
        return code;
    }
    std::string session(HVSession* s) { return std::to_string(s->getSessionID()); }
    Caught check(const char* sessionText, const std::string& code, const char* rid = nullptr,
                 uint32 spaceID = 0) {
        char next[HVSession::kChallengeHexSize];
        CSRef<HVSpace> other = spaceID ? SpaceDatabase::get(spaceID) : nullptr;
        return caught([&] {
            hvps_check_session(spaceID ? spaceID : iSpaceID, spaceID ? other.get() : iSpace.get(),
                               sessionText, code.c_str(), rid, next);
        });
    }
    std::string log() {
        fflush(iLog);
        return readFile(iRepo.file("log.txt"));
    }

    TempDir iRepo;
    FILE* iLog = nullptr;
    uint32 iSpaceID = 0;
    uint32 iOtherID = 0;
    CSRef<HVSpace> iSpace;
};

TEST_F(SessionTest, SessionsAreNumberedFromOneAndTheLeastRecentlyUsedSlotIsReusedAfter2000) {
    for (uint32 i = 1; i <= SessionList::kSlots; i++)
        ASSERT_EQ(SessionList::createSession(iSpace.get())->getSessionID(), i);
    ASSERT_NE(SessionList::getSession(1), nullptr);  // 1 is now the most recently used, 2 the least

    EXPECT_EQ(SessionList::createSession(iSpace.get())->getSessionID(), 2001u);
    EXPECT_EQ(SessionList::getSession(2), nullptr);
    EXPECT_NE(SessionList::getSession(1), nullptr);
    EXPECT_EQ(SessionList::createSession(iSpace.get())->getSessionID(), 2002u);
    EXPECT_EQ(SessionList::getSession(3), nullptr);

    // Without any look-up in between, the 2001st login ends session 1.
    initSessions();
    for (uint32 i = 0; i <= SessionList::kSlots; i++) SessionList::createSession(iSpace.get());
    EXPECT_EQ(SessionList::getSession(1), nullptr);
    EXPECT_EQ(check("1", "00").message, "Access Denied: session 1 not found");
    EXPECT_NE(SessionList::getSession(2), nullptr);
}

TEST_F(SessionTest, KeyCodeIsTheDigestOfKeyXorChallengeWithZeroBytesSentAsOne) {
    const uint8 key[8] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80};
    const uint8 challenge[8] = {0x10, 0x21, 0x30, 0x41, 0xAA, 0x60, 0x00, 0xFF};
    const uint8 mixed[8] = {0x01, 0x01, 0x01, 0x01, 0xFA, 0x01, 0x70, 0x7F};
    CSMd5 md5;
    md5.md5_append(mixed, 8);
    char code[HVSession::kKeyCodeSize];
    hvps_key_code(key, challenge, code);
    EXPECT_STREQ(code, md5.getDigestHex());
}

TEST_F(SessionTest, AcceptedKeyCodeReplacesTheChallengeAndCannotBeUsedTwice) {
    HVSession* s = SessionList::createSession(iSpace.get());
    std::string code = keyCodeFor(s);

    char next[HVSession::kChallengeHexSize];
    hvps_check_session(iSpaceID, iSpace.get(), session(s).c_str(), lower(code).c_str(), nullptr, next);
    char current[HVSession::kChallengeHexSize];
    s->getChallenge(current);
    EXPECT_STREQ(next, current);
    EXPECT_EQ(strlen(next), 16u);

    Caught again = check(session(s).c_str(), code);
    EXPECT_EQ(again.code, HVPS_ERR_ACCESS_DENIED);
    EXPECT_EQ(again.message, "Access Denied: P1KeyCode (" + code + ") incorrect");
    EXPECT_NE(log().find("Access Denied: P1KeyCode (" + code + ") incorrect, expected "), std::string::npos);
    EXPECT_EQ(check(session(s).c_str(), keyCodeFor(s)).code, 0);
}

TEST_F(SessionTest, FailedWriteChecksRaiseTheirCodeAndLeaveTheChallengeUnchanged) {
    HVSession* s = SessionList::createSession(iSpace.get());
    std::string id = session(s);
    std::string good = keyCodeFor(s);
    SessionList::createSession(SpaceDatabase::get(iOtherID).get());
    std::string other = std::to_string(iOtherID);

    struct Case {
        const char* name;
        const char* session;
        std::string code;
        const char* rid;
        uint32 space;
        int expectedCode;
        std::string message;
    } cases[] = {
        {"no session header", nullptr, good, nullptr, 0, HVPS_ERR_ACCESS_DENIED,
         "Access Denied: P1Session header missing"},
        {"unknown session", "77", good, nullptr, 0, HVPS_ERR_ACCESS_DENIED,
         "Access Denied: session 77 not found"},
        // 2^32 + 1 must not wrap round to session 1.
        {"number above 32 bits", "4294967297", good, nullptr, 0, HVPS_ERR_ACCESS_DENIED,
         "Access Denied: session 4294967297 not found"},
        {"session of another space", id.c_str(), good, nullptr, iOtherID, HVPS_ERR_ACCESS_DENIED,
         "Access Denied: session space ID: " + other},
        {"short key code", id.c_str(), good.substr(0, 31), nullptr, 0, HVPS_ERR_ACCESS_DENIED,
         "Access Denied: P1KeyCode (" + good.substr(0, 31) + ") incorrect"},
        {"restore ID of another generation", id.c_str(), good, "2", 0, HVPS_ERR_RECOVERY_REQUIRED,
         "Space " + std::to_string(iSpaceID) + " disabled, client side recovery required"},
        {"malformed restore ID", id.c_str(), good, "1x", 0, HVPS_ERR_BAD_REQUEST, "Bad P1RID value: 1x"},
    };
    for (const Case& c : cases) {
        Caught got = check(c.session, c.code, c.rid, c.space);
        EXPECT_EQ(got.code, c.expectedCode) << c.name;
        EXPECT_EQ(got.message, c.message) << c.name;
    }
    char next[HVSession::kChallengeHexSize];
    EXPECT_EQ(caught([&] {
                  hvps_check_session(iSpaceID, iSpace.get(), id.c_str(), nullptr, nullptr, next);
              }).message,
              "Access Denied: P1KeyCode header missing");
    EXPECT_EQ(caught([&] { hvps_check_session(99, nullptr, "1", good.c_str(), nullptr, next); }).message,
              "Access Denied: session space ID: 99");
    EXPECT_NE(log().find("session space ID (" + other + ") incorrect, expected " + std::to_string(iSpaceID)),
              std::string::npos);

    // None of the failures used up the challenge; a key code longer than 32 digits is cut.
    EXPECT_EQ(check(id.c_str(), good + "FF").code, 0);
}

TEST_F(SessionTest, DisabledAndReadOnlySpacesRefuseWritesButReadOnlyStillAllowsReads) {
    HVSession* s = SessionList::createSession(iSpace.get());
    std::string id = session(s);
    std::string sid = std::to_string(iSpaceID);

    SpaceDatabase::get(iSpaceID)->setStatusBits(kSpaceReadOnly);
    EXPECT_EQ(caught([&] { hvps_check_space(iSpaceID, iSpace.get(), "x", nullptr); }).code, 0);
    Caught readOnly = check(id.c_str(), keyCodeFor(s));
    EXPECT_EQ(readOnly.code, HVPS_ERR_SPACE_DISABLED);
    EXPECT_EQ(readOnly.message, "Space " + sid + " is READONLY");

    SpaceDatabase::get(iSpaceID)->setStatusBits(0x40);
    EXPECT_EQ(check(id.c_str(), keyCodeFor(s)).message, "Space " + sid + " has been disabled");
    Caught read = caught([&] { hvps_check_space(iSpaceID, iSpace.get(), "x", nullptr); });
    EXPECT_EQ(read.code, HVPS_ERR_SPACE_DISABLED);
    EXPECT_EQ(read.message, "Space " + sid + " has been disabled");
}

TEST_F(SessionTest, ReadCheckNamesTheMissingSpaceAndAlwaysComparesTheRestoreID) {
    struct Case {
        uint32 spaceID;
        bool withSpace;
        const char* path;
        const char* rid;
        int code;
        std::string message;
    } cases[] = {
        {7, false, "7/a", nullptr, HVPS_ERR_SPACE_NOT_FOUND, "Space 7 does not exist"},
        {0, false, "x/a", nullptr, HVPS_ERR_NO_SPACE, "No space specified in URL: x/a"},
        {0, false, nullptr, nullptr, HVPS_ERR_NO_SPACE, "No space specified in URL"},
        {iSpaceID, true, "a", nullptr, 0, ""},
        {iSpaceID, true, "a", "1", 0, ""},
        {iSpaceID, true, "a", "2", HVPS_ERR_RECOVERY_REQUIRED,
         "Space " + std::to_string(iSpaceID) + " disabled, client side recovery required"},
    };
    for (const Case& c : cases) {
        Caught got =
            caught([&] { hvps_check_space(c.spaceID, c.withSpace ? iSpace.get() : nullptr, c.path, c.rid); });
        EXPECT_EQ(got.code, c.code) << c.message;
        EXPECT_EQ(got.message, c.message);
    }

    // After a restore: a read without P1RID counts as restore ID 1 and is refused; a write
    // without P1RID is not checked against the restore ID at all.
    hvps_system_parameters.iRestoreID = 5;
    EXPECT_EQ(caught([&] { hvps_check_space(iSpaceID, iSpace.get(), "a", nullptr); }).code,
              HVPS_ERR_RECOVERY_REQUIRED);
    EXPECT_EQ(caught([&] { hvps_check_space(iSpaceID, iSpace.get(), "a", "5"); }).code, 0);
    HVSession* s = SessionList::createSession(iSpace.get());
    EXPECT_EQ(check(session(s).c_str(), keyCodeFor(s)).code, 0);
    EXPECT_EQ(check(session(s).c_str(), keyCodeFor(s), "1").code, HVPS_ERR_RECOVERY_REQUIRED);
    EXPECT_EQ(check(session(s).c_str(), keyCodeFor(s), "5").code, 0);
}

TEST(SessionNumberTest, DecimalParserTakesOnlyWholeUnsignedNumbersThatFit) {
    struct Case {
        const char* text;
        bool ok;
        uint64 value;
    } cases[] = {{"0", true, 0},
                 {"007", true, 7},
                 {"18446744073709551615", true, UINT64_MAX},
                 {"18446744073709551616", false, 0},
                 {"", false, 0},
                 {"12a", false, 0},
                 {"-1", false, 0},
                 {" 1", false, 0}};
    for (const Case& c : cases) {
        uint64 v = 0;
        EXPECT_EQ(hvps_parse_decimal(c.text, &v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

}  // namespace
