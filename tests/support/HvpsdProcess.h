// Runs the built hvpsd for end-to-end tests: in a working directory of its own, with its output
// captured, and with bounded waits for the launcher's exit, the pid file and log lines. The test
// process becomes a child subreaper, so a server that the launcher left in the background is
// re-parented to it and its exit status can be collected. Not thread-safe: one test thread drives it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace hvps_test {

using namespace std::chrono_literals;

// A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0 and released).
int freeLoopbackPort();

// How a process ended.
struct ExitStatus {
    bool exited = false;  // ended through exit(); `code` is valid
    int code = -1;
    int signal = 0;  // the signal that ended it, when not exited

    bool exitedWith(int c) const { return exited && code == c; }
};
std::string describe(const ExitStatus& status);

class HvpsdProcess {
public:
    // The plain-text server password of writeConfig; its MD5 digest goes into the file.
    static constexpr const char* kPassword = "secret";
    static constexpr const char* kPasswordDigest = "5EBE2294ECD0E0F08EAB7690D2A6EE69";

    // `workDir` must exist; hvpsd runs with it as its current directory, so its default files
    // (hvps.config, hvpsd.log, hvpsd.pid, mime.types) are found there.
    explicit HvpsdProcess(std::string workDir);
    // Kills (SIGKILL) and reaps any process this object started that is still running.
    ~HvpsdProcess();
    HvpsdProcess(const HvpsdProcess&) = delete;
    HvpsdProcess& operator=(const HvpsdProcess&) = delete;

    const std::string& workDir() const { return iWorkDir; }
    // workDir() + "/" + name
    std::string path(const std::string& name) const;

    // Writes a valid set-up into the working directory: hvps.config (password digest, the given port,
    // repository-size=10MB, repository-data=./data), the folder data/ with an empty space-db, and a
    // small mime.types. `extraLines` are appended to the configuration as they stand.
    void writeConfig(int port, const std::string& extraLines = "");

    // Starts hvpsd with `args` (the program path is put in front) and returns at once. Standard
    // output and standard error of the started process go to one capture file (output()).
    void start(const std::vector<std::string>& args);
    // Runs hvpsd in normal (forking) mode and waits for the launcher to end. Returns its status;
    // none when it did not end within the timeout. On exit status 0 the server's pid is taken from
    // the pid file.
    std::optional<ExitStatus> launch(const std::vector<std::string>& args,
                                     std::chrono::milliseconds timeout = 20s);
    // Waits for the process started last (the launcher, or the server itself with -d or -D).
    std::optional<ExitStatus> waitForStarted(std::chrono::milliseconds timeout = 20s);
    // What the started process wrote to standard output and standard error.
    std::string output() const;

    // The server: its pid (from the pid file once launch() succeeded, or the started process in
    // the foreground modes); 0 when unknown.
    pid_t serverPid() const { return iServerPid; }
    // The pid file (hvpsd.pid in the working directory unless set otherwise).
    void setPidFile(const std::string& path) { iPidFile = path; }
    // Waits until the pid file holds a process id and returns it (0 on timeout).
    pid_t waitForPidFile(std::chrono::milliseconds timeout = 20s);
    bool pidFileExists() const;
    // Sends `sig` to the server. False when no server is known or kill() failed.
    bool signalServer(int sig);
    // Waits for the server to end and returns its status; none on timeout.
    std::optional<ExitStatus> waitForServerExit(std::chrono::milliseconds timeout = 20s);
    // Whether the server process still exists (not yet ended and reaped).
    bool serverRunning();

    // The log file (hvpsd.log in the working directory unless `logFile` says otherwise).
    std::string log() const;
    void setLogFile(const std::string& path) { iLogFile = path; }
    // Waits until `needle` occurs at least `count` times in the log; false on timeout.
    bool waitForLog(const std::string& needle, int count = 1, std::chrono::milliseconds timeout = 20s) const;

private:
    std::optional<ExitStatus> waitFor(pid_t pid, std::chrono::milliseconds timeout);

    std::string iWorkDir;
    std::string iOutputFile;
    std::string iLogFile;
    std::string iPidFile;
    pid_t iStarted = 0;  // the process start() created last
    pid_t iServerPid = 0;
    std::map<pid_t, ExitStatus> iStatuses;  // processes reaped so far
};

// Number of non-overlapping occurrences of `needle` in `text`.
int countOccurrences(const std::string& text, const std::string& needle);

}  // namespace hvps_test
