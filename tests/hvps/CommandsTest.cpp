// The POST commands of the real hvpsd, driven through the client library (and raw bytes where a
// request must be malformed): the plain space commands, the XML commands in plain and encrypted
// form, space deletion (the background pass and the start-up pass), and oversized bodies.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "CSStrUtil.h"
#include "HVPSClient.h"
#include "ServerFixture.h"
#include "ServerProbe.h"
#include "Space_hvps.h"
#include "config_hvps.h"

using hvps_test::readFile;
using hvps_test::writeFile;
namespace fs = std::filesystem;

namespace {

class CommandsTest : public hvps_test::ServerWithSpace {
protected:
    // Three spaces made before the start: 1 (the fixture's) with files (820 bytes), 2 without a
    // directory, and 3 marked for deletion by an earlier run that stopped before its pass. Next to
    // the mark lie directories that only look like marks, and a stale disk usage.
    void prepare() override {
        loadSpaces();
        char hexKey[HVSpace::kHexKeySize];
        for (auto* key : {iKey2, iKey3}) {
            uint32 id;
            createSpace("space", &id, hexKey);
            cs_hex_to_bin(8, key, hexKey);
        }
        freeSpaces();
        for (const char* name : {"3-TO_DELETE", "0-TO_DELETE", "01-TO_DELETE", "1x-TO_DELETE"})
            fs::create_directories(iServer.path("data/") + name);
        for (auto [name, size] :
             {std::pair{"1/a.txt", 700}, {"1/b.txt", 100}, {"1/d.txt", 20}, {"3-TO_DELETE/x", 9}})
            writeFile(iServer.path("data/") + name, std::string(size, 'x'));
        writeFile(iServer.path("data/disk-usage"), "99999");
    }
    // space-db holds a line of the space (the trailer line has no key, keys begin "01").
    bool inSpaceDB(uint32 id) {
        return ("\n" + readFile(iServer.path("data/space-db"))).find("\n" + std::to_string(id) + "\t\t01") !=
               std::string::npos;
    }
    uint64 diskUsage(HVPSClient& client) {
        std::vector<HVPSSpaceStats> stats;
        client.stats("1", nullptr, &stats);
        return stats.size() == 1 ? stats[0].diskUsage : ~0ull;
    }

    unsigned char iKey2[8], iKey3[8];
};

TEST_F(CommandsTest, NewspaceGivesANewIdAndItsEncryptedReplyHoldsAUsableSpaceURL) {
    HVPSClient client("127.0.0.1", iPort);
    // The reply is encrypted: the client reads it with the server key.
    HVPSSpaceURL url;
    const HVPSReply& reply = client.createSpace(iServerKey, "Holiday", "2.1", &url);
    ASSERT_EQ(reply.status, 200) << reply.body;
    // Encrypted on the wire: the message is longer than the text the client read from it.
    const char* length = reply.header("Content-Length");
    EXPECT_TRUE(length && std::stoul(length) > reply.body.size()) << reply.body;
    EXPECT_EQ(url.spaceID, 4u);  // ids are never reused
    EXPECT_EQ(url.port, iPort);
    EXPECT_EQ(url.repository, "repo1");
    client.setSpace(url);
    EXPECT_TRUE(client.login().ok()) << client.login().body;
}

TEST_F(CommandsTest, XMLAndUnknownBodiesAnswerInTheFormTheyCame) {
    struct Case {
        std::string body;
        bool encrypted;
        int status;
        int errorCode;
        std::string message;
    };
    const std::string xml = "<?xml version=\"1.0\"?><halvora>";
    const std::vector<Case> cases = {
        {xml + "<command>ping</command></halvora>", false, 200, 0, "Ping OK"},
        {xml + "<command>ping</command></halvora>", true, 200, 0, "Ping OK"},
        {xml + "<command>dance</command></halvora>", false, 400, -25014, "Unknown XML command: dance"},
        {xml + "<command>newspace</command><space><title>Holiday</title><version>2.1</version></space></"
               "halvora>",
         false, 400, -25014, "POST data is not encrypted"},
        {xml + "</halvora>", true, 400, -25014, "No XML command specified"},
        {"login please", true, 400, -25014, "POST data does not contain valid request: login please"},
        {"no command and too short for AES", false, 200, -25101, ""},
    };
    HVPSClient client("127.0.0.1", iPort);
    for (const Case& c : cases) {
        const HVPSReply& reply = client.xmlCommand(c.body, c.encrypted ? &iServerKey : nullptr);
        EXPECT_EQ(reply.status, c.status) << c.body << reply.body;
        EXPECT_EQ(reply.errorCode, c.errorCode) << c.body << reply.body;
        if (!c.message.empty()) {
            EXPECT_EQ(reply.message, c.message) << c.body;
        }
    }

    // Empty items and 0 are skipped, an id given again is answered once, and an id above the
    // highest ever given out (3, deleted at the start) not at all.
    std::vector<HVPSSpaceStats> stats;
    ASSERT_TRUE(client.stats("3,,0,1,03,4,3,1", &iServerKey, &stats).ok());
    ASSERT_EQ(stats.size(), 2u) << client.stats("3,,0,1,03,4,3,1").body;
    EXPECT_EQ(stats[0].spaceID, 3u);
    EXPECT_EQ(stats[0].status, 4u);
    EXPECT_EQ(stats[1].spaceID, 1u);
    EXPECT_EQ(stats[1].status, 0u);
    EXPECT_EQ(stats[1].diskLimit, 10 << 20);
}

TEST_F(CommandsTest, FileCommandsAnswerEachCaseAndKeepTheDiskUsage) {
    HVPSClient client("127.0.0.1", iPort);
    client.setSpace(1, iSpaceKey, "repo1");
    struct Step {
        const char* path;
        const char* newName;  // null: REMOVE
        int status;
        const char* text;  // in the body
        uint64 usageAfter;
    };
    const Step steps[] = {
        {"a.txt", nullptr, 200, "Removed OK", 120},
        {"a.txt", nullptr, 200, "Already removed", 120},
        {"b.txt", "c.txt", 200, "Renamed OK", 120},
        {"b.txt", "c.txt", 200, "Already renamed", 120},
        {"c.txt", "d.txt", 500, "<errorcode>17</errorcode>", 120},
        {"", "2", 403, "Illegal path: 1/", 120},  // the space directory itself
        {"d.txt", ".d.txt..hvps-upload-1", 403, "Illegal path: .d.txt..hvps-upload-1", 120},
    };
    for (const Step& s : steps) {
        const HVPSReply& reply = s.newName ? client.rename(s.path, s.newName) : client.remove(s.path);
        EXPECT_EQ(reply.status, s.status) << s.path << reply.body;
        EXPECT_NE(reply.body.find(s.text), std::string::npos) << s.path << reply.body;
        EXPECT_EQ(diskUsage(client), s.usageAfter) << s.path;
    }
    EXPECT_TRUE(fs::exists(iServer.path("data/1/c.txt")) && fs::exists(iServer.path("data/1/d.txt")));
    EXPECT_FALSE(fs::exists(iServer.path("data/2")));

    ASSERT_TRUE(client.login().ok());
    const HVPSReply& badDelete =
        client.rawRequest("POST", "/repo1/1/c.txt", hvps_test::sessionHeaders(client), "DELETE", 6);
    EXPECT_EQ(badDelete.status, 400);
    EXPECT_EQ(badDelete.message, "Bad URL for delete space: 1/c.txt");
}

TEST_F(CommandsTest, StartUpFinishesAnEarlierDeletionAndLeavesLookAlikesAlone) {
    EXPECT_FALSE(fs::exists(iServer.path("data/3-TO_DELETE")));
    EXPECT_FALSE(inSpaceDB(3));
    EXPECT_TRUE(inSpaceDB(1) && inSpaceDB(2));
    for (const char* name : {"0-TO_DELETE", "01-TO_DELETE", "1x-TO_DELETE"})
        EXPECT_TRUE(fs::exists(iServer.path("data/") + name)) << name;
    HVPSClient client("127.0.0.1", iPort);
    EXPECT_EQ(diskUsage(client), 820u);  // recounted, not the stale 99999
}

TEST_F(CommandsTest, DeletedSpaceIsRefusedAtOnceAndGoneWithItsBytesWithinSeconds) {
    HVPSClient client("127.0.0.1", iPort);
    client.setSpace(1, iSpaceKey, "repo1");
    const HVPSReply& reply = client.deleteSpace();
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_NE(reply.body.find("Delete OK"), std::string::npos);
    EXPECT_FALSE(fs::exists(iServer.path("data/1")));
    EXPECT_EQ(client.login().errorCode, -25013);

    const auto gone = [&] {
        return !fs::exists(iServer.path("data/1-TO_DELETE")) && !inSpaceDB(1) && diskUsage(client) == 0;
    };
    EXPECT_TRUE(hvps_test::waitUntil(gone)) << readFile(iServer.path("data/space-db")) << iServer.log();

    client.setSpace(2, iKey2, "repo1");
    EXPECT_NE(client.deleteSpace().body.find("Already deleted"), std::string::npos);
}

TEST_F(CommandsTest, PostBodyOverOneMebibyteIsRefusedBeforeItIsSent) {
    for (const char* length : {"1048577", "4294967296"}) {
        const std::string reply = hvps_test::exchange(
            iPort, std::string("POST /repo1/1/ HTTP/1.1\r\nContent-Length: ") + length + "\r\n\r\n");
        EXPECT_TRUE(reply.starts_with("HTTP/1.1 400")) << reply;
        EXPECT_NE(reply.find("<errorcode>-25014</errorcode>"), std::string::npos) << reply;
    }
}

}  // namespace
