// The upload journal: the note an upload leaves while it runs, and the start-up pass that cuts
// interrupted uploads back and tells whether the stored disk usage can be trusted.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "CSException.h"
#include "TestSupport.h"
#include "UploadJournal_hvps.h"
#include "config_hvps.h"

using hvps_test::readFile;
using hvps_test::TempDir;
using hvps_test::writeFile;
namespace fs = std::filesystem;

namespace {

class UploadJournalTest : public ::testing::Test {
protected:
    void SetUp() override {
        iRepository = iDir.file("data");
        fs::create_directories(iRepository + "/7/dir");
        hvps_system_parameters.iRepositoryPath = iRepository;
    }

    std::string firstLine(const std::string& path) {
        std::string text = readFile(path);
        return text.substr(0, text.find('\n'));
    }

    TempDir iDir;
    std::string iRepository;
    hvps_test::CapturedLog iLog;
};

TEST_F(UploadJournalTest, AnUploadIsNotedWhileItRunsAndClearedWhenItEnds) {
    // Each handler thread has its own journal; a fresh thread opens one under this repository.
    std::thread([&] {
        const std::string journal = iRepository + "/upload-journal-0";
        {
            UploadJournalEntry entry((iRepository + "/7/dir/a.log").c_str(), 1234, 1234, 1234);
            EXPECT_EQ(firstLine(journal), "1234\t7/dir/a.log");
        }
        EXPECT_EQ(firstLine(journal), "");
        {
            UploadJournalEntry entry((iRepository + "/7/b").c_str(), 0, 0, 0);
            EXPECT_EQ(firstLine(journal), "0\t7/b") << "a shorter note must not read as the longer one";
        }
        writeFile(iRepository + "/7/b", "0123456789");
    }).join();
    EXPECT_FALSE(UploadJournal::recover(iRepository)) << "nothing to cut back after ended uploads";
    EXPECT_EQ(readFile(iRepository + "/7/b"), "0123456789");
    EXPECT_FALSE(fs::exists(iRepository + "/upload-journal-0"));
}

TEST_F(UploadJournalTest, StartUpUndoesNotedUploadsAndIgnoresNotesThatNameNoFileOfASpace) {
    fs::create_symlink(iRepository + "/space-db", iRepository + "/7/link");
    fs::create_symlink("7", iRepository + "/9");
    struct Case {
        std::string note;
        std::string file;     // relative to the repository; written with 10 bytes first
        std::string content;  // afterwards
        bool recount;
        std::string kept;  // the kept copy beside the journal
    };
    const Case cases[] = {
        {"4\t7/dir/a.log\n", "7/dir/a.log", "0123", true, ""},
        {"0\t7/b\nleft over", "7/b", "", true, ""},
        {"10\t7/b\n", "7/b", "0123456789", false, ""},  // already that short
        {"20\t7/b\n", "7/b", "0123456789", false, ""},
        {"\n4\t7/b\n", "7/b", "0123456789", false, ""},  // cleared
        {"8@2\t7/b\n", "7/b", "01ab4567", true, "ab"},
        {"10@2\t7/b\n", "7/b", "0123456789", false, ""},  // killed before anything was kept
        {"4\t7/../../outside\n", "../outside", "0123456789", false, ""},
        {"4\t../outside\n", "../outside", "0123456789", false, ""},
        {"0\tspace-db\n", "space-db", "0123456789", false, ""},
        {"0\t7/link\n", "space-db", "0123456789", false, ""},
        {"4\t9/b\n", "7/b", "0123456789", false, ""},                      // the space folder is a link
        {"4\t" + iRepository + "/7/b\n", "7/b", "0123456789", false, ""},  // absolute
        {"4x\t7/b\n", "7/b", "0123456789", false, ""},
        {"4\t7/missing\n", "7/b", "0123456789", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note);
        writeFile(iRepository + "/" + c.file, "0123456789");
        writeFile(iRepository + "/upload-journal-3", c.note);
        if (!c.kept.empty()) writeFile(iRepository + "/upload-journal-3.kept", c.kept);
        EXPECT_EQ(UploadJournal::recover(iRepository), c.recount);
        EXPECT_EQ(readFile(iRepository + "/" + c.file), c.content);
        EXPECT_FALSE(fs::exists(iRepository + "/upload-journal-3"));
        EXPECT_FALSE(fs::exists(iRepository + "/upload-journal-3.kept"));
        UploadJournal::cleanStop(iRepository);
    }
}

}  // namespace
