#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

#include "CSException.h"
#include "CSObject.h"
#include "Restore_hvps.h"
#include "Space_hvps.h"
#include "SyscallLog.h"
#include "TestSupport.h"
#include "config_hvps.h"

using hvps_test::readFile;
using hvps_test::TempDir;
using hvps_test::writeFile;

namespace {

class RestoreStateTest : public ::testing::Test {
protected:
    void SetUp() override {
        hvps_system_parameters.iRepositoryPath = iRepo.path();
        hvps_system_parameters.iRestoreState = RESTORE_STATE_NONE;
        hvps_system_parameters.iRestoreID = 0;
    }
    void TearDown() override { freeSpaces(); }

    std::string log() { return iLog.text(); }
    bool exists(const std::string& name) const { return std::filesystem::exists(iRepo.file(name)); }
    void makeFile(const std::string& name, size_t size) {
        std::filesystem::create_directories(std::filesystem::path(iRepo.file(name)).parent_path());
        writeFile(iRepo.file(name), std::string(size, 'r'));
    }
    // A table with spaces 1, 2 and 3 (keys are irrelevant here).
    void makeSpaces() {
        writeFile(iRepo.file("space-db"), "");
        loadSpaces();
        uint32 id;
        char hexKey[HVSpace::kHexKeySize];
        for (int i = 0; i < 3; i++) createSpace("s", &id, hexKey);
    }

    TempDir iRepo;
    hvps_test::CapturedLog iLog;
};

TEST_F(RestoreStateTest, EachStartingSituationGivesItsStateIdAndMessage) {
    const uint64 now = getNextRestoreID();
    enum Id { One, FromFile, New };
    struct Case {
        const char* name;
        bool marker;
        const char* file;  // null: no restore-state file
        int32 state;
        Id id;
        const char* message;  // null: none of the restore messages
    };
    const Case cases[] = {
        {"never restored", false, nullptr, RESTORE_STATE_NONE, One, nullptr},
        {"marker, no file", true, nullptr, RESTORE_STATE_IN_PROGRESS, New, nullptr},
        {"online", false, "id=77\nstate=online\n", RESTORE_STATE_ONLINE, FromFile, nullptr},
        {"online, marker", true, "id=77\nstate=online\n", RESTORE_STATE_IN_PROGRESS, New, nullptr},
        {"in progress", false, "id=77\nstate=in-progress\n", RESTORE_STATE_IN_PROGRESS, FromFile,
         "Restore was done and recovery was in progress, continuing process\n"},
        {"in progress, marker", true, "id=77\nstate=in-progress\n", RESTORE_STATE_IN_PROGRESS, FromFile,
         "Restore was done and recovery was in progress, continuing process\n"},
        {"state word in other case", false, "id=77\nstate=Online\n", RESTORE_STATE_ONLINE, New,
         ", is corrupted\n"},
        {"id zero", false, "id=0\nstate=online\n", RESTORE_STATE_ONLINE, New, ", is corrupted\n"},
        {"no state", false, "id=77\n", RESTORE_STATE_ONLINE, New, ", is corrupted\n"},
        {"empty", false, "", RESTORE_STATE_ONLINE, New, ", is empty\n"},
        {"empty, marker", true, "", RESTORE_STATE_IN_PROGRESS, New, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(iRepo.file("restore-state"));
        if (c.file) writeFile(iRepo.file("restore-state"), c.file);
        if (c.marker) writeFile(iRepo.file("restored"), "x");
        hvps_system_parameters.iRestoreState = RESTORE_STATE_NONE;
        size_t logStart = log().size();

        loadAndSetRestoreState();

        EXPECT_EQ(hvps_system_parameters.iRestoreState, c.state);
        uint64 id = hvps_system_parameters.iRestoreID;
        if (c.id == New) {
            EXPECT_NE(id, 77u);
            EXPECT_GE(id, now);
        } else {
            EXPECT_EQ(id, c.id == One ? 1u : 77u);
        }
        EXPECT_FALSE(exists("restored"));
        if (c.state == RESTORE_STATE_NONE) {
            EXPECT_FALSE(exists("restore-state"));
        } else {
            EXPECT_EQ(readFile(iRepo.file("restore-state")),
                      "id=" + std::to_string(id) + "\nstate=" +
                          (c.state == RESTORE_STATE_IN_PROGRESS ? "in-progress" : "online") + "\n");
        }

        std::string written = log().substr(logStart);
        if (c.message) {
            EXPECT_NE(written.find(c.message), std::string::npos) << written;
        } else {
            EXPECT_EQ(written.find("restore state file"), std::string::npos) << written;
            EXPECT_EQ(written.find("continuing process"), std::string::npos) << written;
        }
    }
}

TEST_F(RestoreStateTest, SaveFlushesTheNewFileBeforeItReplacesTheOldOneAndAFailedFlushKeepsTheOldOne) {
    writeFile(iRepo.file("restore-state"), "id=5\nstate=in-progress\n");
    hvps_system_parameters.iRestoreState = RESTORE_STATE_ONLINE;
    hvps_system_parameters.iRestoreID = 5;
    std::string folder = std::filesystem::path(iRepo.path()).filename().string();
    {
        hvps_test::SyscallLog log;
        saveRestoreState();
        EXPECT_EQ(log.calls, (std::vector<std::string>{
                                 "write restore-state.NEW_VERSION", "fsync restore-state.NEW_VERSION",
                                 "rename restore-state.NEW_VERSION restore-state", "fsync " + folder}));
    }
    EXPECT_EQ(readFile(iRepo.file("restore-state")), "id=5\nstate=online\n");

    hvps_system_parameters.iRestoreState = RESTORE_STATE_IN_PROGRESS;
    hvps_test::SyscallLog failing;
    failing.failFsync = true;
    EXPECT_THROW(saveRestoreState(), CSException);
    EXPECT_EQ(readFile(iRepo.file("restore-state")), "id=5\nstate=online\n");
}

TEST_F(RestoreStateTest, RestoreIdsCountSecondsFromFebruary2010AndRefuseAnEarlierClock) {
    EXPECT_EQ(restoreIDForTime(1264982400 + 86400), 86400u);
    hvps_test::Caught e = hvps_test::caught([] { restoreIDForTime(1264982399); });
    EXPECT_EQ(e.code, CS_ERR_GENERIC_ERROR);
    EXPECT_EQ(e.message, "Recovery cannot work, current time in the past\n");
}

TEST_F(RestoreStateTest, SpaceStateComesFromTheProtocolLogs) {
    makeSpaces();
    hvps_system_parameters.iRestoreID = 900;
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, size_t>> logs;  // file name in protolog, size
        uint32 lastLog;
        uint64 offset;
        bool protolog = true;  // false: no protolog folder, nothing to save
    };
    const Case cases[] = {
        {"numbered logs and last.log", {{"1.log", 100}, {"2.log", 200}, {"last.log", 500}}, 3, 500},
        {"numbers compare as numbers",
         {{"9.log", 90}, {"10.log", 100}, {"x.log", 5}, {"notes.txt", 7}},
         10,
         100},
        {"last.log only", {{"last.log", 42}}, 0, 42},
        {"no protolog folder", {}, 0, 0, false},
        {"empty protolog", {}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(iRepo.file("1"));
        if (c.protolog) std::filesystem::create_directories(iRepo.file("1/protolog"));
        for (const auto& [name, size] : c.logs) makeFile("1/protolog/" + name, size);
        CSRef<HVSpace> space = findSpace(1);
        EXPECT_EQ(setCurrentSpaceRestoreState(space.get()), c.protolog);
        EXPECT_EQ(space->getRestoreID(), 900u);
        EXPECT_EQ(space->getLastLog(), c.lastLog);
        EXPECT_EQ(space->getLogOffset(), c.offset);
    }
}

TEST_F(RestoreStateTest, SpaceStateIsReadFromRStateOnlyWhileUnknown) {
    makeSpaces();
    hvps_system_parameters.iRestoreID = 900;
    struct Case {
        const char* name;
        const char* rstate;
        uint64 restoreID;
        uint32 lastLog;
        uint64 offset;
    };
    const Case cases[] = {
        {"complete", "RID=5\nLL=3\nLOFFS=500\n", 5, 3, 500},
        {"zero restore id drops the log number", "RID=0\nLL=3\nLOFFS=500\n", 0, 0, 500},
        {"garbage after the values", "RID=12abc LL=4x\nLOFFS=9", 12, 4, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        freeSpaces();
        loadSpaces();
        makeFile("1/r-state", 0);
        writeFile(iRepo.file("1/r-state"), c.rstate);
        CSRef<HVSpace> space = findSpace(1);
        readSpaceRestoreState(space.get());
        EXPECT_EQ(space->getRestoreID(), c.restoreID);
        EXPECT_EQ(space->getLastLog(), c.lastLog);
        EXPECT_EQ(space->getLogOffset(), c.offset);
    }

    // Once known, the fields stay what they are, whatever the file says.
    CSRef<HVSpace> space = findSpace(1);
    space->setRestoreState(44, 1, 2);
    writeFile(iRepo.file("1/r-state"), "RID=5\nLL=3\nLOFFS=500\n");
    readSpaceRestoreState(space.get());
    EXPECT_EQ(space->getRestoreID(), 44u);
    // Without r-state it is computed and written: see the recovery test.
}

TEST_F(RestoreStateTest, RecoveryRecordsEverySpaceAndGoesOnlineAndAnInterruptedOneKeepsFinishedSpaces) {
    makeSpaces();
    makeFile("1/protolog/last.log", 10);
    makeFile("2/protolog/last.log", 20);
    // Space 3 has no protolog. The restore is announced within the second of the online ID: the
    // new ID must still differ.
    const uint64 online = getNextRestoreID();
    writeFile(iRepo.file("restore-state"), "id=" + std::to_string(online) + "\nstate=online\n");
    writeFile(iRepo.file("restored"), "");

    loadAndSetRestoreState();
    ASSERT_EQ(hvps_system_parameters.iRestoreState, RESTORE_STATE_IN_PROGRESS);
    const uint64 id = hvps_system_parameters.iRestoreID;
    EXPECT_GT(id, online);
    recoverSpaces();

    const std::string rid = "RID=" + std::to_string(id) + "\n";
    EXPECT_EQ(readFile(iRepo.file("1/r-state")), rid + "LL=0\nLOFFS=10\n");
    EXPECT_EQ(readFile(iRepo.file("2/r-state")), rid + "LL=0\nLOFFS=20\n");
    EXPECT_FALSE(exists("3"));
    EXPECT_EQ(findSpace(3)->getRestoreID(), id);
    EXPECT_EQ(hvps_system_parameters.iRestoreState, RESTORE_STATE_ONLINE);
    EXPECT_EQ(readFile(iRepo.file("restore-state")), "id=" + std::to_string(id) + "\nstate=online\n");
    EXPECT_NE(log().find("Restore ID = " + std::to_string(id) + ", recovery in progress for 3 spaces...\n"),
              std::string::npos);
    EXPECT_NE(log().find("Recovery done\n"), std::string::npos);

    // Stopped during a recovery: space 1 was done (its r-state carries the current ID), space 2 not.
    writeFile(iRepo.file("restore-state"), "id=600\nstate=in-progress\n");
    writeFile(iRepo.file("1/r-state"), "RID=600\nLL=7\nLOFFS=1\n");
    writeFile(iRepo.file("2/r-state"), "RID=300\nLL=7\nLOFFS=1\n");
    freeSpaces();
    loadSpaces();
    loadAndSetRestoreState();
    ASSERT_EQ(hvps_system_parameters.iRestoreID, 600u);
    recoverSpaces();

    EXPECT_EQ(readFile(iRepo.file("1/r-state")), "RID=600\nLL=7\nLOFFS=1\n");
    EXPECT_EQ(readFile(iRepo.file("2/r-state")), "RID=600\nLL=0\nLOFFS=20\n");
    EXPECT_EQ(readFile(iRepo.file("restore-state")), "id=600\nstate=online\n");
}

}  // namespace
