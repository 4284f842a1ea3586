// Group commit of flushes: requests for one key that arrive while a flush runs share one later
// flush, and its failure reaches every request it served.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "CSException.h"
#include "CSSyncGroup.h"
#include "TestSupport.h"

namespace {

TEST(CSSyncGroupTest, RequestsArrivingDuringAFlushShareTheNextOneAndAllSeeItsFailure) {
    const std::string key = "/some/folder";
    constexpr int kLate = 5;
    std::atomic<int> flushes{0};
    std::atomic<bool> lateArrived{false};
    // The first flush runs until all late requests wait; it cannot serve them (it may have started
    // before their changes), so exactly one more flush must, and it fails.
    auto flush = [&] {
        if (flushes++ == 0) {
            for (int i = 0; i < 100000 && CSSyncGroup::users(key) < kLate + 1; i++) std::this_thread::yield();
            lateArrived = CSSyncGroup::users(key) == kLate + 1;
            return;
        }
        CSException::throwFileError(CS_CONTEXT, EIO, key.c_str());
    };
    hvps_test::Caught first;
    std::thread leader([&] { first = hvps_test::caught([&] { CSSyncGroup::share(key, flush); }); });
    for (int i = 0; i < 100000 && flushes == 0; i++) std::this_thread::yield();
    std::vector<hvps_test::Caught> late(kLate);
    std::vector<std::thread> threads;
    for (auto& result : late)
        threads.emplace_back([&] { result = hvps_test::caught([&] { CSSyncGroup::share(key, flush); }); });
    leader.join();
    for (auto& t : threads) t.join();

    ASSERT_TRUE(lateArrived);
    EXPECT_EQ(flushes, 2);
    EXPECT_EQ(first.code, 0);
    for (const auto& result : late) EXPECT_EQ(result.code, EIO);
    EXPECT_EQ(CSSyncGroup::users(key), 0);
    // A failure is not remembered beyond the requests it served.
    EXPECT_EQ(hvps_test::caught([&] { CSSyncGroup::share(key, [] {}); }).code, 0);
}

}  // namespace
