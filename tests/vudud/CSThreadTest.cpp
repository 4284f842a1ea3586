#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CSDaemon.h"
#include "CSException.h"
#include "CSThread.h"
#include "ServerProbe.h"
#include "TestSupport.h"

using namespace std::chrono_literals;

using hvps_test::waitUntil;

namespace {

template <class Fn>
std::chrono::milliseconds timed(Fn fn) {
    auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

// A thread body that sleeps until stopped and reports how it ended.
void* sleepUntilStopped(std::atomic<int>* endedBy) {
    try {
        CSThread::getSelf()->sleep(60000);
    } catch (const CSException& e) {
        endedBy->store(e.getErrorCode());
    }
    return nullptr;
}

}  // namespace

TEST(CSThreadTest, PendingSigtermIsNeverReplacedAndOtherSignalsAreNotReplaced) {
    struct Case {
        int first, second, expected;
    } cases[] = {
        {SIGTERM, SIGINT, SIGTERM},
        {SIGINT, SIGTERM, SIGTERM},
        {SIGINT, SIGHUP, SIGINT},
        {0, SIGHUP, SIGHUP},
    };
    for (const auto& c : cases) {
        CSThread thread("T");
        if (c.first) thread.setSignalPending(c.first);
        thread.setSignalPending(c.second);
        EXPECT_EQ(c.expected, thread.getSignalPending()) << c.first << " then " << c.second;
        thread.setNoThrow(true);
        EXPECT_EQ(0, thread.takePendingSignal());
        thread.setNoThrow(false);
        EXPECT_EQ(c.expected, thread.takePendingSignal());
        EXPECT_EQ(0, thread.getSignalPending());
    }
}

TEST(CSThreadTest, StartedThreadIsInItsListUntilItEndsAndJoinReturnsItsResult) {
    CSThreadList list;
    std::atomic<bool> release{false};
    static int result = 42;
    auto thread = CSThread::newThread(
        "Worker",
        [&]() -> void* {
            waitUntil([&] { return release.load(); });
            EXPECT_STREQ("Worker", CSThread::getSelf()->getThreadName());
            return &result;
        },
        &list);
    thread->start();
    EXPECT_EQ(1u, list.getThreadCount());  // start() returns only once the thread is in its list
    EXPECT_TRUE(thread->isInList());
    release = true;
    EXPECT_EQ(&result, thread->join());
    EXPECT_EQ(0u, list.getThreadCount());
    EXPECT_FALSE(thread->isInList());
    EXPECT_EQ(&result, thread->join());  // a second join does not block
}

TEST(CSThreadTest, StopInterruptsABlockingCallWhichSurfacesAsTheSignal) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    std::atomic<int> endedBy{0};
    auto thread = CSThread::newThread(
        "Reader",
        [&]() -> void* {
            char byte;
            try {
                if (read(fds[0], &byte, 1) < 0) CSException::throwOSError(CS_CONTEXT, errno);
            } catch (const CSException& e) {
                endedBy = e.getErrorCode();
            }
            return nullptr;
        },
        nullptr);
    thread->start();
    // The signal may arrive before the read blocks; re-sending covers that window.
    auto elapsed = timed([&] {
        std::thread stopper([&] { thread->stop(); });
        waitUntil([&] {
            if (endedBy) return true;
            thread->signal(SIGTERM);
            return false;
        });
        stopper.join();
    });
    EXPECT_EQ(SIGTERM, endedBy.load());
    EXPECT_LT(elapsed, 5000ms);
    close(fds[0]);
    close(fds[1]);
}

TEST(CSThreadTest, QuitAndStopAllThreadsReachEveryMemberAndStopTheOldestFirst) {
    CSThreadList list;
    std::vector<std::string> order;  // as the threads end: each is joined before the next is stopped
    std::mutex orderLock;
    std::vector<CSRef<CSThread>> threads;
    for (const char* name : {"first", "second", "third"}) {
        threads.push_back(CSThread::newThread(
            name,
            [&, name]() -> void* {
                try {
                    for (;;) CSThread::getSelf()->sleep(60000);  // only a stop ends it
                } catch (const CSException&) {
                }
                std::lock_guard hold(orderLock);
                order.push_back(name);
                return nullptr;
            },
            &list));
        threads.back()->start();
    }
    list.quitAllThreads();
    for (auto& t : threads) EXPECT_TRUE(t->mustQuit());

    list.stopAllThreads();
    EXPECT_EQ((std::vector<std::string>{"first", "second", "third"}), order);
    EXPECT_EQ(0u, list.getThreadCount());
    for (auto& t : threads) EXPECT_FALSE(t->isRunning());
}

// The stop comes right after the start, often before the threads sleep: it must end the sleep at once.
TEST(CSThreadTest, DestroyingAThreadListStopsItsThreadsAndEndsTheirSleepsAtOnce) {
    auto list = std::make_unique<CSThreadList>();
    std::atomic<int> endedA{0}, endedB{0};
    auto a = CSThread::newThread(
        "A", [&] { return sleepUntilStopped(&endedA); }, list.get());
    auto b = CSThread::newThread(
        "B", [&] { return sleepUntilStopped(&endedB); }, list.get());
    a->start();
    b->start(true);  // detached: stopping waits for it to leave the list
    EXPECT_LT(timed([&] { list.reset(); }), 5000ms);
    EXPECT_EQ(SIGTERM, endedA.load());
    EXPECT_EQ(SIGTERM, endedB.load());
    EXPECT_FALSE(a->isRunning());

    CSThread self("Self");
    self.setSignalPending(SIGINT);
    EXPECT_EQ(SIGINT, hvps_test::caught([&] { self.sleep(60000); }).code);
}

namespace {

class CountingDaemon : public CSDaemon {
public:
    using CSDaemon::CSDaemon;
    std::function<bool(int)> work = [](int) { return true; };
    std::atomic<int> cycles{0};
    std::atomic<bool> completed{false};

    bool doWork() override { return work(++cycles); }
    void* completeWork() override {
        completed = true;
        return nullptr;
    }
};

}  // namespace

TEST(CSDaemonTest, DoWorkReturningFalseIsCalledAgainAtOnceAndStopEndsAWaitWithoutTimeOut) {
    auto daemon = cs_new<CountingDaemon>("D", 0);  // waits without time-out between cycles
    daemon->work = [](int n) { return n >= 5; };
    daemon->start();
    EXPECT_TRUE(waitUntil([&] { return daemon->isInWait(); }));
    EXPECT_EQ(5, daemon->cycles.load());
    daemon->wakeup();
    EXPECT_TRUE(waitUntil([&] { return daemon->cycles >= 6 && daemon->isInWait(); }));
    auto elapsed = timed([&] { daemon->stop(); });
    EXPECT_LT(elapsed, 2000ms);
    EXPECT_TRUE(daemon->completed.load());
    EXPECT_FALSE(daemon->isRunning());
}

TEST(CSDaemonTest, ExceptionInDoWorkIsLoggedAndTheDaemonContinues) {
    hvps_test::CapturedLog log;
    auto daemon = cs_new<CountingDaemon>("Worker", 10);
    daemon->work = [](int n) {
        if (n == 1) CSException::throwException(CS_CONTEXT, -25010, "first cycle failed");
        return true;
    };
    daemon->start();
    EXPECT_TRUE(waitUntil([&] { return daemon->cycles >= 3; }));
    daemon->stop();
    std::string text = log.text();
    EXPECT_NE(std::string::npos, text.find(" [Error] Worker: ")) << text;
    EXPECT_NE(std::string::npos, text.find(" first cycle failed\n")) << text;
    EXPECT_EQ(text.find("first cycle failed"), text.rfind("first cycle failed")) << "logged once";
}
