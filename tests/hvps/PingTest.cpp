// The real hvpsd on a loopback port, spoken to with raw bytes: it publishes its port at start-up,
// answers a ping, and closes the port when it stops.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "ServerFixture.h"

using hvps_test::exchange;
using namespace std::chrono_literals;

namespace {

using PingTest = hvps_test::ServerWithSpace;

TEST_F(PingTest, ServerAnswersOnItsPortAndUnpublishesItAtShutdown) {
    EXPECT_TRUE(iServer.waitForLog("Halvora Personal Server listening on port " + std::to_string(iPort)));

    // The reply envelopes and the refusals are checked over memory streams (ConnectionHandlerTest);
    // here the bytes come through the real port.
    EXPECT_EQ(exchange(iPort, "GET /ping.xml HTTP/1.1\r\n\r\n", 500ms).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);

    ASSERT_TRUE(iServer.signalServer(SIGTERM));
    auto status = iServer.waitForServerExit();
    ASSERT_TRUE(status) << "the server did not stop";
    EXPECT_TRUE(status->exitedWith(0)) << describe(*status) << iServer.log();
    EXPECT_TRUE(iServer.waitForLog("Halvora Personal Server no longer published", 1, 1s)) << iServer.log();
    EXPECT_EQ(exchange(iPort, "GET /ping.xml HTTP/1.1\r\n\r\n", 200ms), "");
}

}  // namespace
