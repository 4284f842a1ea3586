#include <gtest/gtest.h>

#include <barrier>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "CSException.h"
#include "DiskUsage_hvps.h"
#include "TestSupport.h"
#include "config_hvps.h"

using hvps_test::readFile;
using hvps_test::TempDir;
using hvps_test::writeFile;

namespace {

// A repository whose space folders hold 10 + 20 + 5 = 35 bytes, next to repository files of its own
// that must never be counted.
class DiskUsageTest : public ::testing::Test {
protected:
    void SetUp() override {
        hvps_system_parameters.iRepositoryPath = iRepo.path();
        std::filesystem::create_directories(iRepo.file("1/sub"));
        std::filesystem::create_directories(iRepo.file("2"));
        std::filesystem::create_directories(iRepo.file("3"));
        writeFile(iRepo.file("space-db"), std::string(1000, 'x'));
        writeFile(iRepo.file("restore-state"), "id=5\nstate=online\n");
        writeFile(iRepo.file("1/a"), std::string(10, 'a'));
        writeFile(iRepo.file("1/sub/b"), std::string(20, 'b'));
        writeFile(iRepo.file("2/c"), std::string(5, 'c'));
    }

    std::string usageFile() const { return iRepo.file("disk-usage"); }

    TempDir iRepo;
    hvps_test::CapturedLog iLog;  // keeps the load's notes out of the test output
};

TEST_F(DiskUsageTest, LoadTakesTheStoredNumberOrRecalculates) {
    struct Case {
        bool present;
        std::string content;
        uint64 expected;
    } cases[] = {
        {false, "", 35}, {true, "0", 35}, {true, "", 35}, {true, "12345", 12345}, {true, "  12345", 12345}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.present ? "'" + c.content + "'" : "no file");
        std::filesystem::remove(usageFile());
        if (c.present) writeFile(usageFile(), c.content);
        SystemParameters::loadDiskUsage();
        EXPECT_EQ(SystemParameters::currentDiskUsage(), c.expected);
    }
}

TEST_F(DiskUsageTest, AnythingButAPlainNumberStopsTheLoad) {
    for (const char* content : {"12345\n", "12x", "abc", "-5", " ", "99999999999999999999999"}) {
        SCOPED_TRACE(content);
        writeFile(usageFile(), content);
        hvps_test::Caught e = hvps_test::caught([] { SystemParameters::loadDiskUsage(); });
        EXPECT_EQ(e.code, CS_ERR_GENERIC_ERROR);
        EXPECT_EQ(e.message, "Strange value in " + usageFile() + " file: '" + content + "'");
    }
}

TEST_F(DiskUsageTest, AdjustmentsFollowSizeChangesAndThePeriodicSaveWritesOnlyAChangedNonZeroUsage) {
    writeFile(usageFile(), "12345");
    SystemParameters::loadDiskUsage();

    // Unchanged since the load: the file is left alone (a marker shows whether it was rewritten).
    writeFile(usageFile(), "marker");
    SystemParameters::saveDiskUsageIfChanged();
    EXPECT_EQ(readFile(usageFile()), "marker");

    SystemParameters::setDiskUsage(0, 5);
    SystemParameters::saveDiskUsageIfChanged();
    EXPECT_EQ(readFile(usageFile()), "12350");

    writeFile(usageFile(), "marker");
    SystemParameters::saveDiskUsageIfChanged();
    EXPECT_EQ(readFile(usageFile()), "marker");

    // Adjustments follow size changes both ways and never go below zero; a usage of 0 is never
    // written by the periodic save.
    SystemParameters::setDiskUsage(30, 10);
    EXPECT_EQ(SystemParameters::currentDiskUsage(), 12330u);
    SystemParameters::setDiskUsage(20000, 0);
    EXPECT_EQ(SystemParameters::currentDiskUsage(), 0u);
    SystemParameters::saveDiskUsageIfChanged();
    EXPECT_EQ(readFile(usageFile()), "marker");
}

TEST_F(DiskUsageTest, ConcurrentAdjustmentsAreNotLost) {
    writeFile(usageFile(), "1");
    SystemParameters::loadDiskUsage();
    // All threads start adjusting at once, so that their updates overlap in every run.
    std::barrier start(5);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&start] {
            start.arrive_and_wait();
            for (int i = 0; i < 5000; i++) SystemParameters::setDiskUsage(0, 1);
        });
    start.arrive_and_wait();
    for (int i = 0; i < 1000; i++) (void)SystemParameters::currentDiskUsage();
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(SystemParameters::currentDiskUsage(), 20001u);
}

}  // namespace
