// The log pointed at a temporary file for the scope, for the foundation tests that read what was logged.
#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "CSException.h"
#include "CSLog.h"
#include "TestSupport.h"

class CapturedLog {
public:
    CapturedLog() : iFile(fopen(iDir.file("log").c_str(), "w+")) { CSL.setStream(iFile); }
    ~CapturedLog() {
        CSL.setStream(stdout);
        CSL.setMaxLevel(CSLog::Warning);
        CSException::dumpStack = false;
        fclose(iFile);
    }
    std::string text() {
        fflush(iFile);
        return hvps_test::readFile(iDir.file("log"));
    }
    std::vector<std::string> lines() {
        std::vector<std::string> result;
        std::istringstream in(text());
        for (std::string line; std::getline(in, line);) result.push_back(line);
        return result;
    }

private:
    hvps_test::TempDir iDir;
    FILE* iFile;
};
