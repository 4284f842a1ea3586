// The listener and the handler pool in this process, with clients on loopback sockets; and the
// MIME table.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CSException.h"
#include "CSSocket.h"
#include "CSThread.h"
#include "ConnectionHandler_hvps.h"
#include "HvpsdProcess.h"
#include "Network_hvps.h"
#include "RawConnection.h"
#include "TestSupport.h"
#include "config_hvps.h"

using hvps_test::RawConnection;
using hvps_test::readFile;
using hvps_test::TempDir;
using hvps_test::writeFile;
using namespace std::chrono_literals;

namespace {

const char kPing[] = "GET /ping.xml HTTP/1.1\r\n\r\n";

// Waits (bounded) until `condition` holds.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

bool isPingReply(const std::string& reply) {
    return reply.rfind("HTTP/1.1 200 OK\r\n", 0) == 0 &&
           reply.find("<message>Ping OK</message>") != std::string::npos;
}

std::set<std::string> handlerNames() {
    std::set<std::string> names;
    std::lock_guard<CSLock> hold(MSNetwork::iHandlerList.iLock);
    for (CSObject* obj = MSNetwork::iHandlerList.getFront(); obj; obj = obj->getNextLink())
        names.insert(static_cast<CSThread*>(obj)->getThreadName());
    return names;
}

class NetworkTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(CSThread::startUp()); }

    void SetUp() override {
        hvps_system_parameters.iRepositoryName = "repo";
        hvps_system_parameters.iConnectionTimeout = 10000;
        hvps_system_parameters.iTraceOn = false;
        hvps_system_parameters.iVerbose = false;
    }
    void TearDown() override {
        if (iStarted) MSNetwork::shutDown();
    }

    void start(uint32 minimum, uint32 maximum) {
        iPort = hvps_test::freeLoopbackPort();
        MSNetwork::startUp(iPort, minimum, maximum, nullptr);
        iStarted = true;
        MSNetwork::startNetwork();
    }

    std::string log() { return iLog.text(); }

    TempDir iDir;
    hvps_test::CapturedLog iLog;
    int iPort = 0;
    bool iStarted = false;
};

TEST_F(NetworkTest, PoolWithOneHandlerServesEveryKeptAliveClient) {
    int32 before = MSNetwork::iHandlerID;
    start(1, 1);
    RawConnection a(iPort);
    ASSERT_TRUE(a.connected());
    a.send(kPing);
    EXPECT_TRUE(isPingReply(a.readReply()));

    // a's connection stays open without holding the only handler: b is answered at once.
    RawConnection b(iPort);
    ASSERT_TRUE(b.connected());
    b.send(kPing);
    EXPECT_TRUE(isPingReply(b.readReply()));
    a.send(kPing);  // a is still served on the same connection
    EXPECT_TRUE(isPingReply(a.readReply()));
    EXPECT_TRUE(waitUntil([] { return MSNetwork::getParkedCount() == 2; }));

    EXPECT_EQ(MSNetwork::getHandlerCount(), 1);
    EXPECT_EQ(MSNetwork::iHandlerID, before + 1);
    EXPECT_EQ(handlerNames().size(), 1u);
}

TEST_F(NetworkTest, PoolWithNoHandlersAcceptsNothing) {
    start(0, 0);
    EXPECT_EQ(MSNetwork::getHandlerCount(), 0);
    EXPECT_EQ(MSNetwork::iHandlerList.getThreadCount(), 0u);
    RawConnection a(iPort);  // the kernel completes the connection into the backlog
    a.send(kPing);
    EXPECT_EQ(a.readReply(300ms), "");
    EXPECT_EQ(MSNetwork::getListenerCount(), 0u);
}

TEST_F(NetworkTest, PoolGrowsOneHandlerPerRequestInProgressUpToTheMaximum) {
    int32 base = MSNetwork::iHandlerID;
    start(3, 3);
    // Each POST waits for the rest of its body: three requests in progress hold all three handlers.
    std::vector<RawConnection> slow;
    for (int i = 0; i < 3; i++) {
        // The newest handler has the turn, nobody else waits: it takes this request.
        ASSERT_TRUE(waitUntil([] { return MSNetwork::getListenerCount() == 1; }));
        slow.emplace_back(iPort);
        slow.back().send("POST /x HTTP/1.1\r\nContent-Length: 5\r\n\r\nab");
        ASSERT_TRUE(waitUntil([&] { return MSNetwork::getHandlerCount() == std::min(i + 2, 3); }));
    }
    ASSERT_TRUE(waitUntil([] { return MSNetwork::getListenerCount() == 0; }));
    std::set<std::string> expected;
    for (int i = 1; i <= 3; i++) expected.insert("NetworkHandler" + std::to_string(base + i));
    EXPECT_EQ(handlerNames(), expected);
    // Nobody listens: a fourth client waits until a request ends.
    RawConnection d(iPort);
    d.send(kPing);
    EXPECT_EQ(d.readReply(300ms), "");
    slow[0].send("cde");
    EXPECT_NE(slow[0].readReply(), "");
    EXPECT_TRUE(isPingReply(d.readReply()));
    EXPECT_EQ(MSNetwork::getHandlerCount(), 3);
}

TEST_F(NetworkTest, IdleHandlersAboveTheMinimumAreRetiredOneAtATime) {
    start(1, 3);
    {
        RawConnection a(iPort);
        a.send(kPing);
        ASSERT_TRUE(isPingReply(a.readReply()));
        ASSERT_TRUE(waitUntil([] { return MSNetwork::getHandlerCount() == 2; }));
    }
    // a has gone: its handler waits for the turn the other one holds.
    ASSERT_TRUE(waitUntil([] { return MSNetwork::getListenerCount() == 2; }));
    EXPECT_FALSE(MSNetwork::killListener());  // both were active just now

    {
        std::lock_guard<CSLock> hold(MSNetwork::iHandlerList.iLock);
        for (CSObject* obj = MSNetwork::iHandlerList.getFront(); obj; obj = obj->getNextLink())
            static_cast<MSConnectionHandler*>(obj)->setLastUse(time(nullptr) - 100);
    }
    EXPECT_TRUE(MSNetwork::killListener());
    EXPECT_TRUE(waitUntil([] { return MSNetwork::iHandlerList.getThreadCount() == 1; }));
    EXPECT_EQ(MSNetwork::getHandlerCount(), 1);
    EXPECT_FALSE(MSNetwork::killListener());  // at the minimum

    // The handler left is the listener and still serves.
    RawConnection b(iPort);
    b.send(kPing);
    EXPECT_TRUE(isPingReply(b.readReply()));
}

TEST_F(NetworkTest, ShutdownEndsHandlersAndClosesParkedConnectionsAndThePort) {
    start(2, 2);
    std::vector<RawConnection> parked;
    for (int i = 0; i < 500; i++) {
        parked.emplace_back(iPort);
        parked.back().send(kPing);
        ASSERT_TRUE(isPingReply(parked.back().readReply())) << i;
    }
    RawConnection partial(iPort);  // a head begun and not finished is parked too
    partial.send("GET /ping");
    ASSERT_TRUE(waitUntil([] { return MSNetwork::getParkedCount() == 501; }));
    ASSERT_TRUE(waitUntil([] { return MSNetwork::getListenerCount() == 2; }));
    auto begin = std::chrono::steady_clock::now();
    MSNetwork::shutDown();
    iStarted = false;
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
    for (RawConnection& client : parked) ASSERT_TRUE(client.waitClosed(1s));
    EXPECT_TRUE(partial.waitClosed(1s));
    EXPECT_EQ(MSNetwork::getParkedCount(), 0u);
    EXPECT_EQ(MSNetwork::iHandlerList.getThreadCount(), 0u);
    EXPECT_EQ(MSNetwork::getListenerCount(), 0u);
    EXPECT_FALSE(RawConnection(iPort).connected());
    EXPECT_NE(log().find("Halvora Personal Server no longer published"), std::string::npos);
    // No handler is started once shut down.
    MSNetwork::startConnectionHandler();
    EXPECT_EQ(MSNetwork::iHandlerList.getThreadCount(), 0u);
}

// accept() fails as if the process had run out of file descriptors, from the `failFrom`th call on,
// `failures` times.
class FailAccept : public CSSocketOps {
public:
    FailAccept(int failFrom, int failures) : iFailFrom(failFrom), iFailures(failures) {}
    int os_accept(int fd, struct sockaddr* addr, socklen_t* len) override {
        int call = iCalls.fetch_add(1);
        if (call >= iFailFrom && call < iFailFrom + iFailures) {
            errno = EMFILE;
            return -1;
        }
        return CSSocketOps::os_accept(fd, addr, len);
    }
    const int iFailFrom;
    const int iFailures;
    std::atomic<int> iCalls{0};
};

TEST_F(NetworkTest, HandlerRetriesAfterAFailedAccept) {
    FailAccept ops(0, 1);
    CSSocketOps* previous = CSSocket::setOps(&ops);
    start(1, 1);
    RawConnection a(iPort);
    a.send(kPing);
    std::string reply = a.readReply();
    MSNetwork::shutDown();
    iStarted = false;
    CSSocket::setOps(previous);
    EXPECT_GE(ops.iCalls.load(), 2);
    EXPECT_TRUE(isPingReply(reply)) << reply;
    EXPECT_NE(log().find("Too many open files"), std::string::npos) << log();
}

TEST_F(NetworkTest, WhenDescriptorsRunShortTheLongestParkedConnectionsAreClosedFirst) {
    FailAccept ops(20, 1);
    CSSocketOps* previous = CSSocket::setOps(&ops);
    start(2, 2);
    std::vector<RawConnection> parked;
    for (size_t i = 0; i < 20; i++) {
        parked.emplace_back(iPort);
        parked.back().send(kPing);
        ASSERT_TRUE(isPingReply(parked.back().readReply())) << i;
        ASSERT_TRUE(waitUntil([i] { return MSNetwork::getParkedCount() == i + 1; }));
    }
    RawConnection late(iPort);  // its accept fails: the 16 oldest parked make room
    late.send(kPing);
    std::string reply = late.readReply();
    EXPECT_TRUE(isPingReply(reply)) << reply;
    for (int i = 0; i < 20; i++) {
        SCOPED_TRACE(i);
        if (i < static_cast<int>(MSNetwork::kEvictBatch)) {
            EXPECT_TRUE(parked[i].waitClosed(2s));
        } else {
            parked[i].send(kPing);
            EXPECT_TRUE(isPingReply(parked[i].readReply()));
        }
    }
    EXPECT_NE(log().find("[Note] NetworkHandler"), std::string::npos) << log();
    EXPECT_NE(log().find("Out of file descriptors: closed 16 idle connections"), std::string::npos) << log();
    EXPECT_EQ(log().find("Too many open files"), std::string::npos) << log();
    MSNetwork::shutDown();  // before the calls are restored: no handler may be using them
    iStarted = false;
    CSSocket::setOps(previous);
}

TEST_F(NetworkTest, MimeLookupIgnoresCase) {
    ASSERT_TRUE(writeFile(iDir.file("mime.types"),
                          "# comment html\n"
                          "text/html html htm\n"
                          "\n"
                          "image/png\tPNG\n"
                          "application/x-empty\n"
                          "text/plain txt\n"));
    MSNetwork::loadMimeFileExtensionMapping(iDir.file("mime.types").c_str());
    struct Case {
        const char* extension;
        const char* type;
    };
    for (const Case& c :
         {Case{"html", "text/html"}, Case{"HTML", "text/html"}, Case{"Htm", "text/html"},
          Case{"png", "image/png"}, Case{"txt", "text/plain"}, Case{"application/x-empty", nullptr},
          Case{"comment", nullptr}, Case{"gif", nullptr}}) {
        SCOPED_TRACE(c.extension);
        const char* type = MSNetwork::getMimeType(c.extension);
        if (c.type)
            EXPECT_STREQ(type, c.type);
        else
            EXPECT_EQ(type, nullptr);
    }
    MSNetwork::mimeMapping.reset();
    EXPECT_EQ(MSNetwork::getMimeType("html"), nullptr);
}

TEST_F(NetworkTest, ShippedMimeTableLoads) {
    MSNetwork::loadMimeFileExtensionMapping(HVPS_SOURCE_DIR "/resources/mime.types");
    EXPECT_STREQ(MSNetwork::getMimeType("JPG"), "image/jpeg");
    EXPECT_STREQ(MSNetwork::getMimeType("pdf"), "application/pdf");
    MSNetwork::mimeMapping.reset();
}

TEST_F(NetworkTest, MissingMimeFileIsLoggedAndStopsStartUp) {
    std::string missing = iDir.file("nope.types");
    EXPECT_THROW(MSNetwork::startUp(0, 1, 1, missing.c_str()), CSException);
    EXPECT_NE(log().find("Cannot find MIME/File extension mapping file: '" + missing + "'"),
              std::string::npos);
}

}  // namespace
