#include "hvps_daemon.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "CSException.h"
#include "CSLog.h"
#include "CSMemory.h"
#include "CSStrUtil.h"
#include "Deletion_hvps.h"
#include "DiskUsage_hvps.h"
#include "FileState_hvps.h"
#include "HVPSOptions.h"
#include "Network_hvps.h"
#include "Restore_hvps.h"
#include "Session_hvps.h"
#include "Space_hvps.h"
#include "UploadJournal_hvps.h"
#include "config_hvps.h"

CSRef<CSThread> hvps_main_thread;
pthread_t hvps_signal_handler{};
bool hvps_started = false;

namespace {

const char kEquals[] = "===========================================\n";

// --- State read by the signal handlers: lock-free atomics only.

// The thread whose must-quit flag a stop signal sets; null outside the running server.
std::atomic<CSThread*> sQuitTarget{nullptr};
// Whether hvps_signal_handler holds a thread.
std::atomic<bool> sHaveSignalThread{false};
// The local zone's offset from UTC, refreshed by the main thread (localtime_r may take locks, so
// the handlers cannot call it).
std::atomic<long> sUtcOffset{0};

void refreshUtcOffset() {
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local)) sUtcOffset = local.tm_gmtoff;
}

// Builds one line in a fixed buffer without stdio or allocation.
class SignalLine {
public:
    SignalLine() {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        iLen = hvps_format_log_time(iBuf, now.tv_sec, sUtcOffset.load());
    }
    SignalLine& add(const char* text) {
        while (*text && iLen < sizeof(iBuf)) iBuf[iLen++] = *text++;
        return *this;
    }
    SignalLine& add(int n) {
        char digits[12];
        int i = 0;
        unsigned v = n < 0 ? 0u - static_cast<unsigned>(n) : static_cast<unsigned>(n);
        do digits[i++] = static_cast<char>('0' + v % 10);
        while ((v /= 10) && i < 11);
        if (n < 0) add("-");
        while (i > 0 && iLen < sizeof(iBuf)) iBuf[iLen++] = digits[--i];
        return *this;
    }
    // One write(2) to standard output (the log file); errno is left as the interrupted code had it.
    void write() {
        int saved = errno;
        ssize_t ignored = ::write(STDOUT_FILENO, iBuf, iLen);
        (void)ignored;
        errno = saved;
    }

private:
    char iBuf[160];
    size_t iLen;
};

const char* hangupSignalName(int sig) {
    switch (sig) {
        case SIGHUP:
            return "SIGHUP";
        case SIGPIPE:
            return "SIGPIPE";
        case SIGALRM:
            return "SIGALRM";
        case SIGIO:
            return "SIGIO";
        case SIGVTALRM:
            return "SIGVTALRM";
        default:
            return nullptr;
    }
}

void installHandler(int sig, void (*handler)(int)) {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: interrupted system calls return EINTR
    if (sigaction(sig, &action, nullptr) != 0) CSException::throwLastError(CS_CONTEXT);
}

void installSignalHandlers() {
    for (int sig : {SIGHUP, SIGPIPE, SIGALRM, SIGVTALRM, SIGIO}) installHandler(sig, hangup_signal);
    for (int sig : {SIGQUIT, SIGTERM, SIGINT, SIGUSR1}) installHandler(sig, shutdown_signal);
}

// --- Process start-up helpers (main thread, before the server starts).

struct RunUser {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
};

RunUser toRunUser(const struct passwd* pw) { return RunUser{pw->pw_name, pw->pw_uid, pw->pw_gid}; }

// `path` made absolute against the current directory, at most 1024 bytes.
std::string absolutePath(const std::string& path) {
    char cwd[1024] = "";
    if (!cs_is_absolute(path.c_str()) && !getcwd(cwd, sizeof(cwd))) cwd[0] = 0;
    char out[1024];
    cs_make_absolute_path(sizeof(out), out, path.c_str(), cwd);
    return out;
}

bool processExists(pid_t pid) {
    // Our own id can only be left over from an earlier life of this process (a container that
    // gives the server the same pid every time), never from a second server.
    if (pid == getpid()) return false;
    return kill(pid, 0) == 0 || errno == EPERM;
}

// False (after the message) when the pid file names a live process. A pid file of a dead
// process, or one that holds 0 or no number, is removed.
bool checkPidFile(const std::string& pidFile) {
    FILE* f = fopen(pidFile.c_str(), "r");
    if (!f) return true;
    unsigned pid = 0;
    if (fscanf(f, "%u", &pid) != 1) pid = 0;
    if (pid != 0 && processExists(static_cast<pid_t>(pid))) {
        fclose(f);
        fprintf(stderr, "Error: HVPS may already be running, process ID: %u\n", pid);
        fprintf(stderr, "If this is not a HVPS process remove the '%s' file and restart.\n",
                absolutePath(pidFile).c_str());
        return false;
    }
    fclose(f);
    unlink(pidFile.c_str());
    return true;
}

void printTime(char* buf, size_t size) {
    time_t now = time(nullptr);
    struct tm local;
    if (!localtime_r(&now, &local) || !strftime(buf, size, "%y%m%d %H:%M:%S", &local))
        cs_strcpy(size, buf, "");
}

void writeShutdownLine() {
    char now[300];
    CSL.getNow(now, sizeof(now));
    printf("%s", kEquals);
    printf("%s Halvora Personal Server shutdown\n", now);
    fflush(stdout);
}

// The size of `path`, 0 when it does not exist yet.
off_t fileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// The first error line that the log received from byte `from` on: a log line at the error level or
// a start-up message that begins with "Error"; empty when there is none. It tells the person who
// started the server why the start failed without opening the log.
std::string firstErrorLine(const std::string& logFile, off_t from) {
    FILE* f = fopen(logFile.c_str(), "r");
    if (!f) return {};
    std::string found;
    char line[2048];
    if (fseeko(f, from, SEEK_SET) == 0) {
        while (fgets(line, sizeof(line), f)) {
            if (strstr(line, " [Error] ") || strncmp(line, "Error", 5) == 0) {
                found = line;
                break;
            }
        }
    }
    fclose(f);
    if (!found.empty() && found.back() != '\n') found += '\n';
    return found;
}

// The launching process: waits for the server's "ok" on the pipe. Returns the exit status.
// `logStart` is the size of the log before the server began to write to it.
int runLauncher(int readEnd, pid_t child, const std::string& logFile, off_t logStart) {
    char buf[2];
    size_t got = 0;
    while (got < sizeof(buf)) {
        ssize_t n = read(readEnd, buf + got, sizeof(buf) - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR && errno != EAGAIN) {
            perror("Error: read() pipe failed");
            break;
        }
    }
    close(readEnd);
    if (got == sizeof(buf)) return 0;

    std::string logPath = absolutePath(logFile);
    for (int i = 0; i < 20; i++) {
        int status;
        if (waitpid(child, &status, WNOHANG) == child) {
            fprintf(stderr, "HVPS failed to start. Check log file %s for possible error messages.\n",
                    logPath.c_str());
            fputs(firstErrorLine(logPath, logStart).c_str(), stderr);
            return 1;
        }
        usleep(100);
    }
    fprintf(stderr, "HVPS (pid = %u) may not have started. Check log file %s for possible error messages.\n",
            static_cast<unsigned>(child), logPath.c_str());
    fputs(firstErrorLine(logPath, logStart).c_str(), stderr);
    return 1;
}

}  // namespace

size_t hvps_format_log_time(char* out, time_t now, long utcOffset) {
    int64 t = static_cast<int64>(now) + utcOffset;
    int64 days = t / 86400;
    int64 secs = t % 86400;
    if (secs < 0) {
        secs += 86400;
        days--;
    }
    // Civil date from days since 1970-01-01 (proleptic Gregorian calendar, eras of 400 years).
    int64 z = days + 719468;
    int64 era = (z >= 0 ? z : z - 146096) / 146097;
    int64 doe = z - era * 146097;
    int64 yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64 doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64 mp = (5 * doy + 2) / 153;
    int64 day = doy - (153 * mp + 2) / 5 + 1;
    int64 month = mp < 10 ? mp + 3 : mp - 9;
    int64 year = yoe + era * 400 + (month <= 2 ? 1 : 0);

    int64 fields[6] = {((year % 100) + 100) % 100, month, day, secs / 3600, secs / 60 % 60, secs % 60};
    const char separators[6] = {0, 0, ' ', ':', ':', 0};
    size_t len = 0;
    for (int i = 0; i < 6; i++) {
        out[len++] = static_cast<char>('0' + fields[i] / 10);
        out[len++] = static_cast<char>('0' + fields[i] % 10);
        if (separators[i]) out[len++] = separators[i];
    }
    out[len] = 0;
    return len;
}

void hangup_signal(int sig) {
    SignalLine line;
    line.add(" [Warning] Got ");
    if (const char* name = hangupSignalName(sig))
        line.add(name);
    else
        line.add(sig);
    line.add(", ignored\n").write();
}

void shutdown_signal(int sig) {
    if (sHaveSignalThread.load() && !pthread_equal(pthread_self(), hvps_signal_handler)) {
        SignalLine line;
        line.add(" [Warning] Relaying signal ").add(sig).add(" to signal handler thread\n").write();
        int saved = errno;
        pthread_kill(hvps_signal_handler, sig);
        errno = saved;
        return;
    }
    if (CSThread* self = sQuitTarget.load()) self->setMustQuit(true);
}

bool HVPSDaemonStartup(const char* configFile, bool /*trace*/, const char* mimeTypesFile) {
    if (!CSThread::startUp()) {
        CSException e;
        e.initException(CS_CONTEXT, 12, "CSThread::startUp() failed.");
        e.log(nullptr, "*** Uncaught error");
        return false;
    }
    hvps_main_thread = CSThread::newCSThread();
    CSThread* self = hvps_main_thread.get();
    CSThread::setSelf(self);

    bool ok = false;
    try {
        setConfigDefaults();
        loadConfig(configFile);

        // Space database.
        loadSpaces();

        // Pending space deletions. When spaces were removed, the stored disk usage is set to 0 so
        // that the next step recounts it.
        if (checkForDeletedSpaces(true)) SystemParameters::saveDiskUsage(0);

        // Temporary files of uploads that the end of the last run cut short; they are not counted.
        removeStaleUploadFiles(hvps_system_parameters.iRepositoryPath);

        // Uploads that a crash interrupted are cut back to where they began. After such a crash
        // the stored disk usage is stale (it is saved once a second), so it is recounted.
        if (UploadJournal::recover(hvps_system_parameters.iRepositoryPath)) SystemParameters::saveDiskUsage(0);

        // Disk usage.
        SystemParameters::loadDiskUsage();

        // Sessions and file state.
        initSessions();
        initFileState();

        // Restore state, and recovery of every space when a restore is being processed.
        loadAndSetRestoreState();
        if (hvps_system_parameters.iRestoreState == RESTORE_STATE_IN_PROGRESS) recoverSpaces();

        // Network service. From here on clients can connect.
        MSNetwork::startUp(hvps_system_parameters.iServerPort,
                           static_cast<uint32>(hvps_system_parameters.iMinHandlers),
                           static_cast<uint32>(hvps_system_parameters.iMaxHandlers), mimeTypesFile);
        MSNetwork::startNetwork();

        hvps_signal_handler = pthread_self();
        sHaveSignalThread = true;
        sQuitTarget = self;
        refreshUtcOffset();
        installSignalHandlers();
        ok = true;
    } catch (const CSException& e) {
        e.log(self);
        HVPSDaemonShutdown();
    } catch (const std::exception& e) {
        CSL.logLine(self, CSLog::Error, e.what());
        HVPSDaemonShutdown();
    }
    hvps_started = ok;
    return ok;
}

void HVPSDaemonRun() {
    CSThread* self = hvps_main_thread.get();
    while (!self->mustQuit()) {
        try {
            self->sleep(1000);
            refreshUtcOffset();

            // Space deletion: the spaces marked since the last pass.
            serviceSpaceDeletion();

            // Disk usage: written when it is not 0 and has changed since the last save.
            SystemParameters::saveDiskUsageIfChanged();
        } catch (const CSException& e) {
            e.log(self);
        }
    }
    HVPSDaemonShutdown();
}

void HVPSDaemonShutdown() {
    CSThread* self = hvps_main_thread.get();
    CSThread::setSelf(self);

    // Network service: stops the system thread and every connection handler and closes the
    // listening socket, so no request touches the tables freed below.
    MSNetwork::shutDown();

    // Repository tables.
    freeSpaces();
    freeSessions();
    freeFileState();

    if (hvps_started) {
        try {
            SystemParameters::saveDiskUsage(SystemParameters::currentDiskUsage());
            // Only a stop whose disk usage reached the file counts as clean.
            UploadJournal::cleanStop(hvps_system_parameters.iRepositoryPath);
        } catch (const CSException& e) {
            e.log(self);
        }
    }

    sQuitTarget = nullptr;
    CSThread::setSelf(nullptr);
    hvps_main_thread.reset();
    CSThread::shutDown();
}

int hv_service_main(int argc, char* argv[], void (*status)(short)) {
    if (status) status(0);
    // Whatever umask the server inherits, what it creates (space database, restore state, space
    // folders, uploaded files, log and pid file) is for its own user alone: the space database
    // holds every space key.
    umask(077);
    cs_init_memory();
    auto& params = hvps_system_parameters;

    {
        HVPSOptions options(params);
        options.load(argc, argv);
        if (options.stop()) return 1;
    }

    if (params.iLaunchedAsDaemon && (params.iWorkingDirectory || params.iAllowRoot || params.iUser)) {
        fprintf(stderr, "When starting in daemon mode the working dir and user id should be\n");
        fprintf(stderr, "should be set by the launching process and not by the Halvora Personal Server.\n");
        fprintf(stderr, "Do not use the '-w' or '-u' options with the '-D' option.\n");
        return 1;
    }

    if (params.iWorkingDirectory) {
        const char* dir = params.iWorkingDirectory->c_str();
        struct stat st;
        if (stat(dir, &st) != 0) {
            fprintf(stderr, "Path does not exist: \"%s\".\n", dir);
            return 1;
        }
        if (!S_ISDIR(st.st_mode)) {
            fprintf(stderr, "Path is not a directory: \"%s\".\n", dir);
            return 1;
        }
        if (chdir(dir) != 0) {
            fprintf(stderr, "Error (%d): chdir(\"%s\") failed: %s\n", errno, dir, strerror(errno));
            return 1;
        }
    }

    if (!checkPidFile(params.iPidFile)) return 1;

    uid_t euid = geteuid();
    errno = 0;
    const struct passwd* pw = getpwuid(euid);
    if (!pw) {
        fprintf(stderr, "Error (%d): geteuid() failed for userid %d: %s\n", errno, static_cast<int>(euid),
                strerror(errno));
        return 1;
    }
    RunUser current = toRunUser(pw);
    RunUser runUser = current;

    int pipeWrite = -1;
    if (!params.iLaunchedAsDaemon) {
        if (params.iUser) {
            if (current.name != "root") {
                fprintf(stderr, "Error: only the root user can set the server's runtime user, you are: %s\n",
                        current.name.c_str());
                return 1;
            }
            errno = 0;
            const struct passwd* userPw = getpwnam(params.iUser->c_str());
            if (!userPw) {
                if (errno == 0) errno = ENOENT;  // "no such user" is not an error of the call itself
                perror("Error: getpwnam() failed");
                fprintf(stderr, "Trying to get user information for user '%s'.\n", params.iUser->c_str());
                return 1;
            }
            runUser = toRunUser(userPw);
        }

        if (!params.iAllowRoot && runUser.name == "root") {
            fprintf(stderr, "Error: server started as UNIX root user\n");
            fprintf(stderr, "Running the server as root is not permitted due to the potential\n");
            fprintf(stderr, "for system damage, if the server were miss-configured. If you are\n");
            fprintf(stderr, "sure that this is what you want to do then restart the server with\n");
            fprintf(stderr, "the -r or --allow-root option to override this check.\n");
            return 1;
        }

        if (!params.iDebug) {
            int fds[2];
            if (pipe(fds) != 0) {
                perror("Error: pipe() failed");
                return 1;
            }
            fflush(stdout);
            fflush(stderr);
            off_t logStart = fileSize(params.iLogFile);
            pid_t child = fork();
            if (child < 0) {
                perror("Error: fork() failed");
                return 1;
            }
            if (child > 0) {
                close(fds[1]);
                return runLauncher(fds[0], child, params.iLogFile, logStart);
            }
            close(fds[0]);
            pipeWrite = fds[1];
        }

        if (params.iUser) {
            if (setgid(runUser.gid) != 0) {
                perror("Error: setgid() failed");
                return 1;
            }
            if (setuid(runUser.uid) != 0) {
                perror("Error: setuid() failed");
                return 1;
            }
        }
    }

    if (!params.iDebug && !freopen(params.iLogFile.c_str(), "a+", stdout)) {
        int err = errno;
        fprintf(stderr, "Error %d: freopen(\"%s\", stdout) failed: %s\n", err, params.iLogFile.c_str(),
                strerror(err));
        return 1;
    }
    if (setvbuf(stdout, nullptr, _IONBF, 0) != 0) {
        perror("Error: setvbuf() failed");
        return 1;
    }
    if (dup2(fileno(stdout), STDERR_FILENO) < 0) {
        perror("Error: could not redirect stderr to log file, dup2() failed");
        return 1;
    }

    FILE* pidFile = fopen(params.iPidFile.c_str(), "w+");
    if (!pidFile) {
        int err = errno;
        fprintf(stderr, "Error %d: fopen(\"%s\") failed: %s\n", err, params.iPidFile.c_str(), strerror(err));
        return 1;
    }

    char now[80];
    printTime(now, sizeof(now));
    printf("%s", kEquals);
    printf("%s Halvora Personal Server, version %s (VUDud %s), running as \"%s\"\n", now, HVPS_VERSION,
           cs_version(), runUser.name.c_str());
    printf("Command line: ");
    for (int i = 0; i < argc; i++) printf("%s ", argv[i]);
    printf("\n");

    if (!HVPSDaemonStartup(params.iConfigFile.c_str(), params.iTraceOn, params.iMimeTypesFile.c_str())) {
        writeShutdownLine();
        fclose(pidFile);
        unlink(params.iPidFile.c_str());
        cs_exit_memory();
        return 1;
    }

    fprintf(pidFile, "%u", static_cast<unsigned>(getpid()));
    fclose(pidFile);
    if (pipeWrite >= 0) {
        ssize_t ignored = write(pipeWrite, "ok", 2);
        (void)ignored;
        close(pipeWrite);
    }
    if (status) status(1);

    HVPSDaemonRun();

    writeShutdownLine();
    unlink(params.iPidFile.c_str());
    cs_exit_memory();
    return 0;
}
