// HVPSOptions: the command line of hvpsd. Parses into the command-line fields of a system-parameter
// record (hvps_system_parameters unless another is given) and reports only the first command-line
// error. The stop flag tells the caller to end the process: an error, the help or the version.
#pragma once

#include <cstdio>

#include "CSOptions.h"
#include "config_hvps.h"

class HVPSOptions : public CSOptions {
public:
    enum OptionId {
        kHelp = 1,
        kDebug = 2,
        kVersion = 3,
        kAllowRoot = 4,
        kTraceOn = 5,
        kUser = 6,
        kConfigFile = 7,
        kLogFile = 8,
        kPidFile = 9,
        kMimeTypesFile = 10,
        kWorkingDirectory = 11,
        kRestored = 12,
        kLaunchedAsDaemon = 13,
        kVerbose = 14,
    };

    explicit HVPSOptions(HVPSSystemParameters& params = hvps_system_parameters);

    bool stop() const { return iStop; }
    // Help and version go to `out`, error messages to `err` (standard output and standard error
    // unless changed). The streams are not owned.
    void setStreams(FILE* out, FILE* err);

    void setOption(int id, const char* value) override;
    void setOptionExpectedValue(int id, const char* arg) override;
    void setOptionUnexpectedValue(int id, const char* arg, const char* value) override;
    void setOptionAlreadySpecified(const char* arg) override;
    void setUnknownOption(const char* arg) override;

private:
    // Prints the first error only; every error sets the stop flag.
    void error(const char* fmt, const char* arg) __attribute__((format(printf, 2, 0)));

    HVPSSystemParameters& iParams;
    bool iStop = false;
    FILE* iOut = stdout;
    FILE* iErr = stderr;
};
