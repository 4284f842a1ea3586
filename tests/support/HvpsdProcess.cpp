#include "HvpsdProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "ServerProbe.h"
#include "TestSupport.h"

namespace hvps_test {

namespace {

using Clock = std::chrono::steady_clock;

ExitStatus toExitStatus(int raw) {
    ExitStatus status;
    if (WIFEXITED(raw)) {
        status.exited = true;
        status.code = WEXITSTATUS(raw);
    } else if (WIFSIGNALED(raw)) {
        status.signal = WTERMSIG(raw);
    }
    return status;
}

// Blocks until `pid` may have changed state or `timeout` passed: a pidfd when the kernel has
// them, else a short nap. The caller loops until its deadline.
void awaitProcess(pid_t pid, std::chrono::milliseconds timeout) {
#ifdef SYS_pidfd_open
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, static_cast<int>(timeout.count()));
        close(fd);
        return;
    }
#endif
    std::this_thread::sleep_for(std::min(timeout, std::chrono::milliseconds(5)));
}

}  // namespace

int freeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) throw std::runtime_error("socket() failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof(addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        throw std::runtime_error("bind() to a loopback port failed");
    }
    close(fd);
    return ntohs(addr.sin_port);
}

std::string describe(const ExitStatus& status) {
    if (status.exited) return "exit status " + std::to_string(status.code);
    if (status.signal) return "killed by signal " + std::to_string(status.signal);
    return "unknown end";
}

int countOccurrences(const std::string& text, const std::string& needle) {
    if (needle.empty()) return 0;
    int count = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos;
         pos = text.find(needle, pos + needle.size()))
        ++count;
    return count;
}

HvpsdProcess::HvpsdProcess(std::string workDir)
    : iWorkDir(std::move(workDir)),
      iOutputFile(iWorkDir + "/launcher.out"),
      iLogFile(iWorkDir + "/hvpsd.log"),
      iPidFile(iWorkDir + "/hvpsd.pid") {}

HvpsdProcess::~HvpsdProcess() {
    for (pid_t pid : {iServerPid, iStarted}) {
        if (pid <= 0 || iStatuses.count(pid)) continue;
        kill(pid, SIGKILL);
        waitFor(pid, 5s);
    }
}

std::string HvpsdProcess::path(const std::string& name) const { return iWorkDir + "/" + name; }

void HvpsdProcess::writeConfig(int port, const std::string& extraLines) {
    std::filesystem::create_directories(path("data"));
    if (!std::filesystem::exists(path("data/space-db"))) writeFile(path("data/space-db"), "");
    writeFile(path("mime.types"), "text/html html htm\ntext/plain txt\nimage/png png\n");
    std::string config = std::string("server-password=") + kPasswordDigest + "\n" +
                         "server-port=" + std::to_string(port) + "\n" +
                         "repository-data=./data\n"
                         "repository-size=10MB\n" +
                         extraLines;
    if (!writeFile(path("hvps.config"), config))
        throw std::runtime_error("cannot write " + path("hvps.config"));
}

void HvpsdProcess::start(const std::vector<std::string>& args) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::vector<std::string> all{HVPSD_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork() failed");
    if (pid == 0) {
        int out = open(iOutputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || chdir(iWorkDir.c_str()) != 0) _exit(127);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        int devNull = open("/dev/null", O_RDONLY);
        if (devNull >= 0) dup2(devNull, STDIN_FILENO);
        // Nothing of the test process (its output pipes in particular) may outlive it in the server.
        close_range(3, ~0U, 0);
        execv(argv[0], argv.data());
        _exit(127);
    }
    iStarted = pid;
    iServerPid = pid;
}

std::optional<ExitStatus> HvpsdProcess::launch(const std::vector<std::string>& args,
                                               std::chrono::milliseconds timeout) {
    start(args);
    iServerPid = 0;
    auto status = waitForStarted(timeout);
    if (status && status->exitedWith(0)) iServerPid = waitForPidFile(1s);
    return status;
}

std::optional<ExitStatus> HvpsdProcess::waitForStarted(std::chrono::milliseconds timeout) {
    if (iStarted <= 0) return std::nullopt;
    return waitFor(iStarted, timeout);
}

std::string HvpsdProcess::output() const { return readFile(iOutputFile); }

pid_t HvpsdProcess::waitForPidFile(std::chrono::milliseconds timeout) {
    pid_t pid = 0;
    waitUntil(
        [&] {
            std::string text = readFile(iPidFile);
            if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos)
                pid = static_cast<pid_t>(std::strtol(text.c_str(), nullptr, 10));
            return pid > 0;
        },
        timeout);
    return pid;
}

bool HvpsdProcess::pidFileExists() const { return std::filesystem::exists(iPidFile); }

bool HvpsdProcess::signalServer(int sig) {
    if (iServerPid <= 0 || iStatuses.count(iServerPid)) return false;
    return kill(iServerPid, sig) == 0;
}

std::optional<ExitStatus> HvpsdProcess::waitForServerExit(std::chrono::milliseconds timeout) {
    if (iServerPid <= 0) return std::nullopt;
    return waitFor(iServerPid, timeout);
}

bool HvpsdProcess::serverRunning() {
    if (iServerPid <= 0) return false;
    return !waitFor(iServerPid, 0ms).has_value();
}

std::string HvpsdProcess::log() const { return readFile(iLogFile); }

bool HvpsdProcess::waitForLog(const std::string& needle, int count, std::chrono::milliseconds timeout) const {
    return waitUntil([&] { return countOccurrences(log(), needle) >= count; }, timeout);
}

std::optional<ExitStatus> HvpsdProcess::waitFor(pid_t pid, std::chrono::milliseconds timeout) {
    if (auto it = iStatuses.find(pid); it != iStatuses.end()) return it->second;
    auto deadline = Clock::now() + timeout;
    for (;;) {
        int raw = 0;
        pid_t r = waitpid(pid, &raw, WNOHANG);
        if (r == pid) return iStatuses[pid] = toExitStatus(raw);
        if (r < 0 && errno != EINTR) {
            // Not our child (no subreaper support): all we can learn is when it is gone.
            if (kill(pid, 0) != 0 && errno == ESRCH) return iStatuses[pid] = ExitStatus{};
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= 0ms) return std::nullopt;
        awaitProcess(pid, std::min(left, std::chrono::milliseconds(100)));
    }
}

}  // namespace hvps_test
