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

// With the entry types the file system gives and without them (folders are then recognised all the
// same, and removing the tree takes them with rmdir, not unlink).
TEST(CSDirectoryTest, ListsEntriesWithTheirKindButNotDotEntriesWhetherTheFileSystemGivesTheKindOrNot) {
    struct UntypedOps : CSSysOps {
        struct dirent* os_readdir(DIR* d) override {
            struct dirent* entry = CSSysOps::os_readdir(d);
            if (entry) entry->d_type = DT_UNKNOWN;
            return entry;
        }
    } untyped;
    for (CSSysOps* ops : {static_cast<CSSysOps*>(nullptr), static_cast<CSSysOps*>(&untyped)}) {
        TempDir dir;
        writeFile(dir.file("f"), "abc");
        ::mkdir(dir.file("sub").c_str(), 0755);
        writeFile(dir.file("sub/g"), "x");
        ::symlink(dir.file("sub").c_str(), dir.file("link").c_str());

        CSSysOps* previous = CSSys::setOps(ops);
        const auto entries = listing(dir.path());
        const auto inner = listing(dir.file("sub"));
        CSPath::newPath(dir.path().c_str())->emptyDir();
        CSSys::setOps(previous);

        using Listing = std::map<std::string, std::string>;
        EXPECT_EQ((Listing{{"f", "file"}, {"sub", "dir"}, {"link", "file"}}), entries)
            << (ops ? "untyped" : "typed");
        EXPECT_EQ((Listing{{"g", "file"}}), inner);
        EXPECT_TRUE(listing(dir.path()).empty());
    }
}
