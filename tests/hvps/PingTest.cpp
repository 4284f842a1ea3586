// The real hvpsd on a loopback port, spoken to with raw bytes: it publishes its port at start-up,
// answers ping and refused requests byte for byte, and closes the port when it stops.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "ServerFixture.h"

using hvps_test::exchange;
using namespace std::chrono_literals;

namespace {

using PingTest = hvps_test::ServerWithSpace;

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
