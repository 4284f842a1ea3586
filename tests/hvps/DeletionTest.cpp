// Two-stage space deletion: the mark and the pass driven directly over a temporary repository,
// and the start-up pass of the real hvpsd finishing a deletion that an earlier run left behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "CSException.h"
#include "CSLog.h"
#include "Deletion_hvps.h"
#include "DiskUsage_hvps.h"
#include "HvpsdProcess.h"
#include "Space_hvps.h"
#include "TestSupport.h"
#include "config_hvps.h"

using hvps_test::HvpsdProcess;
using hvps_test::readFile;
using hvps_test::TempDir;
using hvps_test::writeFile;
namespace fs = std::filesystem;

namespace {

// Writes a file, making its missing parent directories.
void put(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(path).parent_path());
    ASSERT_TRUE(writeFile(path, content)) << path;
}

// Whether space-db holds a space line (with a key) for `id`; the trailer line has no key.
bool hasSpaceLine(const std::string& spaceDB, uint32 id) {
    const std::string start = "\n" + std::to_string(id) + "\t\t";
    const size_t at = ("\n" + spaceDB).find(start);
    return at != std::string::npos && at + start.size() - 1 < spaceDB.size() &&
           spaceDB[at + start.size() - 1] != '\n';
}

class DeletionTest : public ::testing::Test {
protected:
    void SetUp() override {
        hvps_system_parameters.iRepositoryPath = iRepo.path();
        iLog = fopen(iRepo.file("log.txt").c_str(), "w+");
        CSL.setStream(iLog);
        SystemParameters::setDiskUsage(SystemParameters::currentDiskUsage(), 0);
        SpaceDatabase::spaceDeleted = false;
        uint32 id;
        char hexKey[HVSpace::kHexKeySize];
        for (int i = 0; i < 3; i++) createSpace("space", &id, hexKey);  // ids 1, 2, 3
    }
    void TearDown() override {
        freeSpaces();
        CSL.setStream(stdout);
        fclose(iLog);
    }
    bool inSpaceDB(uint32 id) { return hasSpaceLine(readFile(iRepo.file("space-db")), id); }
    bool exists(const std::string& name) { return fs::exists(iRepo.file(name)); }

    TempDir iRepo;
    FILE* iLog = nullptr;
};

TEST_F(DeletionTest, MarkRenamesTheDirectoryAndSetsTheDeletedBit) {
    fs::create_directories(iRepo.file("1/protolog"));
    EXPECT_TRUE(markSpaceForDeletion(1));
    EXPECT_TRUE(exists("1-TO_DELETE/protolog"));
    EXPECT_FALSE(exists("1"));
    EXPECT_TRUE(SpaceDatabase::get(1)->isDeleted());
    EXPECT_TRUE(SpaceDatabase::spaceDeleted);

    // A space without a directory yet: an empty one is marked.
    EXPECT_FALSE(markSpaceForDeletion(2));
    EXPECT_TRUE(fs::is_empty(iRepo.file("2-TO_DELETE")));

    // A taken target name: error 17 and nothing changes, not even a stray empty directory.
    fs::create_directories(iRepo.file("3-TO_DELETE"));
    try {
        markSpaceForDeletion(3);
        ADD_FAILURE() << "mark onto an existing name succeeded";
    } catch (const CSException& e) {
        EXPECT_EQ(e.getErrorCode(), 17);
    }
    EXPECT_FALSE(exists("3"));
    EXPECT_FALSE(SpaceDatabase::get(3)->isDeleted());
}

TEST_F(DeletionTest, PassRemovesMarkedSpacesWithTheirBytesAndRecordsAndLeavesOtherNamesAlone) {
    put(iRepo.file("1/a.txt"), std::string(700, 'a'));
    put(iRepo.file("1/protolog/last.log"), std::string(300, 'l'));
    put(iRepo.file("2/b.txt"), std::string(50, 'b'));
    SystemParameters::setDiskUsage(0, 1050);
    ASSERT_TRUE(markSpaceForDeletion(1));
    const std::vector<std::string> strangers = {"0-TO_DELETE", "01-TO_DELETE", "2x-TO_DELETE",
                                                "abc-TO_DELETE", "-TO_DELETE"};
    for (const auto& name : strangers) fs::create_directories(iRepo.file(name));
    writeFile(iRepo.file("3-TO_DELETE"), "a file, not a space");

    serviceSpaceDeletion();
    EXPECT_FALSE(SpaceDatabase::spaceDeleted);
    EXPECT_FALSE(exists("1-TO_DELETE"));
    EXPECT_EQ(SystemParameters::currentDiskUsage(), 50u);
    EXPECT_FALSE(SpaceDatabase::get(1));
    EXPECT_FALSE(inSpaceDB(1));
    for (uint32 id : {2u, 3u}) EXPECT_TRUE(SpaceDatabase::get(id) && inSpaceDB(id)) << id;
    for (const auto& name : strangers) EXPECT_TRUE(exists(name)) << name;
    EXPECT_TRUE(exists("3-TO_DELETE") && exists("2/b.txt"));
    EXPECT_FALSE(checkForDeletedSpaces(false));

    // A failing pass asks for a retry.
    fs::create_directories(iRepo.file("2-TO_DELETE"));
    SpaceDatabase::spaceDeleted = true;
    hvps_system_parameters.iRepositoryPath = iRepo.file("missing");
    EXPECT_THROW(serviceSpaceDeletion(), CSException);
    EXPECT_TRUE(SpaceDatabase::spaceDeleted);
    hvps_system_parameters.iRepositoryPath = iRepo.path();
}

TEST(DeletionStartupTest, ServerStoppedBetweenMarkAndPassFinishesTheDeletionAtTheNextStart) {
    TempDir dir;
    HvpsdProcess server(dir.path());
    server.writeConfig(hvps_test::freeLoopbackPort());
    const std::string repo = server.path("data");
    hvps_system_parameters.iRepositoryPath = repo;
    uint32 id;
    char hexKey[HVSpace::kHexKeySize];
    createSpace("kept", &id, hexKey);
    createSpace("deleted", &id, hexKey);
    freeSpaces();
    // What a mark leaves behind when the server stops before its pass.
    put(repo + "/1/a.txt", std::string(40, 'a'));
    put(repo + "/2-TO_DELETE/b.txt", std::string(900, 'b'));
    writeFile(repo + "/disk-usage", "940");

    std::vector<std::string> args;
    if (geteuid() == 0) args.push_back("-r");
    auto launcher = server.launch(args);
    ASSERT_TRUE(launcher && launcher->exitedWith(0)) << server.output() << server.log();
    EXPECT_NE(server.log().find("Found directory: ./data/2-TO_DELETE\n"), std::string::npos) << server.log();
    EXPECT_NE(server.log().find("Deleting space 2 permanently"), std::string::npos);
    EXPECT_FALSE(fs::exists(repo + "/2-TO_DELETE"));
    const std::string spaceDB = readFile(repo + "/space-db");
    EXPECT_FALSE(hasSpaceLine(spaceDB, 2)) << spaceDB;
    EXPECT_TRUE(hasSpaceLine(spaceDB, 1)) << spaceDB;
    // Recounted from the directories rather than taken from the stale file.
    EXPECT_NE(server.log().find("Disk usage: 40 bytes"), std::string::npos) << server.log();
    server.signalServer(SIGTERM);
    EXPECT_TRUE(server.waitForServerExit());
}

}  // namespace
