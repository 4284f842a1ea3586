// Uploads to the real hvpsd through the client library: the three placements, log records, the MD5
// check with its cache, and the refusals; after every failure the file and the disk usage are
// checked to be as they were.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "CSStrUtil.h"
#include "HVPSClient.h"
#include "HvpsdProcess.h"
#include "Space_hvps.h"
#include "TestSupport.h"
#include "config_hvps.h"

using hvps_test::readFile;
using hvps_test::writeFile;

namespace {

class UploadTest : public ::testing::Test {
protected:
    // A space with one file of 100 bytes, then the server with `extraConfig`; `diskUsage` is the
    // stored total it starts from (empty: counted at start-up).
    void start(const std::string& extraConfig = "", const std::string& diskUsage = "") {
        iServer.writeConfig(iPort, extraConfig);
        hvps_system_parameters.iRepositoryPath = iServer.path("data");
        loadSpaces();
        char hexKey[HVSpace::kHexKeySize];
        createSpace("uploads", &iID, hexKey);
        freeSpaces();
        std::filesystem::create_directories(spaceFile(""));
        writeFile(spaceFile("f100"), std::string(100, 'x'));
        if (!diskUsage.empty()) writeFile(iServer.path("data/disk-usage"), diskUsage);
        auto launcher =
            iServer.launch(geteuid() == 0 ? std::vector<std::string>{"-r"} : std::vector<std::string>{});
        ASSERT_TRUE(launcher && launcher->exitedWith(0)) << iServer.output() << iServer.log();
        unsigned char key[HVPS_SPACE_KEY_LEN];
        cs_hex_to_bin(sizeof(key), key, hexKey);
        iClient.setSpace(iID, key, "repo1");
    }
    std::string spaceFile(const std::string& name) {
        return iServer.path("data/" + std::to_string(iID) + "/" + name);
    }
    uint64 diskUsage() {
        std::vector<HVPSSpaceStats> stats;
        iClient.stats(std::to_string(iID), nullptr, &stats);
        return stats.size() == 1 ? stats[0].diskUsage : ~0ull;
    }
    const HVPSReply& put(const std::string& path, const std::string& data, HVPSPlacement placement,
                         uint64 offset = 0, const std::string& md5 = "") {
        return iClient.put(path, data.data(), data.size(), {placement, offset, md5});
    }
    static std::string md5(const std::string& data) { return HVPSClient::md5Hex(data.data(), data.size()); }
    static std::string record(const std::string& body) {
        std::string out;
        HVPSClient::buildLogRecord(body.data(), body.size(), out);
        return out;
    }

    hvps_test::TempDir iDir;
    hvps_test::HvpsdProcess iServer{iDir.path()};
    int iPort = hvps_test::freeLoopbackPort();
    uint32 iID = 0;
    HVPSClient iClient{"127.0.0.1", iPort};
};

// An error reply with that status, error code and message text.
void expectRefused(const HVPSReply& reply, int status, int code, const std::string& text) {
    EXPECT_EQ(reply.status, status) << reply.body;
    EXPECT_EQ(reply.errorCode, code) << reply.body;
    EXPECT_NE(reply.message.find(text), std::string::npos) << reply.message;
}

TEST_F(UploadTest, PlacementsWriteTheBodyWhereAskedAndTheDiskUsageFollowsTheFileLength) {
    start();
    ASSERT_EQ(diskUsage(), 100u);
    struct Step {
        HVPSPlacement placement;
        uint64 offset;
        std::string body;
        std::string content;  // the file afterwards
    } steps[] = {
        {HVPSPlacement::Replace, 0, "0123456789", "0123456789"},
        {HVPSPlacement::AtOffset, 2, "ab", "01ab456789"},
        {HVPSPlacement::AtOffset, 10, "tail", "01ab456789tail"},
        {HVPSPlacement::Append, 0, "not a record", "01ab456789tailnot a record"},
        {HVPSPlacement::Replace, 0, "", ""},
    };
    for (const Step& s : steps) {
        const HVPSReply& reply = put("f100", s.body, s.placement, s.offset);
        ASSERT_EQ(reply.status, 201) << reply.body;
        EXPECT_NE(reply.body.find("Put OK"), std::string::npos);
        EXPECT_EQ(readFile(spaceFile("f100")), s.content);
        EXPECT_EQ(diskUsage(), s.content.size());
    }
    ASSERT_EQ(put("new/dir/file", "abc", HVPSPlacement::Replace).status, 201);
    EXPECT_EQ(readFile(spaceFile("new/dir/file")), "abc");
    EXPECT_EQ(iClient.connectionCount(), 1u);
}

TEST_F(UploadTest, LogRecordIsAppendedOnlyWithItsChecksumAndAFailureLeavesTheFileAsItWas) {
    start();
    std::string body(32, '\0');
    for (size_t i = 0; i < body.size(); i++) body[i] = static_cast<char>('a' + i);
    const std::string good = record(body);
    ASSERT_EQ(good.size(), 42u);
    ASSERT_EQ(put("log", good, HVPSPlacement::Append).status, 201);
    // A body longer than its record: only the record is checked.
    ASSERT_EQ(put("log", good + "unchecked", HVPSPlacement::Append).status, 201);
    const std::string before = readFile(spaceFile("log"));
    ASSERT_EQ(before, good + good + "unchecked");

    std::string changed = good;
    changed[20] ^= 1;
    struct Case {
        std::string body;
        std::string message;
    } cases[] = {
        {changed, "CheckSum Failed: "},
        {good.substr(0, 9), "Log message too short: 9 "},
        {"", "CheckSum Failed: FFFFFFFF != 0"},
    };
    for (const Case& c : cases) {
        expectRefused(put("log", c.body, HVPSPlacement::Append), 417, -3, c.message);
        EXPECT_EQ(readFile(spaceFile("log")), before);
        EXPECT_EQ(diskUsage(), 100 + before.size());
    }
}

TEST_F(UploadTest, MalformedUploadIsRefusedBeforeTheFileIsTouched) {
    start();
    struct Case {
        const char* headers;
        std::string message;
    } cases[] = {
        {"Seek-Pos: 1x\r\n", "Bad Seek-Pos value: 1x"},
        {"P1MD5Check: 1234\r\n", "Bad P1MD5Check value: 1234"},
        {"Seek-Pos: 18446744073709551615\r\n", "Upload beyond the largest file"},
    };
    std::string target = "/repo1/" + std::to_string(iID) + "/f100";
    for (const Case& c : cases) {
        iClient.login();
        std::string headers = "P1Session: " + std::to_string(iClient.sessionID()) +
                              "\r\nP1KeyCode: " + iClient.currentKeyCode() + "\r\n" + c.headers;
        expectRefused(iClient.rawRequest("PUT", target, headers, "body", 4), 400, -25014, c.message);
        EXPECT_EQ(readFile(spaceFile("f100")), std::string(100, 'x'));
    }
}

TEST_F(UploadTest, VerifiedAppendContinuesTheCachedDigestAndAMismatchStartsItAgain) {
    start();
    // Appends in log mode of bodies that are no records, so unchecked.
    const std::string a(70000, 'a'), b = "an appended block", c = "and some more";
    ASSERT_EQ(put("f", a, HVPSPlacement::Replace, 0, md5(a)).status, 201);
    // Changed behind the server's back: a digest that passes for A + B proves that only B was read.
    const std::string changed(70000, 'c');
    ASSERT_TRUE(writeFile(spaceFile("f"), changed));
    EXPECT_EQ(put("f", b, HVPSPlacement::Append, 0, md5(a + b)).status, 201);
    // An unchanged file compares the same digest again.
    EXPECT_EQ(put("f", "", HVPSPlacement::AtOffset, a.size() + b.size(), md5(a + b)).status, 201);

    expectRefused(put("f", c, HVPSPlacement::Append, 0, md5("wrong")), 417, -2, "MD5 check failed: server: ");
    EXPECT_TRUE(readFile(spaceFile("f")) == changed + b);
    // After the mismatch the digest is computed from offset 0, over the bytes really stored.
    EXPECT_EQ(put("f", c, HVPSPlacement::Append, 0, md5(changed + b + c)).status, 201);

    // Replacing a verified file starts its digest again instead of continuing the old one.
    EXPECT_EQ(put("f", b, HVPSPlacement::Replace, 0, md5(b)).status, 201);
    EXPECT_EQ(put("f", "x", HVPSPlacement::AtOffset, 0).status, 201);
    EXPECT_EQ(put("f", c, HVPSPlacement::Append, 0, md5("x" + b.substr(1) + c)).status, 201);
    EXPECT_EQ(diskUsage(), 100 + b.size() + c.size());
}

TEST_F(UploadTest, MD5CheckThatRunsOutOfTimeReportsItsProgressAndARepeatFinishesIt) {
    start("put-verify-timeout=1\n");
    std::string data(3 << 20, '\0');
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>(i * 7919 >> 5);
    const std::string digest = md5(data);

    const HVPSReply& first = put("big", data, HVPSPlacement::Replace, 0, digest);
    ASSERT_EQ(first.status, 100) << first.body;
    EXPECT_EQ(first.errorCode, -6);
    EXPECT_GT(first.md5Offset, 0u);
    EXPECT_LT(first.md5Offset, data.size());
    EXPECT_EQ(first.fileLength, data.size());
    EXPECT_EQ(std::filesystem::file_size(spaceFile("big")), 0u);
    EXPECT_EQ(diskUsage(), 100u);

    uint64 progress = first.md5Offset;
    for (int attempt = 0; attempt < 100; attempt++) {
        const HVPSReply& reply = put("big", data, HVPSPlacement::Replace, 0, digest);
        if (reply.status == 201) break;
        ASSERT_EQ(reply.errorCode, -6) << reply.body;
        ASSERT_GT(reply.md5Offset, progress);
        progress = reply.md5Offset;
    }
    EXPECT_TRUE(readFile(spaceFile("big")) == data);
    EXPECT_EQ(diskUsage(), 100 + data.size());
}

TEST_F(UploadTest, FullRepositoryRefusesUploadsBeforeTouchingAFile) {
    start("", std::to_string(10 << 20));
    const HVPSReply& reply = put("f100", "abc", HVPSPlacement::Replace);
    expectRefused(reply, 503, -25016, "Repository is full: 10485760 ");
    EXPECT_EQ(reply.spaceStatus & 0x10, 0x10u);
    EXPECT_EQ(readFile(spaceFile("f100")), std::string(100, 'x'));
}

}  // namespace
