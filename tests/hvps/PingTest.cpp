// The real hvpsd on a loopback port, spoken to with raw bytes: it publishes its port at start-up,
// answers ping and refused requests, and closes the port when it stops.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "HvpsdProcess.h"
#include "TestSupport.h"

using hvps_test::describe;
using hvps_test::freeLoopbackPort;
using hvps_test::HvpsdProcess;
using hvps_test::TempDir;
using namespace std::chrono_literals;

namespace {

// Connects to 127.0.0.1:port, sends `request` and returns everything received until the server
// closes the connection or `quiet` passes without a byte.
std::string exchange(int port, const std::string& request, std::chrono::milliseconds quiet = 3s) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string data;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        for (int reads = 0; reads < 1000; reads++) {
            pollfd entry{fd, POLLIN, 0};
            if (poll(&entry, 1, static_cast<int>(quiet.count())) <= 0) break;
            char buf[4096];
            ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n <= 0) break;
            data.append(buf, static_cast<size_t>(n));
        }
    }
    close(fd);
    return data;
}

std::vector<std::string> withRoot(std::vector<std::string> args) {
    if (geteuid() == 0) args.insert(args.begin(), "-r");
    return args;
}

class PingTest : public ::testing::Test {
protected:
    void SetUp() override {
        iPort = freeLoopbackPort();
        iServer.writeConfig(iPort);
        auto launcher = iServer.launch(withRoot({}));
        ASSERT_TRUE(launcher && launcher->exitedWith(0))
            << (launcher ? describe(*launcher) : "timeout") << iServer.output() << iServer.log();
    }

    TempDir iDir;
    HvpsdProcess iServer{iDir.path()};
    int iPort = 0;
};

const std::string kPingBody =
    "<?xml version='1.0' encoding='UTF-8' ?><halvora><httpstatus>200 OK</httpstatus>"
    "<intresult>0</intresult><message>Ping OK</message></halvora>";

TEST_F(PingTest, ServerAnswersOnItsPortAndUnpublishesItAtShutdown) {
    EXPECT_TRUE(iServer.waitForLog("Halvora Personal Server listening on port " + std::to_string(iPort)));

    // Two pings on one kept-alive connection, with the second one in a different case. The server
    // keeps the connection open after both: exchange() returns once it has been quiet for a while.
    std::string pingReply = std::string("HTTP/1.1 200 OK\r\n") + "Server: HVPS/1.0.044 (" +
#ifdef __APPLE__
                            "Apple Darwin" +
#else
                            "Linux" +
#endif
                            ")\r\nContent-Type: text/html\r\nConnection: Keep-Alive\r\nContent-Length: " +
                            std::to_string(kPingBody.size()) + "\r\n\r\n" + kPingBody;
    EXPECT_EQ(exchange(iPort, "GET /ping.xml HTTP/1.1\r\n\r\nGET /Ping.Xml HTTP/1.1\r\n\r\n", 500ms),
              pingReply + pingReply);

    // A refused request ends the connection after its one reply; client text is escaped.
    const std::string refused =
        "<?xml version='1.0' encoding='UTF-8' ?><halvora><httpstatus>403 "
        "Forbidden</httpstatus><status>0</status>"
        "<exception><errorcode>-25012</errorcode><message>Invalid URL: "
        "x&lt;b&gt;</message></exception></halvora>";
    EXPECT_EQ(exchange(iPort, "GET /x<b> HTTP/1.1\r\n\r\nGET /ping.xml HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 403 Forbidden\r\nConnection: close\r\nContent-Length: " +
                  std::to_string(refused.size()) + "\r\n\r\n" + refused);
    std::string methodReply = exchange(iPort, "DELETE /data/1/f HTTP/1.1\r\n\r\n");
    EXPECT_EQ(methodReply.rfind("HTTP/1.1 405 Method Not Allowed\r\nConnection: close\r\n", 0), 0u)
        << methodReply;

    ASSERT_TRUE(iServer.signalServer(SIGTERM));
    auto status = iServer.waitForServerExit();
    ASSERT_TRUE(status) << "the server did not stop";
    EXPECT_TRUE(status->exitedWith(0)) << describe(*status) << iServer.log();
    EXPECT_TRUE(iServer.waitForLog("Halvora Personal Server no longer published", 1, 1s)) << iServer.log();
    EXPECT_EQ(exchange(iPort, "GET /ping.xml HTTP/1.1\r\n\r\n", 200ms), "");
}

}  // namespace
