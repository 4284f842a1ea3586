#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <future>
#include <string>

#include "CSException.h"
#include "CSSocket.h"
#include "CSThread.h"
#include "HvpsdProcess.h"
#include "TestSupport.h"

using hvps_test::caught;
using hvps_test::TempDir;
using hvps_test::writeFile;

namespace {

// A listening socket, a client connected to it and the accepted server side.
struct Loopback {
    CSRef<CSSocket> listener = CSSocket::newSocket();
    CSRef<CSSocket> client = CSSocket::newSocket();
    CSRef<CSSocket> server = CSSocket::newSocket();
    int port = 0;

    Loopback() {
        for (int attempt = 0; attempt < 5 && !listener->isOpen(); attempt++) {
            port = hvps_test::freeLoopbackPort();
            try {
                listener->publish(nullptr, port);
            } catch (const CSException& e) {
                if (e.getErrorCode() != EADDRINUSE) throw;
            }
        }
        client->open(("127.0.0.1:" + std::to_string(port)).c_str(), 0);
        server->open(listener.get());
    }
};

// Reads from `socket` until `expected` bytes came or the peer ended the stream.
std::string receive(CSSocket* socket, size_t expected) {
    std::string received;
    char buffer[65536];
    socket->setTimeout(5000);
    while (received.size() < expected) {
        size_t n = socket->read(buffer, sizeof(buffer));
        if (n == 0) break;
        received.append(buffer, n);
    }
    return received;
}

// Fault injection: each call can be replaced by a test.
struct FakeOps : CSSocketOps {
    std::function<ssize_t(int, const void*, size_t, int)> send;
    std::function<int(struct pollfd*, nfds_t, int)> poll;
    std::function<ssize_t(int, int, off_t*, size_t)> sendfile;

    ssize_t os_send(int fd, const void* buf, size_t size, int flags) override {
        return send ? send(fd, buf, size, flags) : CSSocketOps::os_send(fd, buf, size, flags);
    }
    int os_poll(struct pollfd* fds, nfds_t count, int timeoutMs) override {
        return poll ? poll(fds, count, timeoutMs) : CSSocketOps::os_poll(fds, count, timeoutMs);
    }
    ssize_t os_sendfile(int outFd, int inFd, off_t* offset, size_t count) override {
        return sendfile ? sendfile(outFd, inFd, offset, count)
                        : CSSocketOps::os_sendfile(outFd, inFd, offset, count);
    }
};

struct OpsGuard {
    explicit OpsGuard(CSSocketOps* ops) { CSSocket::setOps(ops); }
    ~OpsGuard() { CSSocket::setOps(nullptr); }
};

struct SelfGuard {
    CSThread thread{"Worker"};
    SelfGuard() { CSThread::setSelf(&thread); }
    ~SelfGuard() { CSThread::setSelf(nullptr); }
};

}  // namespace

TEST(CSSocketTest, ReceiveTimeoutNamesTimeoutAndPeerAndLeavesTheSocketUsable) {
    Loopback link;
    link.server->setTimeout(200);
    char buffer[16];
    auto start = std::chrono::steady_clock::now();
    auto failure = caught([&] { link.server->read(buffer, sizeof(buffer)); });
    EXPECT_EQ(CS_ERR_RECEIVE_TIMEOUT, failure.code);
    EXPECT_EQ("Receive timeout: 200 ms, on: 127.0.0.1", failure.message);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(200));
    EXPECT_LT(elapsed, std::chrono::seconds(5));

    ASSERT_TRUE(link.server->isOpen());
    link.client->write("ok", 2);
    ASSERT_EQ(2u, link.server->read(buffer, sizeof(buffer)));
    EXPECT_EQ("ok", std::string(buffer, 2));
}

TEST(CSSocketTest, AddressesAreCheckedBeforeConnectingAndARefusalNamesThePeer) {
    auto socket = CSSocket::newSocket();
    const int closedPort = hvps_test::freeLoopbackPort();
    auto refused = caught([&] { socket->open("127.0.0.1", closedPort); });
    EXPECT_NE(std::string::npos, refused.message.find("'127.0.0.1:" + std::to_string(closedPort) + "'"));
    struct Case {
        const char* what;
        std::function<void()> action;
        int code;
    } cases[] = {
        {"publish port 0", [&] { socket->publish(nullptr, 0); }, CS_ERR_UNKNOWN_SERVICE},
        {"connect port 0", [&] { socket->open("127.0.0.1", 0); }, CS_ERR_BAD_ADDRESS},
        {"connect without host", [&] { socket->open(":80", 0); }, CS_ERR_UNKNOWN_HOST},
        {"connect to a closed port", [&] { socket->open("127.0.0.1", closedPort); }, ECONNREFUSED},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.code, caught(c.action).code) << c.what;
        EXPECT_FALSE(socket->isOpen()) << c.what;
    }
}

TEST(CSSocketTest, ShortAndRefusedSendsStillDeliverEveryByteInOrder) {
    Loopback link;
    FakeOps fake;
    int calls = 0;
    fake.send = [&](int fd, const void* buf, size_t size, int flags) -> ssize_t {
        if (++calls % 2 == 0) {
            errno = calls % 4 == 0 ? EINTR : EAGAIN;
            return -1;
        }
        return ::send(fd, buf, std::min<size_t>(size, 3), flags);
    };
    std::string text = "0123456789abcdefghij";
    {
        OpsGuard guard(&fake);
        link.server->write(text.data(), text.size());
    }
    EXPECT_EQ(text, receive(link.client.get(), text.size()));
}

TEST(CSSocketTest, InterruptedWaitRaisesThePendingSignalAndOtherwiseGoesOn) {
    Loopback link;
    SelfGuard self;
    FakeOps fake;
    bool raiseSignal = true;
    int interrupts = 0;
    // An interrupted poll, as when another thread wakes this one with a signal.
    fake.poll = [&](struct pollfd* fds, nfds_t count, int timeoutMs) {
        interrupts++;
        if (raiseSignal) self.thread.setSignalPending(SIGTERM);
        if (interrupts == 3) {
            link.client->write("z", 1);
            return ::poll(fds, count, timeoutMs);
        }
        errno = EINTR;
        return -1;
    };
    OpsGuard guard(&fake);
    char ch;
    EXPECT_EQ(SIGTERM, caught([&] { link.server->read(&ch, 1); }).code);
    EXPECT_EQ(1, interrupts);

    // Without a pending signal an interruption is no error, whatever the socket's mode.
    raiseSignal = false;
    interrupts = 0;
    link.server->setTimeout(0);
    ASSERT_EQ(1u, link.server->read(&ch, 1));
    EXPECT_EQ('z', ch);
    EXPECT_EQ(3, interrupts);
}

TEST(CSSocketTest, BlockingSocketWaitsPastAnyTimeSliceWithoutTimingOut) {
    Loopback link;
    FakeOps fake;
    int waits = 0;
    // Each empty poll stands for a full wait slice that passed without data.
    fake.poll = [&](struct pollfd* fds, nfds_t count, int timeoutMs) {
        if (++waits == 10) link.client->write("y", 1);
        return waits < 10 ? 0 : ::poll(fds, count, timeoutMs);
    };
    OpsGuard guard(&fake);
    char ch = 0;
    ASSERT_EQ(1u, link.server->read(&ch, 1));
    EXPECT_EQ('y', ch);
}

TEST(CSSocketTest, SendFileDeliversTheWindowThroughShortAndRefusedCallsAndStopsAtTheFileEnd) {
    TempDir dir;
    const std::string content = hvps_test::randomBytes(300000, 7);
    const std::string path = dir.path() + "/data";
    ASSERT_TRUE(writeFile(path, content));
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_NE(-1, fd);

    Loopback link;
    FakeOps fake;
    int calls = 0;
    fake.sendfile = [&](int out, int in, off_t* offset, size_t count) -> ssize_t {
        if (++calls % 3 == 0) {
            errno = calls % 2 == 0 ? EINTR : EAGAIN;
            return -1;
        }
        return ::sendfile(out, in, offset, std::min<size_t>(count, 7000));
    };

    struct Case {
        const char* what;
        uint32 timeout;  // 0: the socket is in blocking mode
        uint64 offset;
        uint64 count;
        uint64 sent;
    } cases[] = {
        {"window, non-blocking socket", 1000, 1000, 200000, 200000},
        {"window, blocking socket", 0, 5, 100000, 100000},
        {"beyond the file end", 1000, 299000, 5000, 1000},
        {"at the file end", 1000, 300000, 10, 0},
    };
    OpsGuard guard(&fake);
    for (const auto& c : cases) {
        link.server->setTimeout(c.timeout);
        auto received = std::async(std::launch::async, receive, link.client.get(), c.sent);
        EXPECT_EQ(c.sent, link.server->sendFile(fd, path.c_str(), c.offset, c.count)) << c.what;
        EXPECT_EQ(content.substr(c.offset, c.sent), received.get()) << c.what;
    }
    ::close(fd);
}

TEST(CSSocketTest, SendFileErrorsNameTheFileAndAClosedPeerIsAnErrorNotAProcessSignal) {
    Loopback link;
    // A descriptor that cannot be read is the file's error.
    int pipeFds[2];
    ASSERT_EQ(0, ::pipe(pipeFds));
    ::close(pipeFds[1]);
    auto failure = caught([&] { link.server->sendFile(pipeFds[0], "/some/file", 0, 10); });
    EXPECT_NE(std::string::npos, failure.message.find("/some/file")) << failure.message;
    ::close(pipeFds[0]);

    // A peer that has gone is the socket's error, for a file as for a block; the first sends may
    // still be accepted by the kernel, the reset shows on a later one.
    TempDir dir;
    ASSERT_TRUE(writeFile(dir.path() + "/f", std::string(1 << 20, 'x')));
    int fd = ::open((dir.path() + "/f").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_NE(-1, fd);
    const std::string block(65536, 'x');
    std::function<void(CSSocket*)> sends[] = {
        [&](CSSocket* socket) { socket->sendFile(fd, "/f", 0, 1 << 20); },
        [&](CSSocket* socket) { socket->write(block.data(), block.size()); },
    };
    for (const auto& send : sends) {
        Loopback gone;
        gone.client->close();
        int code = caught([&] {
                       for (int i = 0; i < 100; i++) send(gone.server.get());
                   }).code;
        EXPECT_TRUE(code == EPIPE || code == ECONNRESET) << code;
    }
    ::close(fd);
}
