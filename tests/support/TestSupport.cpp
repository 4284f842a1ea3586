#include "TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "CSLog.h"

namespace hvps_test {

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/hvps-test-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
    iPath = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(iPath, ignored);
}

std::string TempDir::file(const std::string& name) const { return iPath + "/" + name; }

CapturedLog::CapturedLog()
    : iFile(fopen(iDir.file("log").c_str(), "w+")),
      iMaxLevel(CSL.getMaxLevel()),
      iDumpStack(CSException::dumpStack) {
    CSL.setStream(iFile);
}

CapturedLog::~CapturedLog() {
    CSL.setStream(stdout);
    CSL.setMaxLevel(iMaxLevel);
    CSException::dumpStack = iDumpStack;
    fclose(iFile);
}

std::string CapturedLog::text() {
    fflush(iFile);
    return readFile(iDir.file("log"));
}

std::vector<std::string> CapturedLog::lines() {
    std::vector<std::string> result;
    std::istringstream in(text());
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

bool writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

std::string randomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, 0);
    for (char& ch : bytes) ch = static_cast<char>(random());
    return bytes;
}

}  // namespace hvps_test
