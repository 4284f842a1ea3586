#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "CSException.h"
#include "CSFile.h"
#include "CSPath.h"
#include "CSSys.h"
#include "TestSupport.h"

using hvps_test::Caught;
using hvps_test::caught;
using hvps_test::readFile;
using hvps_test::TempDir;
using hvps_test::writeFile;

namespace {

CSRef<CSPath> path(const std::string& text) { return CSPath::newPath(text.c_str()); }

}  // namespace

TEST(CSPathTest, NewPathTrimsTheTextAndResolvesNames) {
    struct Case {
        const char* base;
        const char* name;
        const char* expected;
    } cases[] = {
        {nullptr, "/a/b/", "/a/b"}, {nullptr, "/", "/"},     {"/a/b", "..", "/a"},
        {"/a", "..", "/"},          {"a", "..", ""},         {"/a/b", "../c", "/a/c"},
        {"/a", "./x/", "/a/x"},     {"/a", "/etc/", "/etc"}, {"/a/", "b//c", "/a/b/c"},
        {"/a", "..x", "/a/..x"},
    };
    for (const Case& c : cases) {
        CSRef<CSPath> p = c.base ? CSPath::newPath(c.base, c.name) : CSPath::newPath(c.name);
        EXPECT_STREQ(c.expected, p->getCString()) << (c.base ? c.base : "") << " + " << c.name;
    }
    EXPECT_STREQ("b", CSPath::newPath("/a/b")->getNameCString());
    EXPECT_STREQ("", CSPath::newPath("/")->getNameCString());
    EXPECT_EQ(CS_ERR_ASSERTION, caught([] { CSPath::newPath(static_cast<const char*>(nullptr)); }).code);
}

TEST(CSPathTest, CreatingAFileMakesMissingFoldersWithTheParentsPermissionBitsLessTheUmask) {
    TempDir dir;
    CSFile::newFile(dir.file("x/y/z/f").c_str())->open(CSFile::CREATE);
    EXPECT_TRUE(std::filesystem::exists(dir.file("x/y/z/f")));

    // The open keeps failing with "no such file" after the folders were made: reported, not retried
    // forever.
    struct MissingOps : CSSysOps {
        int opens = 0;
        int os_open(const char*, int, mode_t) override {
            opens++;
            errno = ENOENT;
            return -1;
        }
    } ops;
    CSSysOps* previous = CSSys::setOps(&ops);
    Caught second = caught([&] { CSFile::newFile(dir.file("p/q/f").c_str())->open(CSFile::CREATE); });
    CSSys::setOps(previous);
    EXPECT_EQ(ENOENT, second.code);
    EXPECT_EQ(2, ops.opens);
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("p/q")));

    // A file where a folder should be.
    writeFile(dir.file("plain"), "");
    EXPECT_EQ(ENOTDIR,
              caught([&] { CSFile::newFile(dir.file("plain/sub/f").c_str())->open(CSFile::CREATE); }).code);

    struct Case {
        mode_t umask, parent, child;
    } cases[] = {{022, 0750, 0750}, {022, 0711, 0711}, {022, 0777, 0755}, {077, 0750, 0700}};
    for (const auto& c : cases) {
        std::string parent = dir.file("p" + std::to_string(c.umask) + "-" + std::to_string(c.parent));
        ::mkdir(parent.c_str(), 0700);
        ::chmod(parent.c_str(), c.parent);
        mode_t old = ::umask(c.umask);
        path(parent + "/child")->makeDir();
        ::umask(old);
        struct stat st {};
        ASSERT_EQ(0, ::stat((parent + "/child").c_str(), &st));
        EXPECT_EQ(c.child, st.st_mode & 0777) << parent;
    }
    EXPECT_EQ(EEXIST, caught([&] { path(dir.path())->makeDir(); }).code);
}

TEST(CSPathTest, RenameStaysInTheFolderAndTakesTheNewName) {
    TempDir dir;
    writeFile(dir.file("b"), "b");
    writeFile(dir.file("c"), "c");

    CSRef<CSPath> b = path(dir.file("b"));
    Caught taken = caught([&] { b->rename("c"); });
    EXPECT_EQ(EEXIST, taken.code);
    EXPECT_NE(std::string::npos, taken.message.find(dir.file("c")));
    EXPECT_EQ("c", readFile(dir.file("c")));

    b->rename("d");
    EXPECT_STREQ(dir.file("d").c_str(), b->getCString());
    EXPECT_EQ("b", readFile(dir.file("d")));

    for (const char* bad : {"", ".", "..", "x/y"})
        EXPECT_EQ(EINVAL, caught([&] { b->rename(bad); }).code) << bad;
}

TEST(CSPathTest, ConcurrentRenamesToOneNameLetOnlyOneWin) {
    TempDir dir;
    writeFile(dir.file("s1"), "1");
    writeFile(dir.file("s2"), "2");
    std::string target = dir.file("target");

    // Each existence test of the target waits (bounded) for the other thread to test it too. Without
    // the rename lock both would see it free and the second rename would silently replace the first.
    struct MeetingOps : CSSysOps {
        std::string target;
        std::mutex mutex;
        std::condition_variable arrived;
        int checks = 0;
        int os_access(const char* p, int mode) override {
            int result = CSSysOps::os_access(p, mode);
            if (target == p) {
                std::unique_lock<std::mutex> lock(mutex);
                checks++;
                arrived.notify_all();
                arrived.wait_for(lock, std::chrono::milliseconds(200), [&] { return checks >= 2; });
            }
            return result;
        }
    } ops;
    ops.target = target;
    CSSysOps* previous = CSSys::setOps(&ops);

    int results[2] = {-1, -1};
    std::thread t1([&] { results[0] = caught([&] { path(dir.file("s1"))->rename("target"); }).code; });
    std::thread t2([&] { results[1] = caught([&] { path(dir.file("s2"))->rename("target"); }).code; });
    t1.join();
    t2.join();
    CSSys::setOps(previous);

    EXPECT_EQ(1, (results[0] == 0) + (results[1] == 0));
    EXPECT_EQ(1, (results[0] == EEXIST) + (results[1] == EEXIST));
    EXPECT_TRUE(std::filesystem::exists(dir.file("s1")) != std::filesystem::exists(dir.file("s2")));
}

TEST(CSPathTest, RemovingAFolderTakesItsTreeAndLinksButNeverALinksTargetAndTouchMakesAFile) {
    TempDir dir;
    for (const char* folder : {"a", "a/b", "a/b/c", "a/d", "outside"})
        ::mkdir(dir.file(folder).c_str(), 0755);
    for (const char* file : {"a/1", "a/b/2", "a/d/3"}) writeFile(dir.file(file), file);
    writeFile(dir.file("outside/kept"), "kept");
    ::symlink(dir.file("outside").c_str(), dir.file("a/b/c/link").c_str());
    ::symlink(dir.file("outside/kept").c_str(), dir.file("a/d/file-link").c_str());
    ::symlink(dir.file("nowhere").c_str(), dir.file("a/dangling").c_str());

    path(dir.file("a"))->removeDir();
    EXPECT_FALSE(std::filesystem::exists(dir.file("a")));
    EXPECT_EQ("kept", readFile(dir.file("outside/kept")));

    EXPECT_EQ(ENOENT, caught([&] { path(dir.file("n/t"))->touch(); }).code);
    path(dir.file("t"))->touch();
    EXPECT_EQ(0u, path(dir.file("t"))->getSize());
}
