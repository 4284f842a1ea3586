#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include "FileState_hvps.h"
#include "HVPSClient.h"

namespace {

std::string md5Of(const std::string& data) { return HVPSClient::md5Hex(data.data(), data.size()); }

class FileStateTest : public ::testing::Test {
protected:
    void SetUp() override { initFileState(); }
    void TearDown() override { freeFileState(); }

    // The entry of `path`, unlocked again; its fields are read by this one thread only.
    static HVFileState* entry(const std::string& path, uint64 expectedLength = 0) {
        HVFileState* e = FileStateList::getFileState(CSString::newString(path).get(), expectedLength);
        e->unlock();
        return e;
    }
    static void feed(HVFileState* e, const std::string& data) {
        e->feed(reinterpret_cast<const uint8*>(data.data()), data.size());
    }
    static std::string digest(HVFileState* e) {
        char hex[CSMd5::kHexLen + 1];
        e->getDigestHex(hex);
        return hex;
    }
};

TEST_F(FileStateTest, CachedPathKeepsItsProgressAndTheLeastRecentlyUsedSlotIsReusedForANewPathOrCase) {
    feed(entry("p0", 10), "abc");
    feed(entry("p1", 10), "xyz");
    for (int i = 2; i < 2000; i++) entry("p" + std::to_string(i));
    EXPECT_EQ(FileStateList::count(), 2000u);

    HVFileState* p0 = entry("p0", 99);  // refreshed: now p1 is the least recently used
    EXPECT_EQ(p0->getMD5Offset(), 3u);
    EXPECT_EQ(p0->getExpectedLength(), 10u);

    entry("p2000");
    EXPECT_EQ(FileStateList::count(), 2000u);
    EXPECT_EQ(entry("p0")->getMD5Offset(), 3u);
    HVFileState* p1 = entry("p1", 7);  // taken over by p2000, so made afresh
    EXPECT_EQ(p1->getMD5Offset(), 0u);
    EXPECT_EQ(p1->getExpectedLength(), 7u);
    EXPECT_EQ(digest(p1), md5Of(""));
    EXPECT_EQ(entry("P0")->getMD5Offset(), 0u) << "paths that differ in case are different files";
}

// Under make test-tsan: threads take slots from each other (more paths than slots) while files are
// reported changed; each must get the entry of its own path, with the digest of what it fed.
TEST_F(FileStateTest, ThreadsTakingSlotsFromEachOtherEachGetTheEntryOfTheirPath) {
    std::barrier start(4);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int i = 0; i < 3000; i++) {
                const std::string path = std::to_string(t) + "/" + std::to_string(i % 700);
                HVFileState* e = FileStateList::getFileState(CSString::newString(path).get(), 0);
                e->resetMD5();
                feed(e, path);
                if (e->getPath()->view() != path || digest(e) != md5Of(path)) wrong++;
                e->unlock();
                if (i % 7 == 0) FileStateList::fileChanged(CSString::newString(path).get(), 0);
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(FileStateList::count(), 2000u);
}

}  // namespace
