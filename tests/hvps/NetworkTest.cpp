// The listener and the handler pool in this process, with clients on loopback sockets; and the
// MIME table.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <set>
#include <string>
#include <vector>

#include "CSException.h"
#include "CSSocket.h"
#include "CSThread.h"
#include "ConnectionHandler_hvps.h"
#include "HvpsdProcess.h"
#include "Network_hvps.h"
#include "RawConnection.h"
#include "ServerProbe.h"
#include "TestSupport.h"
#include "config_hvps.h"

using namespace hvps_test;

namespace {

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
        iPort = freeLoopbackPort();
        MSNetwork::startUp(iPort, minimum, maximum, nullptr);
        iStarted = true;
        MSNetwork::startNetwork();
    }

    std::string log() { return iLog.text(); }

    TempDir iDir;
    CapturedLog iLog;
    int iPort = 0;
    bool iStarted = false;
};

TEST_F(NetworkTest, PoolGrowsOneHandlerPerRequestInProgressUpToTheMaximum) {
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
    // Nobody listens: a fourth client waits until a request ends.
    RawConnection d(iPort);
    d.send(kPingRequest);
    EXPECT_EQ(d.readReply(300ms), "");
    slow[0].send("cde");
    EXPECT_NE(slow[0].readReply(), "");
    EXPECT_TRUE(isPing(d.readReply()));
    EXPECT_EQ(MSNetwork::getHandlerCount(), 3);
}

TEST_F(NetworkTest, IdleHandlersAboveTheMinimumAreRetiredOneAtATime) {
    start(1, 3);
    {
        RawConnection a(iPort);
        a.send(kPingRequest);
        ASSERT_TRUE(isPing(a.readReply()));
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
    b.send(kPingRequest);
    EXPECT_TRUE(isPing(b.readReply()));
}

TEST_F(NetworkTest, ShutdownEndsHandlersAndClosesParkedConnectionsAndThePort) {
    start(2, 2);
    std::vector<RawConnection> parked;
    for (int i = 0; i < 500; i++) {
        parked.emplace_back(iPort);
        parked.back().send(kPingRequest);
        ASSERT_TRUE(isPing(parked.back().readReply())) << i;
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

// accept() fails as if the process had run out of file descriptors on the calls numbered in `failing`
// (counted from 0).
class FailAccept : public CSSocketOps {
public:
    explicit FailAccept(std::set<int> failing) : iFailing(std::move(failing)) {}
    int os_accept(int fd, struct sockaddr* addr, socklen_t* len) override {
        if (iFailing.count(iCalls.fetch_add(1))) {
            errno = EMFILE;
            return -1;
        }
        return CSSocketOps::os_accept(fd, addr, len);
    }
    const std::set<int> iFailing;
    std::atomic<int> iCalls{0};
};

// With nothing parked, a failed accept is logged and retried; with connections parked, the 16 that
// have waited longest are closed instead and the newer ones are still served.
TEST_F(NetworkTest, WhenDescriptorsRunShortTheLongestParkedConnectionsAreClosedFirst) {
    FailAccept ops({0, 21});
    CSSocketOps* previous = CSSocket::setOps(&ops);
    start(2, 2);
    std::vector<RawConnection> parked;
    for (size_t i = 0; i < 20; i++) {
        parked.emplace_back(iPort);
        parked.back().send(kPingRequest);
        ASSERT_TRUE(isPing(parked.back().readReply())) << i;
        ASSERT_TRUE(waitUntil([i] { return MSNetwork::getParkedCount() == i + 1; }));
    }
    EXPECT_EQ(countOccurrences(log(), "Too many open files"), 1) << log();
    RawConnection late(iPort);  // its accept fails: the 16 oldest parked make room
    late.send(kPingRequest);
    std::string reply = late.readReply();
    EXPECT_TRUE(isPing(reply)) << reply;
    for (int i = 0; i < 20; i++) {
        SCOPED_TRACE(i);
        if (i < static_cast<int>(MSNetwork::kEvictBatch)) {
            EXPECT_TRUE(parked[i].waitClosed(2s));
        } else {
            parked[i].send(kPingRequest);
            EXPECT_TRUE(isPing(parked[i].readReply()));
        }
    }
    EXPECT_NE(log().find("[Note] NetworkHandler"), std::string::npos) << log();
    EXPECT_NE(log().find("Out of file descriptors: closed 16 idle connections"), std::string::npos) << log();
    EXPECT_EQ(countOccurrences(log(), "Too many open files"), 1) << log();
    MSNetwork::shutDown();  // before the calls are restored: no handler may be using them
    iStarted = false;
    CSSocket::setOps(previous);
}

TEST_F(NetworkTest, MimeLookupIgnoresCaseAndTheShippedTableLoads) {
    ASSERT_TRUE(writeFile(iDir.file("mime.types"),
                          "# comment html\n"
                          "text/html html htm\n"
                          "\n"
                          "image/png\tPNG\n"
                          "application/x-empty\n"
                          "text/plain txt\n"));
    MSNetwork::loadMimeFileExtensionMapping(iDir.file("mime.types").c_str());
    const std::pair<const char*, const char*> cases[] = {
        {"html", "text/html"}, {"HTML", "text/html"}, {"Htm", "text/html"},
        {"png", "image/png"},  {"txt", "text/plain"}, {"application/x-empty", nullptr},
        {"comment", nullptr},  {"gif", nullptr},
    };
    for (const auto& [extension, type] : cases) {
        const char* found = MSNetwork::getMimeType(extension);
        EXPECT_EQ(std::string(found ? found : "none"), type ? type : "none") << extension;
    }

    MSNetwork::loadMimeFileExtensionMapping(HVPS_SOURCE_DIR "/resources/mime.types");
    EXPECT_STREQ(MSNetwork::getMimeType("JPG"), "image/jpeg");
    EXPECT_STREQ(MSNetwork::getMimeType("pdf"), "application/pdf");
    MSNetwork::mimeMapping.reset();
    EXPECT_EQ(MSNetwork::getMimeType("html"), nullptr);
}

TEST_F(NetworkTest, MissingMimeFileIsLoggedAndStopsStartUp) {
    std::string missing = iDir.file("nope.types");
    EXPECT_THROW(MSNetwork::startUp(0, 1, 1, missing.c_str()), CSException);
    EXPECT_NE(log().find("Cannot find MIME/File extension mapping file: '" + missing + "'"),
              std::string::npos);
}

}  // namespace
