// Records, while it exists, the system calls that decide whether data survives a crash, in the
// order they happen and with the file names they touch: "write NAME", "fsync NAME", "fdatasync NAME",
// "rename FROM TO", "unlink NAME" (NAME is the last component of the path). A test asserts on this order, for
// example that a file is flushed before it is renamed over an older one. It can make fsync and fdatasync fail
// with EIO.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "CSSys.h"

namespace hvps_test {

class SyscallLog : public CSSysOps {
public:
    SyscallLog() : iPrevious(CSSys::setOps(this)) {}
    ~SyscallLog() override { CSSys::setOps(iPrevious); }
    SyscallLog(const SyscallLog&) = delete;
    SyscallLog& operator=(const SyscallLog&) = delete;

    std::vector<std::string> calls;
    bool failFsync = false;

    int os_open(const char* path, int flags, mode_t mode) override {
        int fd = CSSysOps::os_open(path, flags, mode);
        if (fd >= 0) iNames[fd] = name(path);
        return fd;
    }
    ssize_t os_pwrite(int fd, const void* buf, size_t size, off_t offset) override {
        // One entry for a run of writes to the same file.
        std::string entry = "write " + iNames[fd];
        if (calls.empty() || calls.back() != entry) calls.push_back(entry);
        return CSSysOps::os_pwrite(fd, buf, size, offset);
    }
    int os_fsync(int fd) override { return flush(fd, false); }
    int os_fdatasync(int fd) override { return flush(fd, true); }
    int os_rename(const char* from, const char* to) override {
        calls.push_back("rename " + name(from) + " " + name(to));
        return CSSysOps::os_rename(from, to);
    }
    int os_unlink(const char* path) override {
        calls.push_back("unlink " + name(path));
        return CSSysOps::os_unlink(path);
    }

private:
    int flush(int fd, bool dataOnly) {
        calls.push_back((dataOnly ? "fdatasync " : "fsync ") + iNames[fd]);
        if (failFsync) {
            errno = EIO;
            return -1;
        }
        return dataOnly ? CSSysOps::os_fdatasync(fd) : CSSysOps::os_fsync(fd);
    }
    static std::string name(std::string path) {
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        return std::filesystem::path(path).filename().string();
    }

    CSSysOps* iPrevious;
    std::map<int, std::string> iNames;
};

}  // namespace hvps_test
