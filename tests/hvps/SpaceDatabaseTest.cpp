#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "CSException.h"
#include "CSObject.h"
#include "Space_hvps.h"
#include "SyscallLog.h"
#include "TestSupport.h"
#include "config_hvps.h"

using hvps_test::Caught;
using hvps_test::caught;
using hvps_test::readFile;
using hvps_test::TempDir;
using hvps_test::writeFile;

namespace {

// Lines of a text, each without its LF (a text ending in LF has no empty last
// line).
std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

class SpaceDatabaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        hvps_system_parameters.iRepositoryPath = iRepo.path();
        hvps_system_parameters.iStoreSpaceTitles = false;
    }
    void TearDown() override { freeSpaces(); }

    std::string log() { return iLog.text(); }
    std::string db() const { return readFile(iRepo.file("space-db")); }
    void setDB(const std::string& text) { writeFile(iRepo.file("space-db"), text); }
    uint32 create(const char* title, std::string* hexKey = nullptr) {
        uint32 id = 0;
        char key[HVSpace::kHexKeySize] = {};
        createSpace(title, &id, key);
        if (hexKey) *hexKey = key;
        return id;
    }
    void reload() {
        freeSpaces();
        loadSpaces();
    }
    // A valid space line for `id` with the given title, taken from a saved table.
    std::string validLine(uint32 id) {
        setDB(std::to_string(id - 1) + "\t\t\n");
        loadSpaces();
        create("");
        std::string line = lines(db()).at(0) + "\n";
        freeSpaces();
        return line;
    }

    TempDir iRepo;
    hvps_test::CapturedLog iLog;
};

TEST_F(SpaceDatabaseTest, RoundTripKeepsIdsKeysAndOrderAndTitlesOnlyWhenAskedWithoutSplittingALine) {
    hvps_system_parameters.iStoreSpaceTitles = true;
    setDB("");
    loadSpaces();
    const std::string titles[] = {"a\tb\rc\nd", "space 1", "space 2"};
    std::string keys[3];
    for (int i = 0; i < 3; i++) create(titles[i].c_str(), &keys[i]);
    // A line "<id> TAB <title> TAB <encrypted key: 60 hex digits>" per space,
    // then a trailer with the highest id.
    std::vector<std::string> text = lines(db());
    ASSERT_EQ(text.size(), 4u);
    EXPECT_EQ(text[0].substr(0, 10), "1\ta b c d\t");
    EXPECT_EQ(text[0].size(), 10 + 60u);
    EXPECT_EQ(text[0].find_first_not_of("0123456789ABCDEF", 10), std::string::npos);
    EXPECT_EQ(text[3], "3\t\t");
    EXPECT_EQ(db().back(), '\n');
    reload();
    ASSERT_EQ(SpaceDatabase::getSpaceCount(), 3u);
    for (uint32 i = 0; i < 3; i++) {
        CSRef<HVSpace> space = SpaceDatabase::enumSpaces(i);
        ASSERT_TRUE(space);
        EXPECT_EQ(space->getSpaceID(), i + 1);
        EXPECT_EQ(space->getTitle(), i == 0 ? "a b c d" : titles[i]);
        char hex[HVSpace::kHexKeySize];
        space->getHexKey(hex);
        EXPECT_EQ(hex, keys[i]);
    }
    EXPECT_FALSE(SpaceDatabase::enumSpaces(3));

    // Titles present in the file are dropped at the next save without titles.
    hvps_system_parameters.iStoreSpaceTitles = false;
    create("fourth");
    for (const std::string& line : lines(db())) EXPECT_EQ(line.find("\t\t"), line.find('\t')) << line;
    reload();
    EXPECT_EQ(findSpace(1)->getTitle(), "");
    EXPECT_EQ(findSpace(4)->getTitle(), "");
}

TEST_F(SpaceDatabaseTest, IdsAreNeverReused) {
    setDB("9\t\t\n");
    loadSpaces();
    EXPECT_EQ(create("a"), 10u);
    EXPECT_EQ(create("b"), 11u);
    SpaceDatabase::deleteSpace(11);
    EXPECT_FALSE(findSpace(11));
    SpaceDatabase::deleteSpace(42);  // unknown: nothing happens
    reload();
    EXPECT_EQ(SpaceDatabase::getSpaceCount(), 1u);
    EXPECT_EQ(create("c"), 12u);
}

TEST_F(SpaceDatabaseTest, SpaceAndTrailerLinesAreReadWithAnyLineEndAndTheHighestIdCounts) {
    std::string line3 = validLine(3);
    std::string line7 = validLine(7);
    // CR LF and CR line ends, a blank line, trailers and a last line without line
    // end are all read.
    setDB("20\t\t\r\n" + line3.substr(0, line3.size() - 1) + "\r" + "\n" + "12\t\t\r\n" +
          line7.substr(0, line7.size() - 1));
    loadSpaces();
    EXPECT_EQ(SpaceDatabase::getSpaceCount(), 2u);
    EXPECT_TRUE(findSpace(3));
    EXPECT_TRUE(findSpace(7));
    EXPECT_EQ(SpaceDatabase::getMaxSpaceID(), 20u);
}

TEST_F(SpaceDatabaseTest, NewIdsStartAboveTheHighestSpaceFolderOfTheRepository) {
    setDB("4\t\t\n");
    // Only exact "<id>" and "<id>-TO_DELETE" names count, whatever their kind.
    for (const char* name : {"2", "7-TO_DELETE", "010", "12x", "12-TO_DELETE-x", "99999999999"})
        std::filesystem::create_directory(iRepo.file(name));
    writeFile(iRepo.file("9"), "a file where a space folder would go");
    loadSpaces();
    EXPECT_EQ(create("a"), 10u);
    EXPECT_NE(log().find(" [Warning] Space folders up to id 9 exist, above the "
                         "highest id of the space "
                         "database (4): new spaces get ids above 9\n"),
              std::string::npos)
        << log();
}

TEST_F(SpaceDatabaseTest, BadFilesStopTheLoadWithTheirErrors) {
    std::string line3 = validLine(3);
    std::string key = line3.substr(3, 60);
    std::string corrupted = key;
    corrupted[40] = corrupted[40] == 'A' ? 'B' : 'A';
    const std::string damaged = "Space database " + iRepo.file("space-db") + " is damaged at line ";
    const std::string notDecimal = damaged + "1: the space id is not a decimal number";
    struct Case {
        std::string content;
        std::string message;
        int code = CS_ERR_GENERIC_ERROR;
    };
    const Case cases[] = {
        {hvps_test::randomBytes(4096, 13), notDecimal},
        {line3 + "5\n", damaged + "2: a line has fewer than 3 fields"},
        {"20\ttitle\t\n", damaged + "1: a space line has no key"},
        {"+3\t\t" + key + "\n", notDecimal},
        {"0\t\t" + key + "\n", damaged + "1: space id 0"},
        {"3\t\t" + key + "\textra\n", "Too many fields in space database: " + iRepo.file("space-db")},
        {"3\t\t" + corrupted + "\n", "AES decode error- curruption detected", -25104},
        {"3\t\tABCD\n", "AES decode error- minimum encrypted message length is 18 bytes", -25102},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        setDB(c.content);
        Caught e = caught([] { loadSpaces(); });
        EXPECT_EQ(e.code, c.code);
        EXPECT_EQ(e.message, c.message);
        EXPECT_EQ(SpaceDatabase::getSpaceCount(), 0u);
        freeSpaces();
    }
    EXPECT_NE(log().find(" [Error] An error occurred while decypting space key in the\n"), std::string::npos);
}

TEST_F(SpaceDatabaseTest, MissingFileIsExplainedInTheLogAndFails) {
    Caught e = caught([] { loadSpaces(); });
    EXPECT_EQ(e.code, ENOENT);
    EXPECT_NE(log().find("Cannot find Space Database file: '" + iRepo.file("space-db") + "'\n"),
              std::string::npos);
}

TEST_F(SpaceDatabaseTest, LoadRepairsBothKindsOfInterruptedSave) {
    std::string line3 = validLine(3);
    std::string line7 = validLine(7);

    // Both files: the new version may be partial; the old file is loaded.
    setDB(line3);
    writeFile(iRepo.file("space-db.NEW_VERSION"), line7.substr(0, 20));
    loadSpaces();
    EXPECT_TRUE(findSpace(3));
    EXPECT_FALSE(findSpace(7));
    EXPECT_FALSE(std::filesystem::exists(iRepo.file("space-db.NEW_VERSION")));
    freeSpaces();

    // Only the new version: it is complete and takes the place of space-db.
    std::filesystem::remove(iRepo.file("space-db"));
    writeFile(iRepo.file("space-db.NEW_VERSION"), line7);
    loadSpaces();
    EXPECT_TRUE(findSpace(7));
    EXPECT_EQ(db(), line7);
    EXPECT_FALSE(std::filesystem::exists(iRepo.file("space-db.NEW_VERSION")));
}

TEST_F(SpaceDatabaseTest,
       SaveFlushesTheNewVersionBeforeItAtomicallyReplacesTheFileAndAFailedFlushKeepsTheOld) {
    setDB("");
    loadSpaces();
    {
        hvps_test::SyscallLog calls;
        create("a");
        // The data reaches the disk, then one rename replaces space-db (never
        // removed first), then the directory entry reaches the disk.
        EXPECT_EQ(calls.calls, (std::vector<std::string>{
                                   "write space-db.NEW_VERSION", "fsync space-db.NEW_VERSION",
                                   "rename space-db.NEW_VERSION space-db",
                                   "fsync " + std::filesystem::path(iRepo.path()).filename().string()}));
    }
    std::string before = db();
    Caught e;
    {
        hvps_test::SyscallLog failing;
        failing.failFsync = true;
        e = caught([this] { create("b"); });
    }
    EXPECT_EQ(e.code, EIO);
    EXPECT_EQ(db(), before);
    // The table keeps the new space; the next load throws the partial new version
    // away.
    EXPECT_TRUE(findSpace(2));
    reload();
    EXPECT_FALSE(findSpace(2));
    EXPECT_FALSE(std::filesystem::exists(iRepo.file("space-db.NEW_VERSION")));
}

TEST_F(SpaceDatabaseTest, CreationIsRefusedOnceTheLastIdIsUsed) {
    setDB("4294967295\t\t\n");
    loadSpaces();
    std::string before = db();
    Caught e = caught([this] { create("a"); });
    EXPECT_EQ(e.code, CS_ERR_GENERIC_ERROR);
    EXPECT_NE(e.message.find("4294967295"), std::string::npos) << e.message;
    EXPECT_EQ(SpaceDatabase::getSpaceCount(), 0u);
    EXPECT_EQ(db(), before);
}

}  // namespace
