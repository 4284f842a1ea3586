#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "CSException.h"
#include "TestSupport.h"
#include "config_hvps.h"

using hvps_test::TempDir;
using hvps_test::writeFile;

namespace {

constexpr const char* kDigest = "5ebe2294ecd0e0f08eab7690d2a6ee69";
// The notes logged, in this order, before a refused password or repository size.
const std::vector<std::string> kPasswordNotes = {
    " [Note] Use the program 'hvps-md5pwd' to generate a MD5 hash value\n",
    " [Note] (32 character hex string) for your password.\n"};
const std::vector<std::string> kSizeNotes = {
    " [Note] The system parameter 'repository-size' must be specified\n",
    " [Note] before HVPS will start. The minimum size is 10MB.\n"};

// Fresh defaults for every test and the log captured in a temporary file.
class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        setConfigDefaults();
        hvps_system_parameters.iVerbose = hvps_system_parameters.iTraceOn = false;
        CSException::dumpStack = false;
    }
    void TearDown() override { CSException::dumpStack = false; }
    std::string logText() { return iLog.text(); }
    // Runs `f` and returns the message of the CSException it raises (code must be -14008).
    std::string configError(const std::function<void()>& f) {
        hvps_test::Caught e = hvps_test::caught(f);
        EXPECT_EQ(e.code, -14008) << e.message;
        return e.message;
    }

    hvps_test::CapturedLog iLog;
    TempDir iDir;
};

const HVPSSystemParameters& params() { return hvps_system_parameters; }

TEST_F(ConfigTest, AcceptedValuesAreStoredWithTheirUnitsAndLimits) {
    std::string dir = iDir.path();
    struct Case {
        const char* key;
        std::string value;
        std::function<bool()> holds;
    };
    const std::vector<Case> cases = {
        {"repository-size", "10M", [] { return params().iRepositorySize == 10485760; }},
        {"repository-size", "9.99GB",
         [] { return params().iRepositorySize == 9ull << 30 && params().iRepositorySizeText == "9.99GB"; }},
        {"server-port", "8080x", [] { return params().iServerPort == 8080; }},
        {"Server-Port", "65535", [] { return params().iServerPort == 65535; }},
        {"server-port", "", [] { return params().iServerPort == 37655; }},
        {"server-host", std::string(150, 'h'), [] { return params().iServerHost == std::string(99, 'h'); }},
        {"server-host", "", [] { return !params().iServerHost.empty(); }},
        {"server-password", kDigest, [] { return params().iServerPassword == kDigest; }},
        {"SERVER-PASSWORD", "5EBE2294ECD0E0F08EAB7690D2A6EE69",
         [] { return params().iServerPassword == "5EBE2294ECD0E0F08EAB7690D2A6EE69"; }},
        {"repository-data", dir + "/", [dir] { return params().iRepositoryPath == dir; }},
        {"repository-data", "", [] { return params().iRepositoryPath == "./data"; }},
        {"repository-name", "My_Repo-2", [] { return params().iRepositoryName == "My_Repo-2"; }},
        {"repository-name", std::string(39, 'a'),
         [] { return params().iRepositoryName == std::string(39, 'a'); }},
        {"repository-name", "", [] { return params().iRepositoryName == "repo1"; }},
        {"poll-interval", "45 seconds", [] { return params().iPollInterval == 45; }},
        {"store-space-titles", "YES", [] { return params().iStoreSpaceTitles; }},
        {"maximum-connections", "-3",
         [] { return params().iMinHandlers == -3 && params().iMaxHandlers == -3; }},
        {"maximum-connections", "",
         [] { return params().iMinHandlers == 20 && params().iMaxHandlers == 20; }},
        {"connection-timeout", "", [] { return params().iConnectionTimeout == 0; }},
        {"connection-timeout", "4294967295", [] { return params().iConnectionTimeout == 4294967295u; }},
        {"put-verify-timeout", "", [] { return params().iPutVerifyTimeout == 0; }},
        {"put-verify-timeout", "2500", [] { return params().iPutVerifyTimeout == 2500; }},
        {"verbose", "yes", [] { return params().iVerbose && CSException::dumpStack; }},
        {"trace-on", "TRUE", [] { return params().iTraceOn; }},
        {"sync-uploads", "No", [] { return !params().iSyncUploads; }},
        {"sync-uploads", "", [] { return params().iSyncUploads; }},
    };
    for (const auto& c : cases) {
        setConfigDefaults();
        EXPECT_NO_THROW(setSystemParameter(c.key, c.value.c_str())) << c.key << "=" << c.value;
        EXPECT_TRUE(c.holds()) << c.key << "=" << c.value;
    }
    EXPECT_EQ(logText(), "");
}

TEST_F(ConfigTest, SwitchesAreClearedByAnyOtherNonEmptyValueAndARefusedValueChangesNothing) {
    setSystemParameter("verbose", "yes");
    setSystemParameter("trace-on", "yes");
    setSystemParameter("store-space-titles", "yes");
    setSystemParameter("verbose", "");
    setSystemParameter("trace-on", "");
    setSystemParameter("store-space-titles", "");
    EXPECT_TRUE(params().iVerbose && CSException::dumpStack && params().iTraceOn &&
                params().iStoreSpaceTitles);
    setSystemParameter("verbose", "on");
    setSystemParameter("trace-on", "1");
    setSystemParameter("store-space-titles", "no");
    EXPECT_FALSE(params().iVerbose || CSException::dumpStack || params().iTraceOn ||
                 params().iStoreSpaceTitles);

    // A refused value leaves the field as it was.
    setSystemParameter("server-port", "8080");
    EXPECT_THROW(setSystemParameter("server-port", "0"), CSException);
    EXPECT_EQ(params().iServerPort, 8080);
}

TEST_F(ConfigTest, RefusedValuesRaiseTheirMessageAfterTheirNotes) {
    struct Case {
        const char* key;
        std::string value;
        std::string message;
        std::vector<std::string> notes;
    };
    const std::string longName(40, 'a');
    const std::vector<Case> cases = {
        {"server-password", "", "Server password (server-password) not specified", kPasswordNotes},
        {"server-password", std::string(kDigest) + "0",
         "Server password (server-password) is not the result of an MD5 hash", kPasswordNotes},
        {"server-password", "5ebe2294ecd0e0f08eab7690d2a6ee6g",
         "Server password (server-password) is not the result of an MD5 hash", kPasswordNotes},
        {"server-port", "0", "Invalid port (server-port) number: 0", {}},
        {"server-port", "99999999999", "Invalid port (server-port) number: 99999999999", {}},
        {"repository-data",
         iDir.file("missing"),
         "Repository path (repository-path) does not exist: " + iDir.file("missing"),
         {}},
        {"repository-name", longName, "Repository name (repository-name) to long, 39 characters allowed", {}},
        {"repository-name",
         longName + ".",
         "Repository name (repository-name) '" + longName +
             ".', contains invalid character, allowed a-z, A-Z, 0-9, _",
         {}},
        {"repository-size", "", "Repository size (repository-size) not specified", kSizeNotes},
        {"repository-size", "100B", "Invalid repository size (repository-size): 100B", kSizeNotes},
        {"repository-size", "9.99MB", "Repository size (repository-size), 9.99MB, is less than 10MB",
         kSizeNotes},
        {"connection-timeout", "12s", "Connection timeout (connection-timeout) value is invalid: 12s", {}},
        {"connection-timeout",
         "4294967296",
         "Connection timeout (connection-timeout) value is invalid: 4294967296",
         {}},
        {"put-verify-timeout",
         "1e3",
         "Put verification timeout (put-verify-timeout) value is invalid: 1e3",
         {}},
        {"sync-uploads", "off", "Upload flushing (sync-uploads) must be yes or no: off", {}},
        {"server-password-source", "secret", "Unknown system parameter: 'server-password-source'", {}},
    };
    for (const auto& c : cases) {
        setConfigDefaults();
        const size_t before = logText().size();
        EXPECT_EQ(configError([&] { setSystemParameter(c.key, c.value.c_str()); }), c.message)
            << c.key << "=" << c.value;
        std::string notes = logText().substr(before);
        if (c.notes.empty()) {
            EXPECT_EQ(notes, "") << c.key << "=" << c.value;
        }
        size_t at = 0;
        for (const std::string& note : c.notes) {
            at = notes.find(note, at);
            EXPECT_NE(at, std::string::npos) << note << " in:\n" << notes;
        }
    }
}

TEST_F(ConfigTest, FileWithPasswordAndSizeOnlyKeepsEveryOtherDefaultAndTheLaterLineWins) {
    std::string path = iDir.file("hvps.config");
    writeFile(path,
              std::string("# comment\r\n\r\n  server-password = ") + kDigest + "\r\nrepository-size 10MB");
    loadConfig(path.c_str());
    const auto& p = params();
    EXPECT_EQ(p.iServerPassword, kDigest);
    EXPECT_EQ(p.iRepositorySize, 10485760u);
    EXPECT_EQ(p.iRepositorySizeText, "10MB");
    EXPECT_EQ(p.iServerPort, 37655);
    EXPECT_EQ(p.iRepositoryPath, "./data");  // not checked for existence when defaulted
    EXPECT_EQ(p.iPollInterval, 30);
    EXPECT_EQ(p.iMinHandlers, 20);
    EXPECT_EQ(p.iMaxHandlers, 20);
    EXPECT_EQ(p.iConnectionTimeout, 120000u);
    EXPECT_EQ(p.iPutVerifyTimeout, 100000u);
    EXPECT_FALSE(p.iStoreSpaceTitles);

    // The later line of a key wins.
    writeFile(path, std::string("server-password=") + kDigest +
                        "\nrepository-size=10MB\nserver-port=1000\nSERVER-PORT=2000\nrepository-size=1GB\n");
    loadConfig(path.c_str());
    EXPECT_EQ(params().iServerPort, 2000);
    EXPECT_EQ(params().iRepositorySize, 1ull << 30);
}

TEST_F(ConfigTest, MissingRequiredValueIsReportedInCheckOrder) {
    struct Case {
        std::string content;
        std::function<void()> prepare;
        std::string message;
    };
    const std::string password = std::string("server-password=") + kDigest + "\n";
    const std::vector<Case> cases = {
        {"", [] {}, "System parameter 'server-password' not specified"},
        {"repository-size=10MB\n", [] {}, "System parameter 'server-password' not specified"},
        {password, [] { hvps_system_parameters.iServerHost.clear(); },
         "System parameter 'server-host' not specified"},
        {password, [] { hvps_system_parameters.iRepositoryPath.clear(); },
         "System parameter 'repository-data' not specified"},
        {password, [] { hvps_system_parameters.iRepositoryName.clear(); },
         "System parameter 'repository-name' not specified"},
        {password, [] {}, "System parameter 'repository-size' not specified"},
    };
    std::string path = iDir.file("hvps.config");
    for (const auto& c : cases) {
        setConfigDefaults();
        c.prepare();
        writeFile(path, c.content);
        EXPECT_EQ(configError([&] { loadConfig(path.c_str()); }), c.message) << c.content;
    }
}

}  // namespace
