// The real hvpsd against abusive clients on loopback: more connections at once than handlers,
// oversized heads and bodies, path-traversal attempts and replayed key codes and encrypted commands. Whatever
// they do, the server must stay up, answer the well-behaved client, keep its threads and memory bounded and
// never hand out or touch a file outside the space a request names.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "CSAES.h"
#include "HVPSClient.h"
#include "RawConnection.h"
#include "ServerFixture.h"
#include "TestSupport.h"

using hvps_test::readFile;
using hvps_test::TempDir;
using hvps_test::writeFile;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

bool sendAll(int fd, const std::string& data) {
    for (size_t done = 0; done < data.size();) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Bytes that hold a whole reply: the head and Content-Length bytes of body.
bool wholeReply(const std::string& data) {
    size_t end = data.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    size_t at = data.find("\r\nContent-Length: ");
    size_t length = at != std::string::npos && at < end ? std::stoul(data.substr(at + 18)) : 0;
    return data.size() >= end + 4 + length;
}

// One request on a fresh connection; the reply bytes, up to a whole reply or the server's close
// (10 s at most).
std::string oneRequest(int port, const std::string& request) {
    hvps_test::RawConnection connection(port);
    return connection.send(request) ? connection.readReply() : "";
}

// The address sanitizer keeps freed memory in quarantine, so a server built with it grows with
// every allocation: resident-memory bounds only hold for ordinary builds.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryBounded = false;
#else
constexpr bool kMemoryBounded = true;
#endif

// A field of /proc/<pid>/status ("VmRSS", "Threads") as a number.
long procStatus(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(field + ":")) return std::stol(line.substr(field.size() + 1));
    return -1;
}

class AbusiveClientTest : public hvps_test::ServerWithSpace {
protected:
    void SetUp() override {}
    void start(const std::string& extraConfig = "") { startServer(extraConfig); }

    // The well-behaved client: a ping on a fresh connection.
    bool pingAnswered() {
        HVPSClient client("127.0.0.1", iPort);
        client.setTimeout(10000);
        try {
            return client.ping().status == 200;
        } catch (const CSException&) {
            return false;
        }
    }

    HVPSSpaceURL newSpace(HVPSClient& client) {
        HVPSSpaceURL url;
        EXPECT_TRUE(client.createSpace(iServerKey, "abuse", "1.0", &url).ok());
        client.setSpace(url);
        return url;
    }
};

TEST_F(AbusiveClientTest, FiveHundredConnectionsAtOnceAreAllAnsweredByTwentyHandlers) {
    start("maximum-connections=20\n");
    const pid_t pid = iServer.serverPid();
    const long rssBefore = procStatus(pid, "VmRSS");

    // All 500 connect at once; each sends a ping, reads its reply and hangs up, as a client does.
    struct Conn {
        int fd = -1;
        bool sent = false;
        bool finished = false;
        std::string reply;
    };
    std::vector<Conn> conns;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(iPort));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 500; i++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ASSERT_GE(fd, 0);
        int rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        ASSERT_TRUE(rc == 0 || errno == EINPROGRESS) << "connection " << i;
        conns.emplace_back();
        conns.back().fd = fd;
    }
    int answered = 0;
    long maxThreads = 0;
    const auto deadline = Clock::now() + 60s;
    for (size_t left = conns.size(); left > 0 && Clock::now() < deadline;) {
        std::vector<pollfd> polls;
        std::vector<Conn*> owners;
        for (Conn& c : conns)
            if (!c.finished) {
                polls.push_back({c.fd, static_cast<short>(c.sent ? POLLIN : POLLOUT), 0});
                owners.push_back(&c);
            }
        if (poll(polls.data(), polls.size(), 200) <= 0) continue;
        maxThreads = std::max(maxThreads, procStatus(pid, "Threads"));
        for (size_t k = 0; k < polls.size(); k++) {
            Conn& c = *owners[k];
            if (!polls[k].revents) continue;
            bool end = (polls[k].revents & (POLLERR | POLLHUP)) && !(polls[k].revents & POLLIN);
            if (!end && !c.sent) {
                c.sent = sendAll(c.fd, "GET /ping.xml HTTP/1.1\r\n\r\n");
                end = !c.sent;
            } else if (!end) {
                char buf[4096];
                ssize_t n = recv(c.fd, buf, sizeof(buf), 0);
                if (n > 0) c.reply.append(buf, static_cast<size_t>(n));
                end = n <= 0 || wholeReply(c.reply);
            }
            if (end) {
                c.finished = true;
                close(c.fd);
                left--;
                answered += hvps_test::replyStatus(c.reply) == 200;
            }
        }
    }
    for (Conn& c : conns)
        if (!c.finished) close(c.fd);
    EXPECT_EQ(answered, 500);
    // Twenty handlers, the main and the system thread.
    EXPECT_LE(maxThreads, 22);
    if (kMemoryBounded) {
        EXPECT_LT(procStatus(pid, "VmRSS") - rssBefore, 64 * 1024) << "kB of resident memory gained";
    }
    EXPECT_TRUE(pingAnswered());
}

TEST_F(AbusiveClientTest, OversizedHeadsAndBodiesAreRefusedWithoutBeingStored) {
    start();
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
        std::string reply = oneRequest(iPort, request);
        EXPECT_GE(hvps_test::replyStatus(reply), 400) << reply.substr(0, 300);
        EXPECT_TRUE(pingAnswered());
    }
    if (kMemoryBounded) {
        EXPECT_LT(procStatus(pid, "VmRSS") - rssBefore, 32 * 1024) << "kB of resident memory gained";
    }
}

TEST_F(AbusiveClientTest, PathTraversalNeverReadsOrWritesOutsideTheSpace) {
    start();
    HVPSClient client("127.0.0.1", iPort);
    client.setTimeout(10000);
    HVPSSpaceURL url = newSpace(client);
    const std::string id = std::to_string(url.spaceID);
    ASSERT_EQ(client.put("a.txt", "inside", 6).status, 201);
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
        std::string reply = oneRequest(iPort, "GET " + target + " HTTP/1.1\r\n\r\n");
        // The request line ends at a NUL: that one reads a.txt, inside the space.
        if (target.find('\0') == std::string::npos) {
            EXPECT_NE(hvps_test::replyStatus(reply), 200) << reply.substr(0, 300);
        }
        EXPECT_EQ(reply.find(marker), std::string::npos);
        EXPECT_EQ(reply.find(hvps_test::HvpsdProcess::kPasswordDigest), std::string::npos);
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
        ASSERT_TRUE(client.login().ok());
        std::string body = write[0] == "PUT" ? std::string("escaped") : std::string("REMOVE");
        const HVPSReply& reply = client.rawRequest(write[0], write[1],
                                                   "P1Session: " + std::to_string(client.sessionID()) +
                                                       "\r\nP1KeyCode: " + client.currentKeyCode() + "\r\n",
                                                   body.data(), body.size());
        EXPECT_FALSE(reply.ok()) << reply.status << " " << reply.message;
    }
    // Escapes are not decoded: this is a folder named "%2e%2e" inside the space.
    ASSERT_EQ(client.put("%2e%2e/%2e%2e/escaped.txt", "x", 1).status, 201);
    EXPECT_TRUE(fs::exists(iServer.path("data/" + id + "/%2e%2e/%2e%2e/escaped.txt")));
    ASSERT_TRUE(client.login().ok());
    const HVPSReply& rename = client.rawRequest("POST", "/repo1/" + id + "/a.txt",
                                                "P1Session: " + std::to_string(client.sessionID()) +
                                                    "\r\nP1KeyCode: " + client.currentKeyCode() + "\r\n",
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
    start();
    HVPSClient client("127.0.0.1", iPort);
    client.setTimeout(10000);
    HVPSSpaceURL url = newSpace(client);
    ASSERT_EQ(client.put("a.txt", "inside", 6).status, 201);
    const std::string marker = "OUTSIDE-MARKER-7d21";
    ASSERT_TRUE(writeFile(iServer.path("outside.txt"), marker));
    const std::string space = iServer.path("data/" + std::to_string(url.spaceID));
    fs::create_symlink(iServer.path("outside.txt"), space + "/link.txt");
    fs::create_directory_symlink(iServer.path(""), space + "/linkdir");

    for (const char* path : {"link.txt", "linkdir/outside.txt"}) {
        SCOPED_TRACE(path);
        const HVPSReply& reply = client.get(path);
        EXPECT_NE(reply.status, 200);
        EXPECT_EQ(reply.body.find(marker), std::string::npos);
        const HVPSReply& put = client.put(path, "overwritten", 11);
        EXPECT_FALSE(put.ok());
        EXPECT_EQ(readFile(iServer.path("outside.txt")), marker);
    }
}

TEST_F(AbusiveClientTest, ReplayedKeyCodesAreRefusedAndReplayedEncryptedCommandsChangeNothingElse) {
    start();
    HVPSClient client("127.0.0.1", iPort);
    client.setTimeout(10000);
    HVPSSpaceURL url = newSpace(client);
    ASSERT_TRUE(client.login().ok());
    const std::string target = "/repo1/" + std::to_string(url.spaceID) + "/f.txt";
    const std::string headers = "P1Session: " + std::to_string(client.sessionID()) +
                                "\r\nP1KeyCode: " + client.currentKeyCode() + "\r\n";
    EXPECT_EQ(client.rawRequest("PUT", target, headers, "first", 5).status, 201);
    for (int i = 0; i < 3; i++) {
        const HVPSReply& replay = client.rawRequest("PUT", target, headers, "again", 5);
        EXPECT_EQ(replay.status, 403) << replay.message;
    }
    EXPECT_EQ(client.get("f.txt").body, "first");

    // An encrypted statistics command sent again and again: each copy is answered, nothing grows.
    const std::string xml = "<?xml version=\"1.0\"?><halvora><command>GetSpaceStatistik</command><spaces>" +
                            std::to_string(url.spaceID) + "</spaces></halvora>";
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
            oneRequest(iPort, "POST /repo1 HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                                  "\r\nConnection: close\r\n\r\n" + body);
        ASSERT_EQ(hvps_test::replyStatus(reply), 200) << "copy " << i;
    }
    EXPECT_EQ(readFile(iServer.path("data/space-db")), spaceDB);
    if (kMemoryBounded) {
        EXPECT_LT(procStatus(iServer.serverPid(), "VmRSS") - rssBefore, 16 * 1024) << "kB gained";
    }
    EXPECT_TRUE(pingAnswered());
}

}  // namespace
