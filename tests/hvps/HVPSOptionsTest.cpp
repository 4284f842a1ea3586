#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "CSException.h"
#include "HVPSOptions.h"
#include "hvps_version.h"

namespace {

// Parses `args` (after the program path) into a fresh record, with output and errors captured.
struct Parsed {
    explicit Parsed(std::vector<std::string> args) {
        std::vector<std::string> all{"/usr/local/bin/hvpsd"};
        all.insert(all.end(), args.begin(), args.end());
        iArgs = all;
        for (auto& a : iArgs) iArgv.push_back(a.data());
        FILE* out = open_memstream(&iOutBuf, &iOutLen);
        FILE* err = open_memstream(&iErrBuf, &iErrLen);
        HVPSOptions options(params);
        options.setStreams(out, err);
        options.load(static_cast<int>(iArgv.size()), iArgv.data());
        stop = options.stop();
        dumpStack = CSException::dumpStack;
        fclose(out);
        fclose(err);
        output.assign(iOutBuf, iOutLen);
        errors.assign(iErrBuf, iErrLen);
        free(iOutBuf);
        free(iErrBuf);
        CSException::dumpStack = false;
    }

    HVPSSystemParameters params;
    bool stop = false;
    bool dumpStack = false;  // CSException::dumpStack after parsing
    std::string output;
    std::string errors;

private:
    std::vector<std::string> iArgs;  // argv points into these
    std::vector<char*> iArgv;
    char* iOutBuf = nullptr;
    size_t iOutLen = 0;
    char* iErrBuf = nullptr;
    size_t iErrLen = 0;
};

TEST(HVPSOptionsTest, EveryOptionSetsItsFieldInShortAndLongForm) {
    const std::vector<std::vector<std::string>> forms = {
        {"-d", "-r", "-t", "--verbose", "--restored", "-u", "bob", "-c", "a.config", "-l", "a.log", "-p",
         "a.pid", "-m", "a.types", "-w", "/srv"},
        {"--debug", "--allow-root", "--trace-on", "--verbose", "--restored", "--user=bob",
         "--config-file=a.config", "--log-file=a.log", "--pid-file=a.pid", "--mime-types-file=a.types",
         "--working-directory=/srv"},
    };
    for (const auto& args : forms) {
        Parsed p(args);
        EXPECT_FALSE(p.stop) << p.errors;
        EXPECT_EQ(p.errors, "");
        EXPECT_TRUE(p.params.iDebug && p.params.iAllowRoot && p.params.iTraceOn && p.params.iVerbose);
        EXPECT_TRUE(p.dumpStack);
        EXPECT_EQ(p.params.iRestoreState, 3);
        EXPECT_EQ(p.params.iUser.value_or(""), "bob");
        EXPECT_EQ(p.params.iConfigFile, "a.config");
        EXPECT_EQ(p.params.iLogFile, "a.log");
        EXPECT_EQ(p.params.iPidFile, "a.pid");
        EXPECT_EQ(p.params.iMimeTypesFile, "a.types");
        EXPECT_EQ(p.params.iWorkingDirectory.value_or(""), "/srv");
    }
    Parsed daemon({"-D"});
    EXPECT_TRUE(daemon.params.iLaunchedAsDaemon);
    Parsed daemonLong({"--launched-as-daemon"});
    EXPECT_TRUE(daemonLong.params.iLaunchedAsDaemon);
}

TEST(HVPSOptionsTest, OnlyTheFirstCommandLineErrorIsReported) {
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    const std::vector<Case> cases = {
        {{"-x"}, "Error: unknown command line argument: -x\n"},
        {{"config"}, "Error: unknown command line argument: config\n"},
        {{"-c"}, "Error: expected an value for command line argument: -c\n"},
        {{"-p", "-d"}, "Error: expected an value for command line argument: -p\n"},
        {{"--debug=yes"}, "Error: command line argument, '--debug=yes', does not require a value\n"},
        {{"-d", "--debug"}, "Error: command line argument '--debug', already specified\n"},
        {{"-x", "-d", "-d", "-c"}, "Error: unknown command line argument: -x\n"},
        {{"-d", "-d", "-y"}, "Error: command line argument '-d', already specified\n"},
    };
    for (const auto& c : cases) {
        Parsed p(c.args);
        EXPECT_TRUE(p.stop) << c.error;
        EXPECT_EQ(p.errors, c.error);
        EXPECT_EQ(p.output, "");
    }
    Parsed p({"-x", "-d", "--user=bob"});  // options after an error are not applied
    EXPECT_FALSE(p.params.iDebug);
    EXPECT_FALSE(p.params.iUser);
}

TEST(HVPSOptionsTest, VersionPrintsOneLineWithTheWordSizeAndStops) {
    Parsed p({"-v", "-d"});
    EXPECT_TRUE(p.stop);
    EXPECT_FALSE(p.params.iDebug);
    EXPECT_EQ(p.errors, "");
    std::string suffix = " : " + std::to_string(sizeof(void*) * 8) + "-bit\n";
    EXPECT_EQ(p.output.rfind("HVPS version: " HVPS_VERSION_TEXT " (VUDud 1.0.0(Built ", 0), 0u) << p.output;
    ASSERT_GE(p.output.size(), suffix.size());
    EXPECT_EQ(p.output.substr(p.output.size() - suffix.size()), suffix);
    EXPECT_EQ(p.output.find('\n'), p.output.size() - 1);
}

TEST(HVPSOptionsTest, HelpListsEveryOptionInOrderWithWrappedTexts) {
    Parsed p({"--help"});
    EXPECT_TRUE(p.stop);
    EXPECT_EQ(p.errors, "");
    const char* expected =
        "Usage: hvpsd options\n"
        "-h | --help\n"
        "               This help message.\n"
        "-d | --debug\n"
        "               Debug mode: the server is not started in the background,\n"
        "               and output is sent to the console (stdout), instead\n"
        "               of the log file.\n"
        "-r | --allow-root\n"
        "               Allow the server to be run as root.\n"
        "-u <unix_user> | --user=<unix_user>\n"
        "               The UNIX user to run the server as. To set this\n"
        "               the server must be started as root.\n"
        "-D | --launched-as-daemon\n"
        "               Daemon mode: the process launching the daemon\n"
        "               will set it's run environment. .\n"
        "-p <pid_file> | --pid-file=<pid_file>\n"
        "               The server's process ID log file (default: ./hvpsd.pid).\n"
        "-v | --version\n"
        "               Display version information.\n"
        "-t | --trace-on\n"
        "               Write a trace of calls to the server to the log\n"
        "               file.\n"
        "-c <config_file> | --config-file=<config_file>\n"
        "               The server's configuration file which contains\n"
        "               the system parameters (default: ./hvps.config).\n"
        "-l <log_file> | --log-file=<log_file>\n"
        "               The server's message and error log file (default:\n"
        "               ./hvpsd.log).\n"
        "-m <mime_types_file> | --mime-types-file=<mime_types_file>\n"
        "               A text file containing the mapping between MIME\n"
        "               types and file extensions (default: ./mime.types).\n"
        "-w <working_directory> | --working-directory=<working_directory>\n"
        "               The server's working directory.\n"
        "--verbose\n"
        "               Verbose loging: logs all errors, etc. and includes\n"
        "               stack traces.\n"
        "--restored\n"
        "               This flag indicates that the repository data has\n"
        "               been restored. It initiates recovery for all spaces\n"
        "               before client are allowed to connect.\n";
    EXPECT_EQ(p.output, expected);
}

}  // namespace
