// The real hvpsd and many clients on loopback: connections that wait for their next request, or
// whose heads arrive slowly, cost no handler; every such client is still answered on its own
// connection, and the connection ends when the client asks for it, when its head does not come
// within connection-timeout, or when the server stops.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ServerFixture.h"
#include "ServerProbe.h"

using namespace hvps_test;

namespace {

class ConnectionTest : public ServerWithSpace {
protected:
    void SetUp() override {}
    // Four handlers: far fewer than the clients each test keeps connected.
    void start(const std::string& extraConfig = "") { startServer("maximum-connections=4\n" + extraConfig); }
};

TEST_F(ConnectionTest, SlowHeadsAreGatheredWithoutAHandlerAndEndAfterTheTimeout) {
    start("connection-timeout=3000\n");
    std::vector<RawConnection> tricklers;
    for (int i = 0; i < 100; i++) tricklers.emplace_back(iPort);
    RawConnection stalled(iPort), silent(iPort);
    stalled.send("GET /ping.xml HTTP/1.1\r\nHost:");
    // One byte per client per round; others are served meanwhile.
    for (char ch : kPingRequest) {
        for (RawConnection& client : tricklers) ASSERT_TRUE(client.send(std::string(1, ch)));
        EXPECT_TRUE(isPing(oneReply(iPort, kPingRequest, 5s)));
    }
    for (size_t i = 0; i < tricklers.size(); i++) EXPECT_TRUE(isPing(tricklers[i].readReply())) << i;

    for (RawConnection* client : {&stalled, &silent}) {
        std::string reply;
        EXPECT_TRUE(client->waitClosed(10s, &reply));
        EXPECT_EQ(replyStatus(reply), 500) << reply;
        EXPECT_NE(reply.find("<errorcode>-14020</errorcode><message>Receive timeout: 3000 ms, on: 127.0.0.1"),
                  std::string::npos)
            << reply;
    }
}

TEST_F(ConnectionTest, PipelinedRequestsAreAllAnsweredAndClosedParkedConnectionsAreDropped) {
    start();
    const pid_t pid = iServer.serverPid();
    RawConnection pipelined(iPort);
    ASSERT_TRUE(pipelined.send(kPingRequest + kPingRequest + "GET /ping.xml HTTP/1.1\r\n"));
    EXPECT_TRUE(isPing(pipelined.readReply()));
    EXPECT_TRUE(isPing(pipelined.readReply()));
    // The third head, begun in the same packet, ends now and asks to close.
    ASSERT_TRUE(pipelined.send("Connection: close\r\n\r\n"));
    EXPECT_TRUE(isPing(pipelined.readReply()));
    EXPECT_TRUE(pipelined.waitClosed());

    // The server opens a file now and then (the disk usage is saved every second): a little slack.
    const size_t before = openDescriptors(pid);
    {
        std::vector<RawConnection> clients;
        for (int i = 0; i < 50; i++) {
            clients.emplace_back(iPort);
            ASSERT_TRUE(clients.back().send(kPingRequest));
            ASSERT_TRUE(isPing(clients.back().readReply())) << "client " << i;
        }
        EXPECT_GE(openDescriptors(pid), before + 48);
    }
    EXPECT_TRUE(waitUntil([&] { return openDescriptors(pid) <= before + 2; }))
        << openDescriptors(pid) << " descriptors, " << before << " before";
}

TEST_F(ConnectionTest, ExpectContinueIsAnsweredBeforeTheBodyUnlessTheRequestIsRefused) {
    start();
    ASSERT_EQ(iClient.put("f.txt", "before", 6).status, 201);
    const std::string target = spaceURL("f.txt");

    // The body of a LOGIN is read: the client is told to send it first.
    RawConnection login(iPort);
    ASSERT_TRUE(
        login.send("POST " + target + " HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n"));
    EXPECT_EQ(login.readReply(), "HTTP/1.1 100 Continue\r\n\r\n");
    ASSERT_TRUE(login.send("LOGIN"));
    EXPECT_EQ(replyStatus(login.readReply()), 200);

    // Refused before the body: the final reply comes at once, the connection ends and the file
    // stays as it was.
    RawConnection put(iPort);
    ASSERT_TRUE(put.send("PUT " + target + " HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n"));
    std::string reply = put.readReply();
    EXPECT_EQ(replyStatus(reply), 403) << reply;
    put.send("after");
    EXPECT_TRUE(put.waitClosed());
    EXPECT_EQ(readFile(spacePath("f.txt")), "before");
}

}  // namespace
