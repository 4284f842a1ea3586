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

#include "CSException.h"
#include "CSLog.h"
#include "CSSocket.h"
#include "CSThread.h"
#include "ConnectionHandler_hvps.h"
#include "HvpsdProcess.h"
#include "Network_hvps.h"
#include "TestSupport.h"
#include "config_hvps.h"

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

// A raw TCP client on 127.0.0.1.
class Client {
public:
    explicit Client(int port) {
        iFd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        iConnected = connect(iFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    ~Client() { hangUp(); }
    void hangUp() {
        if (iFd >= 0) ::close(iFd);
        iFd = -1;
    }
    bool connected() const { return iConnected; }
    void send(const std::string& bytes) {
        ASSERT_EQ(::send(iFd, bytes.data(), bytes.size(), MSG_NOSIGNAL), (ssize_t)bytes.size());
    }
    // Whatever arrives within `timeout` after the first byte, up to the end of one reply head and
    // its Content-Length bytes; empty when nothing arrives.
    std::string readReply(std::chrono::milliseconds timeout = 10s) {
        std::string data;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            size_t head = data.find("\r\n\r\n");
            if (head != std::string::npos) {
                size_t cl = data.find("Content-Length: ");
                size_t length = cl == std::string::npos ? 0 : std::stoul(data.substr(cl + 16));
                if (data.size() >= head + 4 + length) return data;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return data;
            pollfd entry{iFd, POLLIN, 0};
            if (poll(&entry, 1, static_cast<int>(left.count())) <= 0) return data;
            char buf[4096];
            ssize_t n = recv(iFd, buf, sizeof(buf), 0);
            if (n <= 0) return data;
            data.append(buf, static_cast<size_t>(n));
        }
    }

private:
    int iFd = -1;
    bool iConnected = false;
};

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
        iLog = fopen(iDir.file("log.txt").c_str(), "w+");
        CSL.setStream(iLog);
    }
    void TearDown() override {
        if (iStarted) MSNetwork::shutDown();
        CSL.setStream(stdout);
        fclose(iLog);
    }

    void start(uint32 minimum, uint32 maximum) {
        iPort = hvps_test::freeLoopbackPort();
        MSNetwork::startUp(iPort, minimum, maximum, nullptr);
        iStarted = true;
        MSNetwork::startNetwork();
    }

    std::string log() const {
        fflush(iLog);
        return readFile(iDir.file("log.txt"));
    }

    TempDir iDir;
    FILE* iLog = nullptr;
    int iPort = 0;
    bool iStarted = false;
};

TEST_F(NetworkTest, PoolWithOneHandlerServesConnectionsOneAfterTheOther) {
    int32 before = MSNetwork::iHandlerID;
    start(1, 1);
    Client a(iPort);
    ASSERT_TRUE(a.connected());
    a.send(kPing);
    EXPECT_TRUE(isPingReply(a.readReply()));

    // The only handler is busy with a's kept-alive connection: b waits in the backlog.
    Client b(iPort);
    ASSERT_TRUE(b.connected());
    b.send(kPing);
    EXPECT_EQ(b.readReply(300ms), "");

    a.send(kPing);  // a is still served on the same connection
    EXPECT_TRUE(isPingReply(a.readReply()));
    a.hangUp();  // the handler moves on to b
    EXPECT_TRUE(isPingReply(b.readReply()));

    EXPECT_EQ(MSNetwork::getHandlerCount(), 1);
    EXPECT_EQ(MSNetwork::iHandlerID, before + 1);
    EXPECT_EQ(handlerNames().size(), 1u);
}

TEST_F(NetworkTest, PoolWithNoHandlersAcceptsNothing) {
    start(0, 0);
    EXPECT_EQ(MSNetwork::getHandlerCount(), 0);
    EXPECT_EQ(MSNetwork::iHandlerList.getThreadCount(), 0u);
    Client a(iPort);  // the kernel completes the connection into the backlog
    a.send(kPing);
    EXPECT_EQ(a.readReply(300ms), "");
    EXPECT_EQ(MSNetwork::getListenerCount(), 0u);
}

TEST_F(NetworkTest, PoolGrowsOneHandlerPerAcceptedConnectionUpToTheMaximum) {
    int32 base = MSNetwork::iHandlerID;
    start(3, 3);
    Client a(iPort), b(iPort), c(iPort);
    for (Client* client : {&a, &b, &c}) {
        client->send(kPing);
        EXPECT_TRUE(isPingReply(client->readReply()));
    }
    EXPECT_EQ(MSNetwork::getHandlerCount(), 3);
    std::set<std::string> expected;
    for (int i = 1; i <= 3; i++) expected.insert("NetworkHandler" + std::to_string(base + i));
    EXPECT_EQ(handlerNames(), expected);
    // All three are serving: nobody listens, a fourth client waits.
    EXPECT_EQ(MSNetwork::getListenerCount(), 0u);
    Client d(iPort);
    d.send(kPing);
    EXPECT_EQ(d.readReply(300ms), "");
}

TEST_F(NetworkTest, IdleHandlersAboveTheMinimumAreRetiredOneAtATime) {
    start(1, 3);
    {
        Client a(iPort);
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
    Client b(iPort);
    b.send(kPing);
    EXPECT_TRUE(isPingReply(b.readReply()));
}

TEST_F(NetworkTest, ShutdownEndsHandlersInAcceptAndOnKeptAliveConnectionsAndClosesThePort) {
    start(2, 2);
    Client a(iPort);
    a.send(kPing);
    ASSERT_TRUE(isPingReply(a.readReply()));
    // One handler serves a's idle connection, the other waits in accept.
    ASSERT_TRUE(waitUntil([] { return MSNetwork::getListenerCount() == 1; }));
    auto begin = std::chrono::steady_clock::now();
    MSNetwork::shutDown();
    iStarted = false;
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
    EXPECT_EQ(MSNetwork::iHandlerList.getThreadCount(), 0u);
    EXPECT_EQ(MSNetwork::getListenerCount(), 0u);
    EXPECT_FALSE(Client(iPort).connected());
    EXPECT_NE(log().find("Halvora Personal Server no longer published"), std::string::npos);
    // No handler is started once shut down.
    MSNetwork::startConnectionHandler();
    EXPECT_EQ(MSNetwork::iHandlerList.getThreadCount(), 0u);
}

// accept() fails once as if the process had run out of file descriptors.
class FailFirstAccept : public CSSocketOps {
public:
    int os_accept(int fd, struct sockaddr* addr, socklen_t* len) override {
        if (iFailures.fetch_add(1) == 0) {
            errno = EMFILE;
            return -1;
        }
        return CSSocketOps::os_accept(fd, addr, len);
    }
    std::atomic<int> iFailures{0};
};

TEST_F(NetworkTest, HandlerRetriesAfterAFailedAccept) {
    FailFirstAccept ops;
    CSSocketOps* previous = CSSocket::setOps(&ops);
    start(1, 1);
    Client a(iPort);
    a.send(kPing);
    std::string reply = a.readReply();
    MSNetwork::shutDown();
    iStarted = false;
    CSSocket::setOps(previous);
    EXPECT_GE(ops.iFailures.load(), 2);
    EXPECT_TRUE(isPingReply(reply)) << reply;
    EXPECT_NE(log().find("Too many open files"), std::string::npos) << log();
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
