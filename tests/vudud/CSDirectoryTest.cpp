#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>

#include "CSDirectory.h"
#include "CSException.h"
#include "CSPath.h"
#include "CSSys.h"
#include "TestSupport.h"

using hvps_test::TempDir;
using hvps_test::writeFile;

namespace {

// name -> "file" or "dir", as the directory reports them.
std::map<std::string, std::string> listing(const std::string& folder) {
    std::map<std::string, std::string> entries;
    auto dir = CSDirectory::newDirectory(folder.c_str());
    dir->open();
    for (int i = 0; i < 100 && dir->next(); i++) entries[dir->name()] = dir->isFile() ? "file" : "dir";
    return entries;
}

}  // namespace

TEST(CSDirectoryTest, ListsEntriesWithTheirKindButNotDotEntries) {
    TempDir dir;
    writeFile(dir.file("f"), "abc");
    ::mkdir(dir.file("sub").c_str(), 0755);
    ::symlink(dir.file("sub").c_str(), dir.file("link").c_str());

    std::map<std::string, std::string> expected = {{"f", "file"}, {"sub", "dir"}, {"link", "file"}};
    EXPECT_EQ(expected, listing(dir.path()));
    EXPECT_TRUE(listing(dir.file("sub")).empty());
}

TEST(CSDirectoryTest, FoldersAreRecognisedWhenTheFileSystemGivesNoType) {
    TempDir dir;
    ::mkdir(dir.file("sub").c_str(), 0755);
    writeFile(dir.file("sub/f"), "x");
    writeFile(dir.file("g"), "y");

    struct UntypedOps : CSSysOps {
        struct dirent* os_readdir(DIR* d) override {
            struct dirent* entry = CSSysOps::os_readdir(d);
            if (entry) entry->d_type = DT_UNKNOWN;
            return entry;
        }
    } ops;
    CSSysOps* previous = CSSys::setOps(&ops);
    std::map<std::string, std::string> entries = listing(dir.path());
    // Removing the tree must take the folder with rmdir, not unlink.
    CSPath::newPath(dir.path().c_str())->emptyDir();
    CSSys::setOps(previous);

    std::map<std::string, std::string> expected = {{"g", "file"}, {"sub", "dir"}};
    EXPECT_EQ(expected, entries);
    EXPECT_TRUE(listing(dir.path()).empty());
}
