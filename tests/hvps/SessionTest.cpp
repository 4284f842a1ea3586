// The session table and the access checks: directly over a space database in a temporary
// repository, then end to end through the real hvpsd.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "ConnectionHandler_hvps.h"
#include "HVPSClient.h"
#include "ServerFixture.h"
#include "Session_hvps.h"
#include "Space_hvps.h"
#include "TestSupport.h"
#include "config_hvps.h"

using hvps_test::TempDir;
using namespace std::chrono_literals;

namespace {

// "code message" of the exception `f` raises, or "".
std::string failure(const std::function<void()>& f) {
    hvps_test::Caught c = hvps_test::caught(f);
    return c.code ? std::to_string(c.code) + " " + c.message : "";
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        hvps_system_parameters.iRepositoryPath = iRepo.path();
        hvps_system_parameters.iRestoreID = 1;
        initSessions();
        char hexKey[HVSpace::kHexKeySize];
        createSpace("space", &iID, hexKey);
        iSpace = SpaceDatabase::get(iID);
        iSession = SessionList::createSession(iSpace.get());
    }
    void TearDown() override {
        freeSessions();
        iSpace.reset();
        freeSpaces();
    }
    std::string code() {
        char out[HVSession::kKeyCodeSize];
        iSession->getKeyCode(iSpace->getKey(), out);
        return out;
    }
    std::string write(const char* session, const std::string& keyCode, const char* rid = nullptr) {
        char next[HVSession::kChallengeHexSize];
        return failure([&] { hvps_check_session(iID, iSpace.get(), session, keyCode.c_str(), rid, next); });
    }
    std::string read(const char* rid) {
        return failure([&] { hvps_check_space(iID, iSpace.get(), "f", rid); });
    }

    TempDir iRepo;
    hvps_test::CapturedLog iLog;
    uint32 iID = 0;
    CSRef<HVSpace> iSpace;
    HVSession* iSession = nullptr;
};

TEST_F(SessionTest, LoginsEndUncheckedSessionsOldestFirstAndCheckedOnesOnlyWhenNoneIsLeft) {
    auto check = [this](uint32 id) {
        char keyCode[HVSession::kKeyCodeSize];
        SessionList::getSession(id)->getKeyCode(iSpace->getKey(), keyCode);
        return write(std::to_string(id).c_str(), keyCode);
    };
    ASSERT_EQ(check(1), "");
    for (uint32 i = 2; i <= SessionList::kSlots; i++)
        ASSERT_EQ(SessionList::createSession(iSpace.get())->getSessionID(), i);
    ASSERT_NE(SessionList::getSession(2), nullptr);  // now 3 is the oldest unchecked session, then 4
    EXPECT_EQ(SessionList::createSession(iSpace.get())->getSessionID(), 2001u);
    EXPECT_EQ(SessionList::getSession(3), nullptr);
    EXPECT_NE(SessionList::getSession(2), nullptr);
    for (int i = 0; i < 2100; i++) SessionList::createSession(iSpace.get());
    EXPECT_NE(SessionList::getSession(1), nullptr);

    // Every slot checked: the least recently used checked session goes.
    const uint32 next = SessionList::getNextSessionID();
    for (uint32 id = next - (SessionList::kSlots - 1); id < next; id++) ASSERT_EQ(check(id), "") << id;
    SessionList::createSession(iSpace.get());
    EXPECT_EQ(SessionList::getSession(1), nullptr);
    EXPECT_NE(SessionList::getSession(next - 1), nullptr);
}

TEST_F(SessionTest, FailedWriteChecksNameTheirCauseAndLeaveTheChallengeUnchanged) {
    std::string good = code();
    struct Case {
        const char* session;
        std::string keyCode;
        const char* rid;
        std::string expected;
    } cases[] = {
        {nullptr, good, nullptr, "-25012 Access Denied: P1Session header missing"},
        {"77", good, nullptr, "-25012 Access Denied: session 77 not found"},
        // 2^32 + 1 must not wrap round to session 1.
        {"4294967297", good, nullptr, "-25012 Access Denied: session 4294967297 not found"},
        {"1", good.substr(0, 31), nullptr,
         "-25012 Access Denied: P1KeyCode (" + good.substr(0, 31) + ") incorrect"},
        {"1", good, "1x", "-25014 Bad P1RID value: 1x"},
    };
    for (const Case& c : cases) EXPECT_EQ(write(c.session, c.keyCode, c.rid), c.expected);
    EXPECT_EQ(write("1", good), "");
}

TEST_F(SessionTest, ReadOnlySpaceCanBeReadButNotWrittenAndADisabledOneNeither) {
    std::string id = std::to_string(iID);
    SpaceDatabase::get(iID)->setStatusBits(kSpaceReadOnly);
    EXPECT_EQ(read(nullptr), "");
    EXPECT_EQ(write("1", code()), "-25013 Space " + id + " is READONLY");
    SpaceDatabase::get(iID)->setStatusBits(0x40);
    EXPECT_EQ(read(nullptr), "-25013 Space " + id + " has been disabled");
    EXPECT_EQ(write("1", code()), "-25013 Space " + id + " has been disabled");
}

TEST_F(SessionTest, ReadsAlwaysCompareTheRestoreIDWritesOnlyWhenTheClientSendsOne) {
    std::string recover = "-25018 Space " + std::to_string(iID) + " disabled, client side recovery required";
    EXPECT_EQ(read(nullptr), "");
    hvps_system_parameters.iRestoreID = 5;
    EXPECT_EQ(read(nullptr), recover);
    EXPECT_EQ(read("5"), "");
    EXPECT_EQ(write("1", code(), "1"), recover);
    EXPECT_EQ(write("1", code()), "");
    EXPECT_EQ(write("1", code(), "5"), "");
    EXPECT_EQ(failure([] { hvps_check_space(7, nullptr, "7/f", nullptr); }), "-25010 Space 7 does not exist");
    EXPECT_EQ(failure([] { hvps_check_space(0, nullptr, "x", nullptr); }),
              "-25011 No space specified in URL: x");
}

// --- End to end, with a REMOVE of a missing file as the request that needs a session.

class SessionServerTest : public hvps_test::ServerWithSpace {
protected:
    void prepare() override {
        loadSpaces();
        char hexKey[HVSpace::kHexKeySize];
        createSpace("other", &iOtherID, hexKey);
        freeSpaces();
    }
    const HVPSReply& remove(uint32 space, const std::string& code) {
        std::string headers =
            "P1Session: " + std::to_string(iClient.sessionID()) + "\r\nP1KeyCode: " + code + "\r\n";
        return iClient.rawRequest("POST", "/repo1/" + std::to_string(space) + "/none", headers, "REMOVE", 6);
    }

    uint32 iOtherID = 0;
};

TEST_F(SessionServerTest, KeyCodeOfEitherCaseIsAcceptedOnceAndOnlyInItsOwnSpace) {
    EXPECT_STREQ(iClient.login().header("P1Version"), "1.0.044");
    std::string code = iClient.currentKeyCode();
    EXPECT_EQ(remove(iOtherID, code).message, "Access Denied: session space ID: " + std::to_string(iOtherID));

    std::string lower = code;
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    const HVPSReply& accepted = remove(iSpaceID, lower);
    ASSERT_EQ(accepted.status, 200) << accepted.body;
    std::string next = iClient.currentKeyCode();
    EXPECT_EQ(remove(iSpaceID, code).message, "Access Denied: P1KeyCode (" + code + ") incorrect");
    // The refused code is logged with its control bytes escaped.
    EXPECT_EQ(remove(iSpaceID, "\x1B[2J\x07X").status, 403);
    EXPECT_TRUE(iServer.waitForLog("Access Denied: P1KeyCode (\\x1B[2J\\x07X) incorrect, expected ", 1, 5s))
        << iServer.log();
    EXPECT_EQ(remove(iSpaceID, next).status, 200);
}

}  // namespace
