#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CSOptions.h"

namespace {

using Log = std::vector<std::string>;

std::string show(const char* text) { return text ? text : "(none)"; }

// Records every report as one line of text.
class Recorder : public CSOptions {
public:
    Recorder() {
        setComandLine("options");
        addOption(1, 'h', "help", nullptr, "This help message");
        addOption(2, 'd', "debug", nullptr, nullptr);
        addOption(9, 'p', "pid-file", "pid_file", "The server's process ID log file");
        addOption(7, 'c', "config-file", "config_file", nullptr);
        addOption(14, 0, "verbose", nullptr, nullptr);
        addOption(15, 0, "verbose-level", "n", nullptr);
        setDefault(9, "./hvpsd.pid");
        setDefault(7, "./hvps.config");
        setDefault(99, "ignored");
    }

    void setOption(int id, const char* value) override {
        iLog.push_back("set " + std::to_string(id) + " " + show(value));
    }
    void setOptionExpectedValue(int id, const char* arg) override {
        iLog.push_back("expected " + std::to_string(id) + " " + arg);
    }
    void setOptionUnexpectedValue(int id, const char* arg, const char* value) override {
        iLog.push_back("unexpected " + std::to_string(id) + " " + arg + " " + value);
    }
    void setOptionAlreadySpecified(const char* arg) override { iLog.push_back(std::string("again ") + arg); }
    void setUnknownOption(const char* arg) override { iLog.push_back(std::string("unknown ") + arg); }

    Log run(std::vector<std::string> args) {
        iLog.clear();
        args.insert(args.begin(), "/usr/local/bin/hvpsd");
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        load(static_cast<int>(argv.size()), argv.data());
        return iLog;
    }

    Log iLog;
};

}  // namespace

TEST(CSOptionsTest, ArgumentsAreReportedInOrderAndDefaultsFollow) {
    const std::string pidDefault = "set 9 ./hvpsd.pid";
    const std::string configDefault = "set 7 ./hvps.config";
    struct Case {
        std::vector<std::string> args;
        Log expected;
    };
    const Case cases[] = {
        {{}, {pidDefault, configDefault}},
        {{"-d", "-p", "x.pid"}, {"set 2 (none)", "set 9 x.pid", configDefault}},
        {{"--pid-file=a.pid", "--debug"}, {"set 9 a.pid", "set 2 (none)", configDefault}},
        {{"--config-file"}, {"expected 7 --config-file", pidDefault}},
        {{"--config-file="}, {"set 7 ", pidDefault}},
        {{"--config-filex"}, {"unknown --config-filex", pidDefault, configDefault}},
        {{"--verb", "--verbosex"}, {"unknown --verb", "unknown --verbosex", pidDefault, configDefault}},
        {{"--verbose", "--verbose-level=3"}, {"set 14 (none)", "set 15 3", pidDefault, configDefault}},
        {{"-p", "-d"}, {"expected 9 -p", "set 2 (none)", configDefault}},
        {{"-c"}, {"expected 7 -c", pidDefault}},
        {{"-d", "--debug"}, {"set 2 (none)", "again --debug", pidDefault, configDefault}},
        {{"-p", "a", "-p", "b"}, {"set 9 a", "again -p", configDefault}},
        {{"--debug=yes"}, {"unexpected 2 --debug=yes yes", pidDefault, configDefault}},
        {{"-dv", "-", "--", "plain", "-z", "-pfile"},
         {"unknown -dv", "unknown -", "unknown --", "unknown plain", "unknown -z", "unknown -pfile",
          pidDefault, configDefault}},
    };
    for (const Case& c : cases) {
        Recorder options;
        std::string label;
        for (const std::string& arg : c.args) label += arg + " ";
        EXPECT_EQ(options.run(c.args), c.expected) << label;
    }
}
