#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>

#include "FileState_hvps.h"

namespace {

std::string md5Of(const std::string& data) {
    CSMd5 md5;
    md5.md5_append(reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
    return md5.getDigestHex();
}

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

TEST_F(FileStateTest, CachedPathKeepsItsProgressAndTheLeastRecentlyUsedSlotIsReusedForANewPath) {
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
}

TEST_F(FileStateTest, PathsThatDifferOnlyInCaseHaveEntriesOfTheirOwn) {
    feed(entry("1/Log"), "upper");
    HVFileState* lower = entry("1/log");
    EXPECT_EQ(lower->getMD5Offset(), 0u);
    EXPECT_EQ(entry("1/Log")->getMD5Offset(), 5u);
    EXPECT_EQ(FileStateList::count(), 2u);
}

TEST_F(FileStateTest, DigestIsTakenFromACopySoLaterBytesContinueIt) {
    HVFileState* e = entry("f");
    feed(e, "first part");
    EXPECT_EQ(digest(e), md5Of("first part"));
    EXPECT_EQ(digest(e), md5Of("first part"));
    feed(e, ", second part");
    EXPECT_EQ(digest(e), md5Of("first part, second part"));
    e->resetMD5();
    EXPECT_EQ(e->getMD5Offset(), 0u);
    feed(e, "new");
    EXPECT_EQ(digest(e), md5Of("new"));
}

TEST_F(FileStateTest, CheckContinuesOnlyWhereTheDigestedBytesAreUnchanged) {
    struct Case {
        const char* what;
        bool timedOut;
        uint64 start, end;
        uint64 offsetAfter;
    } cases[] = {
        {"append at the digested end", false, 100, 150, 100},
        {"write after the digested end", false, 120, 150, 100},
        {"write inside the digested bytes", false, 50, 150, 0},
        {"repeat of the timed-out upload", true, 0, 100, 100},
        {"other upload after a timeout", true, 0, 90, 0},
    };
    for (const Case& c : cases) {
        HVFileState* e = entry(c.what);
        e->beginCheck(0, 100);
        feed(e, std::string(100, 'a'));
        if (c.timedOut) e->noteTimeout();
        e->beginCheck(c.start, c.end);
        EXPECT_EQ(e->getMD5Offset(), c.offsetAfter) << c.what;
        EXPECT_EQ(e->getExpectedLength(), c.end) << c.what;
    }

    // Unchecked writes: only one that reaches into the digested bytes starts the digest again.
    HVFileState* e = entry("g");
    feed(e, std::string(100, 'a'));
    FileStateList::fileChanged(CSString::newString("g").get(), 100);
    EXPECT_EQ(e->getMD5Offset(), 100u);
    FileStateList::fileChanged(CSString::newString("G").get(), 0);
    EXPECT_EQ(e->getMD5Offset(), 100u);
    FileStateList::fileChanged(CSString::newString("g").get(), 99);
    EXPECT_EQ(e->getMD5Offset(), 0u);
}

}  // namespace
