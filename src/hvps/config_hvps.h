// The server's settings: one process-wide record, hvps_system_parameters, filled in layers: the
// command line (HVPSOptions), then the built-in defaults (setConfigDefaults) and the configuration
// file (loadConfig), whose key=value lines go through setSystemParameter. The record is filled on the
// main thread during start-up, before any other thread exists, and is read-only afterwards except
// for the disk usage (guarded by iLock) and the restore fields.
#pragma once

#include <optional>
#include <string>

#include "CSDefs.h"
#include "CSMutex.h"
#include "CSProperties.h"

struct HVPSSystemParameters {
    CSLock iLock;  // guards iDiskUsage

    // Size limits of the text fields, terminator excluded: longer values are cut to these.
    static constexpr size_t kMaxServerHost = 99;
    static constexpr size_t kMaxRepositoryPath = 1023;
    static constexpr size_t kMaxRepositoryName = 39;
    static constexpr size_t kMaxRepositorySizeText = 99;

    // --- From the configuration file (setConfigDefaults, then loadConfig).
    std::string iServerPassword;     // "server-password": MD5 digest, 32 hexadecimal digits
    int32 iServerPort = 37655;       // "server-port"
    std::string iServerHost;         // "server-host": defaults to the machine's host name
    std::string iRepositoryPath;     // "repository-data", without a trailing "/"
    int32 iPollInterval = 30;        // "poll-interval", reported to clients
    std::string iRepositoryName;     // "repository-name"
    bool iStoreSpaceTitles = false;  // "store-space-titles"
    int32 iMinHandlers = 20;         // "maximum-connections" sets both handler counts
    int32 iMaxHandlers = 20;
    uint64 iRepositorySize = 0;          // "repository-size", bytes
    std::string iRepositorySizeText;     // the same as written in the file
    uint32 iConnectionTimeout = 120000;  // "connection-timeout", milliseconds; 0: none
    uint32 iPutVerifyTimeout = 100000;   // "put-verify-timeout", milliseconds; 0: no check
    bool iSyncUploads = true;            // "sync-uploads": uploads are on disk before they are answered

    // --- From the command line (HVPSOptions); "verbose" and "trace-on" also from the file.
    bool iDebug = false;
    bool iLaunchedAsDaemon = false;
    bool iAllowRoot = false;
    bool iTraceOn = false;
    bool iVerbose = false;
    int32 iRestoreState = 0;  // 3: the repository was restored from a backup
    std::optional<std::string> iUser;
    std::string iConfigFile;
    std::string iLogFile;
    std::string iPidFile;
    std::string iMimeTypesFile;
    std::optional<std::string> iWorkingDirectory;

    // --- Run-time state.
    uint64 iDiskUsage = 0;  // bytes; guarded by iLock
    uint64 iRestoreID = 0;
};

extern HVPSSystemParameters hvps_system_parameters;

// Sets the configuration-file fields of hvps_system_parameters to their defaults (the command-line
// fields are left alone). The host name is the machine's, or empty when it cannot be read.
void setConfigDefaults();

// Reads the configuration file `path` into hvps_system_parameters and checks that the required
// values are present. Raises CSException on a missing file, a bad line or a missing value; notes
// that help the user are logged before some errors.
void loadConfig(const char* path);

// Applies one key=value pair of the configuration file. The key matches without regard to case.
// Raises CSException code -14008 for an unknown key or an invalid value; an empty value leaves a
// field unchanged except where an empty value is an error or means 0.
void setSystemParameter(const char* key, const char* value);

// The configuration-file reader: every key=value pair goes to setSystemParameter.
class HVPSProperties : public CSProperties {
public:
    void setProperty(CSString* key, CSString* value) override;
};
