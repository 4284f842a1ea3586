// The command-line tools as a user runs them: hvps-md5pwd fed a password, and hvps-client
// against the real hvpsd (a space created with the password digest from hvps-md5pwd, then files
// moved through it), with their outputs and exit statuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <string>
#include <vector>

#include "HvpsdProcess.h"
#include "ServerFixture.h"
#include "TestSupport.h"

extern char** environ;

using hvps_test::HvpsdProcess;
using hvps_test::readFile;
using hvps_test::TempDir;
using hvps_test::writeFile;

namespace {

std::string toolPath(const char* name) {
    std::string hvpsd = HVPSD_PATH;
    return hvpsd.substr(0, hvpsd.rfind('/') + 1) + "tools/" + name;
}

struct ToolRun {
    int exitCode = -1;  // -1: did not exit normally within the time limit
    std::string out;
    std::string err;
};

// Runs `tool` with `args` under a time limit of 20 seconds, with `input` on its standard input (a
// file, so never a terminal), and collects both outputs.
ToolRun runTool(const char* tool, const std::vector<std::string>& args, const std::string& input = "") {
    TempDir dir;
    writeFile(dir.file("in"), input);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, dir.file("in").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, dir.file("out").c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, dir.file("err").c_str(), O_WRONLY | O_CREAT, 0600);
    std::vector<std::string> all = {"timeout", "20", toolPath(tool)};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int status = 0;
    ToolRun run;
    if (posix_spawnp(&pid, "timeout", &actions, nullptr, argv.data(), environ) == 0 &&
        waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) != 124)
        run.exitCode = WEXITSTATUS(status);
    posix_spawn_file_actions_destroy(&actions);
    run.out = readFile(dir.file("out"));
    run.err = readFile(dir.file("err"));
    return run;
}

// The digest of the first line of the input, upper case; refusals go to standard error alone.
TEST(ToolsTest, Md5pwdPrintsTheUpperCaseDigestOfTheFirstLineAndRefusesBadInput) {
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int exitCode;
        std::string out;    // a digest computed independently
        const char* error;  // in standard error; empty: nothing at all (no prompt without a terminal)
    } cases[] = {
        {{}, "secret\r\n", 0, HvpsdProcess::kPasswordDigest, ""},
        {{}, "secret", 0, HvpsdProcess::kPasswordDigest, ""},
        {{}, "  pass word  \n", 0, "B876EDEE6C0F464B91B2D5DDDC9D0D18", ""},  // blanks are part of it
        {{}, "first\nsecond\n", 0, "8B04D5E3775D298E78455EFC5CA404D5", ""},
        {{}, "\xC3\xA4\xC3\xB6\xC3\xBC\n", 0, "0A09D7EE1E23C509E5E6846C86823081", ""},
        {{}, "", 1, "", "empty"},
        {{}, "\n", 1, "", "empty"},
        {{}, std::string(5000, 'p') + "\n", 1, "", "longer than"},
        {{"secret"}, "", 2, "", "Error: unexpected argument: secret\nTry 'hvps-md5pwd --help'.\n"},
    };
    for (const auto& c : cases) {
        ToolRun run = runTool("hvps-md5pwd", c.args, c.input);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.input << run.err;
        EXPECT_EQ(run.out, c.out.empty() ? "" : c.out + "\n") << c.input;
        EXPECT_TRUE(*c.error ? run.err.find(c.error) != std::string::npos : run.err.empty()) << run.err;
    }
    ToolRun help = runTool("hvps-md5pwd", {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("server-password"), std::string::npos);
}

// A usage error is one line and a pointer to --help (status 2); a failed request or a local file
// that cannot be read is one line without either (status 1).
TEST(ToolsTest, ClientReportsUsageErrorsInOneLineWithStatus2AndOtherFailuresWith1) {
    int closedPort = hvps_test::freeLoopbackPort();
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* error;
    } cases[] = {
        {{}, 2, "no command given"},
        {{"frobnicate"}, 2, "unknown command"},
        {{"--bogus", "ping"}, 2, "unknown option"},
        {{"-p", "70000", "ping"}, 2, "invalid number"},
        {{"create-space"}, 2, "hvps-md5pwd"},
        {{"-k", "12", "create-space"}, 2, "32 hexadecimal"},
        {{"login"}, 2, "needs a space URL"},
        {{"-s", "hvp://1:XYZ@h:1/r/", "login"}, 2, "Invalid space URL"},
        {{"-s", "hvp://1:0123456789ABCDEF@h:1/r/", "--append", "--offset", "3", "put", "f"}, 2, "exclude"},
        {{"-p", std::to_string(closedPort), "-H", "127.0.0.1", "ping"}, 1, "Connection refused"},
        {{"-s", "hvp://1:0123456789ABCDEF@h:1/r/", "put", "f", "/no/f"}, 1, "Cannot open /no/f"},
    };
    for (const auto& c : cases) {
        ToolRun run = runTool("hvps-client", c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.error << ": " << run.err;
        EXPECT_EQ(run.err.rfind("Error: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
        std::string end = c.exitCode == 2 ? "\nTry 'hvps-client --help'.\n" : "\n";
        EXPECT_TRUE(run.err.ends_with(end)) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), c.exitCode == 2 ? 2 : 1) << run.err;
    }
    ToolRun help = runTool("hvps-client", {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("create-space"), std::string::npos);
}

// A person's session with the tools: a space is created with the digest that hvps-md5pwd prints,
// and a file goes up, comes back whole and in a window, is renamed and removed. The server was
// started under the common umask 022, yet what it creates is for its own user alone.
TEST(ToolsTest, ClientCreatesASpaceAndMovesFilesThroughARunningServer) {
    TempDir dir;
    HvpsdProcess server(dir.path());
    int port = hvps_test::freeLoopbackPort();
    server.writeConfig(port, "server-host=127.0.0.1\n");
    mode_t umaskBefore = umask(022);
    auto launched = server.launch(hvps_test::withRoot());
    umask(umaskBefore);
    ASSERT_TRUE(launched && launched->exitedWith(0)) << server.output();

    ToolRun digest = runTool("hvps-md5pwd", {}, std::string(HvpsdProcess::kPassword) + "\n");
    ASSERT_EQ(digest.exitCode, 0);
    std::string key = digest.out.substr(0, 32);
    std::string portText = std::to_string(port);

    ToolRun wrongKey = runTool("hvps-client", {"-p", portText, "-H", "127.0.0.1", "-k", std::string(32, '0'),
                                               "create-space", "Photos"});
    EXPECT_EQ(wrongKey.exitCode, 1);
    EXPECT_NE(wrongKey.err.find("error -25"), std::string::npos) << wrongKey.err;

    ToolRun created =
        runTool("hvps-client", {"-p", portText, "-H", "127.0.0.1", "-k", key, "create-space", "Photos"});
    ASSERT_EQ(created.exitCode, 0) << created.err;
    std::string url = created.out.substr(0, created.out.find('\n'));
    ASSERT_EQ(url.rfind("hvp://", 0), 0u) << created.out;

    std::string content;
    for (int i = 0; i < 900; i++) content += static_cast<char>('A' + i % 26);
    ASSERT_TRUE(writeFile(dir.file("local.txt"), content));
    auto client = [&](std::vector<std::string> more) {
        std::vector<std::string> all = {"-s", url};
        all.insert(all.end(), more.begin(), more.end());
        return runTool("hvps-client", all);
    };
    ToolRun put = client({"--md5", "put", "docs/a.txt", dir.file("local.txt")});
    ASSERT_EQ(put.exitCode, 0) << put.err;
    ToolRun refused = client({"put", "../a.txt", dir.file("local.txt")});
    EXPECT_EQ(refused.exitCode, 1) << "a refused upload is a failure";
    EXPECT_NE(refused.err.find("Illegal path"), std::string::npos) << refused.err;
    std::string spaceDir = dir.file("data/" + url.substr(6, url.find(':', 6) - 6));
    for (const auto& [path, mode] : std::vector<std::pair<std::string, mode_t>>{
             {dir.file("data/space-db"), 0600}, {spaceDir, 0700}, {spaceDir + "/docs/a.txt", 0600}}) {
        struct stat st {};
        EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mode & 0777, mode) << path;
    }
    ToolRun whole = client({"get", "docs/a.txt"});
    EXPECT_EQ(whole.exitCode, 0) << whole.err;
    EXPECT_EQ(whole.out, content);
    ToolRun window =
        client({"--seek", "100", "--length", "500", "get", "docs/a.txt", dir.file("window.txt")});
    EXPECT_EQ(window.exitCode, 0) << window.err;
    EXPECT_EQ(readFile(dir.file("window.txt")), content.substr(100, 500));

    EXPECT_EQ(client({"rename", "docs/a.txt", "b.txt"}).out, "Renamed OK\n");
    ToolRun missing = client({"get", "docs/a.txt", dir.file("window.txt")});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("File not found"), std::string::npos) << missing.err;
    EXPECT_EQ(readFile(dir.file("window.txt")), content.substr(100, 500))
        << "a failed download keeps the file";
    EXPECT_EQ(client({"remove", "docs/b.txt"}).out, "Removed OK\n");
    EXPECT_EQ(client({"remove", "docs/b.txt"}).out, "Already removed\n");
}

}  // namespace
