// Helpers shared by the test suites: temporary directories that remove themselves, and paths of
// the built programs and the source tree.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "CSException.h"

namespace hvps_test {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return iPath; }
    // path() + "/" + name
    std::string file(const std::string& name) const;

private:
    std::string iPath;
};

// Points the server's log at a temporary file for the object's lifetime (back to stdout after, with
// the log's maximum level and the exceptions' stack dumps as they were before).
class CapturedLog {
public:
    CapturedLog();
    ~CapturedLog();
    // Everything written so far.
    std::string text();
    // The same, line by line.
    std::vector<std::string> lines();

private:
    TempDir iDir;
    FILE* iFile;
    int iMaxLevel;
    bool iDumpStack;
};

// Writes `content` to `path`, replacing the file. Returns false on failure.
bool writeFile(const std::string& path, const std::string& content);
// The whole content of `path` (empty when it cannot be read).
std::string readFile(const std::string& path);
// `size` bytes of a fixed pseudo-random sequence: the same `seed` gives the same bytes.
std::string randomBytes(size_t size, unsigned seed);

// The code and message of the CSException that `f` raises (code 0 when it raises none).
struct Caught {
    int code = 0;
    std::string message;
};

template <class F>
Caught caught(F f) {
    try {
        f();
    } catch (const CSException& e) {
        return {e.getErrorCode(), e.getMessage()};
    }
    return {};
}

}  // namespace hvps_test
