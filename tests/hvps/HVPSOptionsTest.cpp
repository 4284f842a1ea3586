#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "CSException.h"
#include "HVPSOptions.h"
#include "hvps_version.h"

namespace {

// Parses `args` (after the program path) into a fresh record, with output and errors captured.
struct Parsed {
    explicit Parsed(std::vector<std::string> args) {
        args.insert(args.begin(), "/usr/local/bin/hvpsd");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        char *out = nullptr, *err = nullptr;
        size_t outLength = 0, errLength = 0;
        FILE* outFile = open_memstream(&out, &outLength);
        FILE* errFile = open_memstream(&err, &errLength);
        HVPSOptions options(params);
        options.setStreams(outFile, errFile);
        options.load(static_cast<int>(argv.size()), argv.data());
        stop = options.stop();
        dumpStack = std::exchange(CSException::dumpStack, false);
        fclose(outFile);
        fclose(errFile);
        output.assign(out, outLength);
        errors.assign(err, errLength);
        free(out);
        free(err);
    }

    HVPSSystemParameters params;
    bool stop = false;
    bool dumpStack = false;  // CSException::dumpStack after parsing
    std::string output;
    std::string errors;
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
    for (const char* daemon : {"-D", "--launched-as-daemon"})
        EXPECT_TRUE(Parsed({daemon}).params.iLaunchedAsDaemon);
    Parsed defaults({"--config-file="});
    EXPECT_EQ(defaults.errors, "");
    EXPECT_EQ(defaults.params.iConfigFile, "");
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
        // A long name is matched whole, a short one alone: no prefixes, no joined letters or values.
        {{"--config-filex"}, "Error: unknown command line argument: --config-filex\n"},
        {{"--verb"}, "Error: unknown command line argument: --verb\n"},
        {{"-dr"}, "Error: unknown command line argument: -dr\n"},
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
    EXPECT_TRUE(p.output.ends_with(suffix)) << p.output;
    EXPECT_EQ(p.output.find('\n'), p.output.size() - 1);
}

TEST(HVPSOptionsTest, HelpListsEveryOptionWrappedWithItsDefaultAndStops) {
    Parsed p({"--help"});
    EXPECT_TRUE(p.stop);
    EXPECT_EQ(p.errors, "");
    std::istringstream in(p.output);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "Usage: hvpsd options");
    int options = 0;
    while (std::getline(in, line)) {
        if (line.starts_with("-")) {
            options++;
        } else {
            EXPECT_TRUE(line.starts_with(std::string(15, ' ')) && line.size() <= 75) << line;
        }
    }
    EXPECT_EQ(options, 14) << p.output;
    EXPECT_NE(p.output.find("-l <log_file> | --log-file=<log_file>\n"
                            "               The server's message and error log file (default:\n"
                            "               ./hvpsd.log).\n"),
              std::string::npos)
        << p.output;
}

}  // namespace
