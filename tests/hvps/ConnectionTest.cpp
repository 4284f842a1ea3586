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

const std::string kPing = kPingRequest;

class ConnectionTest : public ServerWithSpace {
protected:
    void SetUp() override {}
    // Four handlers: far fewer than the clients each test keeps connected.
    void start(const std::string& extraConfig = "") { startServer("maximum-connections=4\n" + extraConfig); }

    // Clients that have each been answered once and keep their connection open.
    std::vector<RawConnection> keptAlive(int count) {
        std::vector<RawConnection> clients;
        for (int i = 0; i < count; i++) {
            clients.emplace_back(iPort);
            EXPECT_TRUE(clients.back().send(kPing));
            EXPECT_TRUE(isPing(clients.back().readReply())) << "client " << i;
        }
        return clients;
    }

    bool freshClientAnswered() { return isPing(oneReply(iPort, kPing, 5s)); }
};

TEST_F(ConnectionTest, KeptAliveClientsHoldNoHandlerAndAreEachAnsweredAgain) {
    start();
    // The main thread, the system thread, a sanitizer's own threads and the first handlers.
    const long threadsAtStart = procStatus(iServer.serverPid(), "Threads");
    std::vector<RawConnection> clients = keptAlive(200);
    for (int i = 0; i < 10; i++) EXPECT_TRUE(freshClientAnswered()) << "fresh client " << i;
    for (size_t i = 0; i < clients.size(); i++) {
        ASSERT_TRUE(clients[i].send(kPing));
        EXPECT_TRUE(isPing(clients[i].readReply())) << "client " << i << " on its own connection";
    }
    // At most three more handlers than at the start: four in all.
    EXPECT_LE(procStatus(iServer.serverPid(), "Threads"), threadsAtStart + 3);
}

TEST_F(ConnectionTest, SlowHeadsAreGatheredWithoutAHandlerAndEndAfterTheTimeout) {
    start("connection-timeout=3000\n");
    std::vector<RawConnection> tricklers;
    for (int i = 0; i < 100; i++) tricklers.emplace_back(iPort);
    RawConnection stalled(iPort), silent(iPort);
    stalled.send("GET /ping.xml HTTP/1.1\r\nHost:");
    // One byte per client per round; others are served meanwhile.
    for (char ch : kPing) {
        for (RawConnection& client : tricklers) ASSERT_TRUE(client.send(std::string(1, ch)));
        EXPECT_TRUE(freshClientAnswered());
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
    ASSERT_TRUE(pipelined.send(kPing + kPing + "GET /ping.xml HTTP/1.1\r\n"));
    EXPECT_TRUE(isPing(pipelined.readReply()));
    EXPECT_TRUE(isPing(pipelined.readReply()));
    ASSERT_TRUE(pipelined.send("\r\n"));  // the third head, begun in the same packet, ends now
    EXPECT_TRUE(isPing(pipelined.readReply()));

    // The server opens a file now and then (the disk usage is saved every second): a little slack.
    const size_t before = openDescriptors(pid);
    {
        std::vector<RawConnection> clients = keptAlive(50);
        EXPECT_GE(openDescriptors(pid), before + 48);
    }
    EXPECT_TRUE(waitUntil([&] { return openDescriptors(pid) <= before + 2; }))
        << openDescriptors(pid) << " descriptors, " << before << " before";
}

TEST_F(ConnectionTest, ConnectionHeadersAndVersionDecideWhetherTheConnectionStaysOpen) {
    start();
    struct Case {
        std::string request;
        bool staysOpen;
    };
    const Case cases[] = {
        {"GET /ping.xml HTTP/1.1\r\nConnection: close\r\n\r\n", false},
        {"GET /ping.xml HTTP/1.0\r\n\r\n", false},
        // The value is a token, matched without regard to case.
        {"GET /ping.xml HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", true},
        {"GET /ping.xml HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", true},
        {"GET /ping.xml HTTP/1.1\r\nConnection: keep-alive\r\n\r\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        RawConnection client(iPort);
        // A connection kept open serves the same request a second time.
        for (int round = 0; round < (c.staysOpen ? 2 : 1); round++) {
            ASSERT_TRUE(client.send(c.request));
            std::string reply = client.readReply();
            EXPECT_TRUE(isPing(reply)) << reply;
            EXPECT_NE(reply.find(c.staysOpen ? "Connection: Keep-Alive\r\n" : "Connection: close\r\n"),
                      std::string::npos);
        }
        if (!c.staysOpen) {
            EXPECT_TRUE(client.waitClosed());
        }
    }
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

    // Refused before the body, or framed so that the body could be taken for a request: the final
    // reply comes at once, the connection ends and the file stays as it was.
    ASSERT_TRUE(iClient.login().ok());
    const std::string session = "P1Session: " + std::to_string(iClient.sessionID()) + "\r\n";
    const std::string keyCode = "P1KeyCode: " + iClient.currentKeyCode() + "\r\n";
    struct Case {
        std::string head;
        int status;
    };
    const Case cases[] = {
        {"Expect: 100-continue\r\nContent-Length: 5\r\n", 403},  // no session
        {session + keyCode + "Transfer-Encoding: chunked\r\n", 411},
        {session + keyCode + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", 400},
        {session + keyCode + "Content-Length: 5\r\nContent-Length: 6\r\n", 400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.head);
        RawConnection put(iPort);
        ASSERT_TRUE(put.send("PUT " + target + " HTTP/1.1\r\n" + c.head + "\r\n"));
        std::string reply = put.readReply();
        EXPECT_EQ(replyStatus(reply), c.status) << reply;
        put.send("5\r\nafter\r\n0\r\n\r\n");
        EXPECT_TRUE(put.waitClosed());
    }
    EXPECT_EQ(readFile(spacePath("f.txt")), "before");
}

}  // namespace
