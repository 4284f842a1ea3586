#include "HVPSOptions.h"

#include "CSException.h"
#include "CSStrUtil.h"
#include "hvps_version.h"

HVPSOptions::HVPSOptions(HVPSSystemParameters& params) : iParams(params) {
    setComandLine("options");
    addOption(kHelp, 'h', "help", nullptr, "This help message");
    addOption(kDebug, 'd', "debug", nullptr,
              "Debug mode: the server is not started in the background, and output is sent to the console "
              "(stdout), instead of the log file");
    addOption(kAllowRoot, 'r', "allow-root", nullptr, "Allow the server to be run as root");
    addOption(kUser, 'u', "user", "unix_user",
              "The UNIX user to run the server as. To set this the server must be started as root");
    addOption(kLaunchedAsDaemon, 'D', "launched-as-daemon", nullptr,
              "Daemon mode: the process launching the daemon will set it's run environment. ");
    addOption(kPidFile, 'p', "pid-file", "pid_file", "The server's process ID log file");
    setDefault(kPidFile, "./hvpsd.pid");
    addOption(kVersion, 'v', "version", nullptr, "Display version information");
    addOption(kTraceOn, 't', "trace-on", nullptr, "Write a trace of calls to the server to the log file");
    addOption(kConfigFile, 'c', "config-file", "config_file",
              "The server's configuration file which contains the system parameters");
    setDefault(kConfigFile, "./hvps.config");
    addOption(kLogFile, 'l', "log-file", "log_file", "The server's message and error log file");
    setDefault(kLogFile, "./hvpsd.log");
    addOption(kMimeTypesFile, 'm', "mime-types-file", "mime_types_file",
              "A text file containing the mapping between MIME types and file extensions");
    setDefault(kMimeTypesFile, "./mime.types");
    addOption(kWorkingDirectory, 'w', "working-directory", "working_directory",
              "The server's working directory");
    addOption(kVerbose, 0, "verbose", nullptr,
              "Verbose loging: logs all errors, etc. and includes stack traces");
    addOption(kRestored, 0, "restored", nullptr,
              "This flag indicates that the repository data has been restored. It initiates recovery for all "
              "spaces before client are allowed to connect");
}

void HVPSOptions::setStreams(FILE* out, FILE* err) {
    iOut = out;
    iErr = err;
    setOutput(out);
}

void HVPSOptions::error(const char* fmt, const char* arg) {
    if (!iStop) {
        fprintf(iErr, fmt, arg);
        fflush(iErr);
    }
    iStop = true;
}

void HVPSOptions::setOptionExpectedValue(int, const char* arg) {
    error("Error: expected an value for command line argument: %s\n", arg);
}

void HVPSOptions::setOptionUnexpectedValue(int, const char* arg, const char*) {
    error("Error: command line argument, '%s', does not require a value\n", arg);
}

void HVPSOptions::setOptionAlreadySpecified(const char* arg) {
    error("Error: command line argument '%s', already specified\n", arg);
}

void HVPSOptions::setUnknownOption(const char* arg) {
    error("Error: unknown command line argument: %s\n", arg);
}

void HVPSOptions::setOption(int id, const char* value) {
    if (iStop) return;
    switch (id) {
        case kHelp:
            printHelp();
            iStop = true;
            break;
        case kVersion:
            // The server's release first, as the banner and the packages name it, then the library's.
            fprintf(iOut, "HVPS version: %s (VUDud %s) : %d-bit\n", HVPS_VERSION_TEXT, cs_version(),
                    static_cast<int>(sizeof(void*) * 8));
            fflush(iOut);
            iStop = true;
            break;
        case kDebug:
            iParams.iDebug = true;
            break;
        case kLaunchedAsDaemon:
            iParams.iLaunchedAsDaemon = true;
            break;
        case kAllowRoot:
            iParams.iAllowRoot = true;
            break;
        case kTraceOn:
            iParams.iTraceOn = true;
            break;
        case kVerbose:
            iParams.iVerbose = true;
            CSException::dumpStack = true;
            break;
        case kRestored:
            iParams.iRestoreState = 3;
            break;
        case kUser:
            iParams.iUser = value;
            break;
        case kConfigFile:
            iParams.iConfigFile = value;
            break;
        case kLogFile:
            iParams.iLogFile = value;
            break;
        case kPidFile:
            iParams.iPidFile = value;
            break;
        case kMimeTypesFile:
            iParams.iMimeTypesFile = value;
            break;
        case kWorkingDirectory:
            iParams.iWorkingDirectory = value;
            break;
        default:
            break;
    }
}
