// The real hvpsd against abusive clients on loopback: more connections at once than handlers,
// oversized heads and bodies, path-traversal attempts and replayed key codes and encrypted commands. Whatever
// they do, the server must stay up, answer the well-behaved client, keep its threads and memory bounded and
// never hand out or touch a file outside the space a request names.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "CSAES.h"
#include "HVPSClient.h"
#include "ServerFixture.h"
#include "ServerProbe.h"

using namespace hvps_test;
namespace fs = std::filesystem;

namespace {

// The address sanitizer keeps freed memory in quarantine, so a server built with it grows with
// every allocation: resident-memory bounds only hold for ordinary builds.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryBounded = false;
#else
constexpr bool kMemoryBounded = true;
#endif

// The server runs with the default maximum-connections, 20.
class AbusiveClientTest : public ServerWithSpace {
protected:
    // The well-behaved client: a ping on a fresh connection.
    bool pingAnswered() { return isPing(oneReply(iPort, kPingRequest)); }
};

TEST_F(AbusiveClientTest, FiveHundredConnectionsAtOnceAreAllAnsweredByTwentyHandlers) {
    const pid_t pid = iServer.serverPid();
    const long rssBefore = procStatus(pid, "VmRSS");

    // All 500 connect and send their ping before any reply is read; each then reads its reply and
    // hangs up, as a client does.
    std::vector<RawConnection> clients;
    long maxThreads = 0;
    for (int i = 0; i < 500; i++) {
        clients.emplace_back(iPort);
        ASSERT_TRUE(clients.back().send(kPingRequest)) << "connection " << i;
        maxThreads = std::max(maxThreads, procStatus(pid, "Threads"));
    }
    int answered = 0;
    for (RawConnection& client : clients) {
        answered += isPing(client.readReply());
        client.hangUp();
        maxThreads = std::max(maxThreads, procStatus(pid, "Threads"));
    }
    EXPECT_EQ(answered, 500);
    // Twenty handlers, the main and the system thread.
    EXPECT_LE(maxThreads, 22);
    if (kMemoryBounded) {
        EXPECT_LT(procStatus(pid, "VmRSS") - rssBefore, 64 * 1024) << "kB of resident memory gained";
    }
    EXPECT_TRUE(pingAnswered());
}

TEST_F(AbusiveClientTest, OversizedHeadsAndBodiesAreRefusedWithoutBeingStored) {
    const pid_t pid = iServer.serverPid();
    const long rssBefore = procStatus(pid, "VmRSS");
    std::string manyHeaders, bigHeaders;
    for (int i = 0; i < 150; i++) manyHeaders += "X-H" + std::to_string(i) + ": v\r\n";
    for (int i = 0; i < 70; i++)
        bigHeaders += "X-Big" + std::to_string(i) + ": " + std::string(1000, 'b') + "\r\n";
    const std::string cases[] = {
        "GET /" + std::string(20000, 'a') + " HTTP/1.1\r\n\r\n",
        "GET /ping.xml HTTP/1.1\r\n" + manyHeaders + "\r\n",
        "GET /ping.xml HTTP/1.1\r\n" + bigHeaders + "\r\n",
        "POST /repo1 HTTP/1.1\r\nContent-Length: 2097152\r\n\r\n" + std::string(65536, 'p'),
        "POST /repo1 HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n",
        "PUT /repo1/1/f HTTP/1.1\r\nContent-Length: 21474836480\r\n\r\nxx",
    };
    for (const std::string& request : cases) {
        SCOPED_TRACE(request.substr(0, 60));
        std::string reply = oneReply(iPort, request);
        EXPECT_GE(replyStatus(reply), 400) << reply.substr(0, 300);
        EXPECT_TRUE(pingAnswered());
    }
    if (kMemoryBounded) {
        EXPECT_LT(procStatus(pid, "VmRSS") - rssBefore, 32 * 1024) << "kB of resident memory gained";
    }
}

TEST_F(AbusiveClientTest, PathTraversalNeverReadsOrWritesOutsideTheSpace) {
    const std::string id = std::to_string(iSpaceID);
    ASSERT_EQ(iClient.put("a.txt", "inside", 6).status, 201);
    const std::string marker = "OUTSIDE-MARKER-7d21";
    ASSERT_TRUE(writeFile(iServer.path("outside.txt"), marker));
    const std::string spaceDB = readFile(iServer.path("data/space-db"));
    ASSERT_FALSE(spaceDB.empty());

    const std::string targets[] = {
        "/repo1/" + id + "/../space-db",
        "/repo1/" + id + "/..%2fspace-db",
        "/repo1/" + id + "/%2e%2e/space-db",
        "/repo1/" + id + "//../space-db",
        "/repo1/" + id + "/../../outside.txt",
        "/repo1//space-db",
        "/repo1/" + id + "//etc/passwd",
        "/repo1/" + id + "/a.txt%00/../../outside.txt",
        std::string("/repo1/") + id + "/a.txt" + '\0' + "/../../outside.txt",
        "/repo1/" + id + "-TO_DELETE/a.txt",
        "/repo1/0" + id + "/a.txt",
        "/../hvps.config",
        "/repo1/../hvps.config",
        "/hvps.config",
        "/space-db",
    };
    for (const std::string& target : targets) {
        SCOPED_TRACE(target);
        std::string reply = oneReply(iPort, "GET " + target + " HTTP/1.1\r\n\r\n");
        // The request line ends at a NUL: that one reads a.txt, inside the space.
        if (target.find('\0') == std::string::npos) {
            EXPECT_NE(replyStatus(reply), 200) << reply.substr(0, 300);
        }
        EXPECT_EQ(reply.find(marker), std::string::npos);
        EXPECT_EQ(reply.find(HvpsdProcess::kPasswordDigest), std::string::npos);
        EXPECT_EQ(reply.find(spaceDB.substr(spaceDB.find('\t'))), std::string::npos);
    }

    // Writes with a valid session: PUT, RENAME and REMOVE aimed outside the space.
    const std::string writes[][2] = {
        {"PUT", "/repo1/" + id + "/../../escape.txt"},
        {"PUT", "/repo1/" + id + "/../space-db"},
        {"POST", "/repo1/" + id + "/../../outside.txt"},
    };
    for (const auto& write : writes) {
        SCOPED_TRACE(write[1]);
        ASSERT_TRUE(iClient.login().ok());
        std::string body = write[0] == "PUT" ? std::string("escaped") : std::string("REMOVE");
        const HVPSReply& reply =
            iClient.rawRequest(write[0], write[1], sessionHeaders(iClient), body.data(), body.size());
        EXPECT_FALSE(reply.ok()) << reply.status << " " << reply.message;
    }
    // Escapes are not decoded: this is a folder named "%2e%2e" inside the space.
    ASSERT_EQ(iClient.put("%2e%2e/%2e%2e/escaped.txt", "x", 1).status, 201);
    EXPECT_TRUE(fs::exists(iServer.path("data/" + id + "/%2e%2e/%2e%2e/escaped.txt")));
    ASSERT_TRUE(iClient.login().ok());
    const HVPSReply& rename = iClient.rawRequest("POST", "/repo1/" + id + "/a.txt", sessionHeaders(iClient),
                                                 "RENAME\r\n../../escape.txt", 23);
    EXPECT_FALSE(rename.ok()) << rename.message;

    EXPECT_EQ(readFile(iServer.path("outside.txt")), marker);
    EXPECT_EQ(readFile(iServer.path("data/space-db")), spaceDB);
    EXPECT_FALSE(fs::exists(iServer.path("escape.txt")));
    EXPECT_FALSE(fs::exists(iServer.path("data/escape.txt")));
    EXPECT_TRUE(pingAnswered());
}

// A link that someone with access to the repository places inside a space folder is not followed
// by downloads or uploads.
TEST_F(AbusiveClientTest, ALinkInsideASpaceFolderIsNotFollowed) {
    const std::string marker = "OUTSIDE-MARKER-7d21";
    ASSERT_TRUE(writeFile(iServer.path("outside.txt"), marker));
    const std::string space = iServer.path("data/" + std::to_string(iSpaceID));
    fs::create_symlink(iServer.path("outside.txt"), space + "/link.txt");
    fs::create_directory_symlink(iServer.path(""), space + "/linkdir");

    for (const char* path : {"link.txt", "linkdir/outside.txt"}) {
        SCOPED_TRACE(path);
        const HVPSReply& reply = iClient.get(path);
        EXPECT_NE(reply.status, 200);
        EXPECT_EQ(reply.body.find(marker), std::string::npos);
        const HVPSReply& put = iClient.put(path, "overwritten", 11);
        EXPECT_FALSE(put.ok());
        EXPECT_EQ(readFile(iServer.path("outside.txt")), marker);
    }
}

TEST_F(AbusiveClientTest, ReplayedKeyCodesAreRefusedAndReplayedEncryptedCommandsChangeNothingElse) {
    ASSERT_TRUE(iClient.login().ok());
    const std::string target = "/repo1/" + std::to_string(iSpaceID) + "/f.txt";
    const std::string headers = sessionHeaders(iClient);
    EXPECT_EQ(iClient.rawRequest("PUT", target, headers, "first", 5).status, 201);
    for (int i = 0; i < 3; i++) {
        const HVPSReply& replay = iClient.rawRequest("PUT", target, headers, "again", 5);
        EXPECT_EQ(replay.status, 403) << replay.message;
    }
    EXPECT_EQ(iClient.get("f.txt").body, "first");

    // An encrypted statistics command sent again and again: each copy is answered, nothing grows.
    const std::string xml = "<?xml version=\"1.0\"?><halvora><command>GetSpaceStatistik</command><spaces>" +
                            std::to_string(iSpaceID) + "</spaces></halvora>";
    CSAESBuffer aes;
    unsigned char* message = nullptr;
    int len = aes.aes_encrypt_data(iServerKey.val, 16, reinterpret_cast<const unsigned char*>(xml.data()),
                                   static_cast<int>(xml.size()), &message);
    ASSERT_GT(len, 0);
    const std::string body(reinterpret_cast<char*>(message), static_cast<size_t>(len));
    free(message);
    const std::string spaceDB = readFile(iServer.path("data/space-db"));
    const long rssBefore = procStatus(iServer.serverPid(), "VmRSS");
    for (int i = 0; i < 200; i++) {
        std::string reply =
            oneReply(iPort, "POST /repo1 HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                                "\r\nConnection: close\r\n\r\n" + body);
        ASSERT_EQ(replyStatus(reply), 200) << "copy " << i;
    }
    EXPECT_EQ(readFile(iServer.path("data/space-db")), spaceDB);
    if (kMemoryBounded) {
        EXPECT_LT(procStatus(iServer.serverPid(), "VmRSS") - rssBefore, 16 * 1024) << "kB gained";
    }
    EXPECT_TRUE(pingAnswered());
}

}  // namespace
