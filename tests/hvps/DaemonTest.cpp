// The life of the real hvpsd: start in the background with the launcher handshake, pid file, banner,
// signals, shutdown, and the checks of the command line and the run environment.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "HvpsdProcess.h"
#include "ServerFixture.h"
#include "TestSupport.h"
#include "hvps_daemon.h"

using namespace hvps_test;

namespace {

const std::string kEquals(43, '=');
const std::string kStamp = R"(\d{6} \d\d:\d\d:\d\d)";
const std::regex kBanner(
    kStamp + R"( Halvora Personal Server, version 1\.0\.044 \(VUDud 1\.0\.0\(Built .*\), running as ".*")");
// The log ends with the line of equals signs and the shutdown line.
const std::regex kEndsWithShutdown("(^|\n)" + kEquals + "\n" + kStamp +
                                   " Halvora Personal Server shutdown\n$");

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> all;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) all.push_back(line);
    return all;
}

bool runningAsRoot() { return geteuid() == 0; }

// A normal start returns once the server runs in the working directory -w names; the server
// answers on its port, ignores SIGHUP and stops cleanly on SIGTERM, closing the port.
TEST(DaemonTest, NormalStartServesUntilSIGTERMAndSIGHUPChangesNothing) {
    TempDir from, there;
    const int port = freeLoopbackPort();
    HvpsdProcess(there.path()).writeConfig(port);
    HvpsdProcess hvpsd(from.path());
    hvpsd.setLogFile(there.file("hvpsd.log"));
    hvpsd.setPidFile(there.file("hvpsd.pid"));

    const std::vector<std::string> args = withRoot({"-w", there.path()});
    auto launcher = hvpsd.launch(args);
    ASSERT_TRUE(launcher && launcher->exitedWith(0)) << (launcher ? describe(*launcher) : "timeout") << "\n"
                                                     << hvpsd.output() << hvpsd.log();
    EXPECT_EQ(hvpsd.output(), "");

    // The pid file holds the server's id in decimal without a line end.
    std::string pidText = readFile(there.file("hvpsd.pid"));
    ASSERT_GT(hvpsd.serverPid(), 0);
    EXPECT_EQ(pidText, std::to_string(hvpsd.serverPid()));

    std::string log = hvpsd.log();
    auto all = splitLines(log);
    ASSERT_GE(all.size(), 3u) << log;
    EXPECT_EQ(all[0], kEquals);
    EXPECT_TRUE(std::regex_match(all[1], kBanner)) << all[1];
    if (runningAsRoot()) {
        EXPECT_NE(all[1].find("running as \"root\""), std::string::npos) << all[1];
    }
    std::string commandLine = "Command line: " + std::string(HVPSD_PATH) + " ";
    for (const auto& a : args) commandLine += a + " ";
    EXPECT_EQ(all[2], commandLine);
    EXPECT_TRUE(hvpsd.waitForLog("Halvora Personal Server listening on port " + std::to_string(port)));
    EXPECT_EQ(exchange(port, "GET /ping.xml HTTP/1.1\r\n\r\n", 500ms).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);

    ASSERT_TRUE(hvpsd.signalServer(SIGHUP));
    ASSERT_TRUE(hvpsd.waitForLog(" [Warning] Got SIGHUP, ignored\n")) << hvpsd.log();
    EXPECT_TRUE(hvpsd.serverRunning());
    EXPECT_EQ(readFile(there.file("hvpsd.pid")), pidText);

    ASSERT_TRUE(hvpsd.signalServer(SIGTERM));
    auto status = hvpsd.waitForServerExit();
    ASSERT_TRUE(status) << "the server did not stop";
    EXPECT_TRUE(status->exitedWith(0)) << describe(*status);
    EXPECT_FALSE(hvpsd.pidFileExists());
    log = hvpsd.log();
    EXPECT_TRUE(std::regex_search(log, kEndsWithShutdown)) << log;
    EXPECT_EQ(exchange(port, "GET /ping.xml HTTP/1.1\r\n\r\n", 200ms), "");
    // Nothing but the launcher's captured output where it was started.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(from.path()), {}), 1);
}

TEST(DaemonTest, DebugModeStaysInTheForegroundWritesToTheConsoleAndStopsOnSIGINT) {
    TempDir dir;
    HvpsdProcess hvpsd(dir.path());
    hvpsd.writeConfig(freeLoopbackPort());
    hvpsd.start(withRoot({"-d"}));
    pid_t pid = hvpsd.waitForPidFile();
    ASSERT_EQ(pid, hvpsd.serverPid()) << hvpsd.output();

    ASSERT_TRUE(hvpsd.signalServer(SIGINT));
    auto status = hvpsd.waitForStarted();
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exitedWith(0)) << describe(*status);
    std::string out = hvpsd.output();
    EXPECT_TRUE(std::regex_search(out, kBanner)) << out;
    EXPECT_TRUE(std::regex_search(out, kEndsWithShutdown)) << out;
    EXPECT_FALSE(std::filesystem::exists(hvpsd.path("hvpsd.log")));
    EXPECT_FALSE(hvpsd.pidFileExists());
}

TEST(DaemonTest, ConfigurationOrSpaceDBErrorEndsTheStartWithStatus1AndItsMessageInTheLog) {
    struct Case {
        bool writeConfig;
        std::string logged;
        std::string spaceDB;  // replaces the empty one when not empty
    };
    const std::string garbage = hvps_test::randomBytes(4096, 13);
    const std::vector<Case> cases = {
        {false, "Cannot find configuration file: './hvps.config'\n", ""},
        // A damaged table must not start as an empty one that gives the old ids out again.
        {true, "Space database ./data/space-db is damaged at line 1: ", garbage},
    };
    for (const auto& c : cases) {
        TempDir dir;
        HvpsdProcess hvpsd(dir.path());
        if (c.writeConfig) hvpsd.writeConfig(freeLoopbackPort());
        if (!c.spaceDB.empty()) writeFile(hvpsd.path("data/space-db"), c.spaceDB);
        auto launcher = hvpsd.launch(withRoot({}));
        ASSERT_TRUE(launcher) << "the launcher did not end";
        EXPECT_TRUE(launcher->exitedWith(1)) << describe(*launcher);
        // Which of the two messages depends on how fast the server's exit is seen.
        EXPECT_NE(hvpsd.output().find(" Check log file " + dir.path() +
                                      "/hvpsd.log for possible error messages.\n"),
                  std::string::npos)
            << hvpsd.output();
        std::string log = hvpsd.log();
        EXPECT_NE(log.find(c.logged), std::string::npos) << log;
        EXPECT_TRUE(std::regex_search(log, kEndsWithShutdown)) << log;
        // The launcher repeats the log's first error line after its message.
        size_t error = log.find(" [Error] ");
        ASSERT_NE(error, std::string::npos) << log;
        size_t begin = log.rfind('\n', error) + 1;
        EXPECT_TRUE(hvpsd.output().ends_with(log.substr(begin, log.find('\n', error) + 1 - begin)))
            << hvpsd.output();
        EXPECT_FALSE(hvpsd.pidFileExists());
    }
}

// A pid file that names a live process refuses the start and is kept; one that names none ("0" too,
// though kill() takes it for the process group) is replaced by the new server's.
TEST(DaemonTest, PidFileOfALiveProcessRefusesTheStartAndAStaleOneIsReplaced) {
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    ASSERT_GT(dead, 0);
    waitpid(dead, nullptr, 0);

    const std::string live = std::to_string(getpid());
    for (const std::string& pid : {live, std::string("0"), std::string("garbage"), std::to_string(dead)}) {
        SCOPED_TRACE(pid);
        TempDir dir;
        HvpsdProcess hvpsd(dir.path());
        hvpsd.writeConfig(freeLoopbackPort());
        writeFile(hvpsd.path("hvpsd.pid"), pid);
        auto launcher = hvpsd.launch(withRoot({}));
        ASSERT_TRUE(launcher);
        if (pid == live) {
            EXPECT_TRUE(launcher->exitedWith(1)) << describe(*launcher);
            EXPECT_EQ(hvpsd.output(), "Error: HVPS may already be running, process ID: " + live +
                                          "\nIf this is not a HVPS process remove the '" + dir.path() +
                                          "/hvpsd.pid' file and restart.\n");
            EXPECT_EQ(readFile(hvpsd.path("hvpsd.pid")), live);
            EXPECT_FALSE(std::filesystem::exists(hvpsd.path("hvpsd.log")));
            continue;
        }
        ASSERT_TRUE(launcher->exitedWith(0)) << hvpsd.output() << hvpsd.log();
        EXPECT_EQ(readFile(hvpsd.path("hvpsd.pid")), std::to_string(hvpsd.serverPid()));
        ASSERT_TRUE(hvpsd.signalServer(SIGTERM));
        auto status = hvpsd.waitForServerExit();
        ASSERT_TRUE(status && status->exitedWith(0));
    }
}

TEST(DaemonTest, CommandLineAndEnvironmentErrorsPrintTheirMessageAndExitWith1) {
    TempDir dir;
    writeFile(dir.file("plain-file"), "");
    struct Case {
        std::vector<std::string> args;
        std::string output;  // exact, or a prefix when `prefixOnly`
        bool prefixOnly = false;
    };
    // The first line of each explanation.
    const std::string daemonMode = "When starting in daemon mode the working dir and user id should be\n";
    const std::string rootRefused = "Error: server started as UNIX root user\n";
    std::vector<Case> cases = {
        {{"-x", "--bad"}, "Error: unknown command line argument: -x\n"},
        {{"-D", "-r"}, daemonMode, true},
        {{"-D", "-w", dir.path()}, daemonMode, true},
        {{"-r", "-w", dir.file("missing")}, "Path does not exist: \"" + dir.file("missing") + "\".\n"},
        {{"-r", "-w", dir.file("plain-file")},
         "Path is not a directory: \"" + dir.file("plain-file") + "\".\n"},
    };
    if (runningAsRoot()) {
        cases.push_back({{}, rootRefused, true});
        cases.push_back({{"-u", "root"}, rootRefused, true});
        cases.push_back({{"-r", "-u", "no-such-user-hvps"}, "Error: getpwnam() failed: ", true});
    } else {
        cases.push_back({{"-u", "nobody"},
                         "Error: only the root user can set the server's runtime user, you are: ",
                         true});
    }
    for (const auto& c : cases) {
        HvpsdProcess hvpsd(dir.path());
        hvpsd.start(c.args);
        auto status = hvpsd.waitForStarted();
        ASSERT_TRUE(status);
        std::string out = hvpsd.output();
        EXPECT_TRUE(status->exitedWith(1)) << describe(*status) << "\n" << out;
        if (c.prefixOnly) {
            EXPECT_EQ(out.rfind(c.output, 0), 0u) << out;
        } else {
            EXPECT_EQ(out, c.output);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("hvpsd.log")));
}

TEST(DaemonTest, SignalSafeTimestampMatchesTheLogFormat) {
    const time_t times[] = {0,          951782400 /* 2000-02-29 */,  951868799,
                            1700000000, 4102444799 /* 2099-12-31 */, -31536000 /* 1969 */,
                            1234567890};
    const long offsets[] = {0, 3600, -18000, 19800, 50400, -43200};
    for (time_t t : times) {
        for (long off : offsets) {
            time_t shifted = t + off;
            struct tm parts;
            ASSERT_TRUE(gmtime_r(&shifted, &parts));
            char expected[32];
            strftime(expected, sizeof(expected), "%y%m%d %H:%M:%S", &parts);
            char got[32];
            EXPECT_EQ(hvps_format_log_time(got, t, off), 15u);
            EXPECT_STREQ(got, expected) << "t=" << t << " offset=" << off;
        }
    }
}

}  // namespace
