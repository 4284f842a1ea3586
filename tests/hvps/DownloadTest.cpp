// Downloads from the real hvpsd through the client library: windows of a file, the reply headers,
// and the refusals. The spaces are written into the repository before the server starts.
#include <gtest/gtest.h>
#include <strings.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CSStrUtil.h"
#include "ConnectionHandler_hvps.h"
#include "HVPSClient.h"
#include "HvpsdProcess.h"
#include "Space_hvps.h"
#include "TestSupport.h"
#include "config_hvps.h"

using hvps_test::describe;
using hvps_test::freeLoopbackPort;
using hvps_test::HvpsdProcess;
using hvps_test::TempDir;
using hvps_test::writeFile;

namespace {

std::vector<std::string> withRoot(std::vector<std::string> args) {
    if (geteuid() == 0) args.insert(args.begin(), "-r");
    return args;
}

// Creates a space in the repository `data` (space-db rewritten) and returns its id and key.
uint32 makeSpace(const std::string& data, unsigned char key[HVPS_SPACE_KEY_LEN]) {
    hvps_system_parameters.iRepositoryPath = data;
    loadSpaces();
    uint32 id = 0;
    char hexKey[HVSpace::kHexKeySize];
    createSpace("downloads", &id, hexKey);
    freeSpaces();
    cs_hex_to_bin(HVPS_SPACE_KEY_LEN, key, hexKey);
    return id;
}

// The values of every header called `name`, in order.
std::vector<std::string> headerValues(const HVPSReply& reply, const char* name) {
    std::vector<std::string> values;
    for (uint32 i = 0; i < reply.headers.numHeaders(); i++) {
        CSHeader* h = reply.headers.getHeader(i);
        if (strcasecmp(h->getNameCString(), name) == 0) values.push_back(h->getValueCString());
    }
    return values;
}

class DownloadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sDir = new TempDir();
        sServer = new HvpsdProcess(sDir->path());
        sPort = freeLoopbackPort();
        sServer->writeConfig(sPort);
        std::string data = sServer->path("data");
        sSpaceID = makeSpace(data, sKey);
        std::string space = data + "/" + std::to_string(sSpaceID);
        for (int i = 0; i < 900; i++) sContent += static_cast<char>(i % 251);
        std::filesystem::create_directories(space + "/dir/sub");
        writeFile(space + "/f900.txt", sContent);
        writeFile(space + "/dir/noext", "plain bytes");
        sLaunch = sServer->launch(withRoot({}));
    }
    static void TearDownTestSuite() {
        delete sServer;
        delete sDir;
    }
    void SetUp() override {
        ASSERT_TRUE(sLaunch && sLaunch->exitedWith(0))
            << (sLaunch ? describe(*sLaunch) : "timeout") << sServer->output() << sServer->log();
        iClient.setSpace(sSpaceID, sKey, "repo1");
    }

    static TempDir* sDir;
    static HvpsdProcess* sServer;
    static int sPort;
    static std::optional<hvps_test::ExitStatus> sLaunch;
    static uint32 sSpaceID;
    static unsigned char sKey[HVPS_SPACE_KEY_LEN];
    static std::string sContent;

    HVPSClient iClient{"127.0.0.1", sPort};
};

TempDir* DownloadTest::sDir = nullptr;
HvpsdProcess* DownloadTest::sServer = nullptr;
int DownloadTest::sPort = 0;
std::optional<hvps_test::ExitStatus> DownloadTest::sLaunch;
uint32 DownloadTest::sSpaceID = 0;
unsigned char DownloadTest::sKey[HVPS_SPACE_KEY_LEN] = {};
std::string DownloadTest::sContent;

TEST_F(DownloadTest, WindowsOfA900ByteFileAreServedOnOneKeptAliveConnection) {
    struct Case {
        std::optional<uint64> seek;
        std::optional<uint64> max;
        bool asArguments;
        size_t from;
        size_t length;
    } cases[] = {
        {{}, {}, false, 0, 900},        {100, 500, false, 100, 500}, {100, 850, false, 100, 800},
        {100, 500, true, 100, 500},     {900, {}, false, 900, 0},    {901, {}, false, 900, 0},
        {UINT64_MAX, 5, false, 900, 0}, {0, 0, false, 0, 0},         {899, {}, false, 899, 1},
    };
    for (const Case& c : cases) {
        HVPSGetOptions options;
        options.seekPos = c.seek;
        options.maxLength = c.max;
        options.asArguments = c.asArguments;
        const HVPSReply& reply = iClient.get("f900.txt", options);
        std::string label = "seek " + (c.seek ? std::to_string(*c.seek) : "-") + " max " +
                            (c.max ? std::to_string(*c.max) : "-");
        ASSERT_EQ(reply.status, 200) << label << reply.body;
        EXPECT_EQ(reply.header("P1Length"), std::string("900")) << label;
        EXPECT_EQ(reply.header("Content-Length"), std::to_string(c.length)) << label;
        EXPECT_EQ(reply.body, sContent.substr(c.from, c.length)) << label;
    }
    EXPECT_EQ(iClient.connectionCount(), 1u);
}

TEST_F(DownloadTest, SecondContentTypeComesFromTheMimeTableOnlyForAKnownExtension) {
    const HVPSReply& txt = iClient.get("f900.txt");
    ASSERT_EQ(txt.status, 200);
    EXPECT_EQ(headerValues(txt, "Content-Type"), (std::vector<std::string>{"text/html", "text/plain"}));
    EXPECT_EQ(headerValues(txt, "Pragma"), std::vector<std::string>{"no-cache"});
    EXPECT_EQ(headerValues(txt, "Connection"), std::vector<std::string>{"Keep-Alive"});

    const HVPSReply& plain = iClient.get("dir/noext");
    ASSERT_EQ(plain.status, 200);
    EXPECT_EQ(plain.body, "plain bytes");
    EXPECT_EQ(headerValues(plain, "Content-Type"), std::vector<std::string>{"text/html"});
}

TEST_F(DownloadTest, MissingFilesFoldersBadWindowsAndUnknownSpacesAreRefusedBeforeAnyByteIsSent) {
    std::string id = std::to_string(sSpaceID);
    struct Case {
        const char* target;
        const char* headers;
        int status;
        std::string inBody;
    } cases[] = {
        {"missing.txt", "", 404, "File not found: " + id + "/missing.txt"},
        {"dir/sub", "", 404, "File not found: " + id + "/dir/sub"},
        {"f900.txt", "Seek-Pos: 1x\r\n", 400, "<errorcode>-25014</errorcode>"},
        {"f900.txt", "Maximum-Length: -1\r\n", 400, "<errorcode>-25014</errorcode>"},
        {"f900.txt", "P1RID: 2\r\n", 503, "<errorcode>-25018</errorcode>"},
    };
    for (const Case& c : cases) {
        std::string target = "/repo1/" + id + "/" + c.target;
        const HVPSReply& reply = iClient.rawRequest("GET", target, c.headers, nullptr, 0);
        EXPECT_EQ(reply.status, c.status) << c.target << " " << c.headers;
        EXPECT_NE(reply.body.find(c.inBody), std::string::npos) << reply.body;
    }
    const HVPSReply& unknown = iClient.rawRequest("GET", "/repo1/999999/f900.txt", "", nullptr, 0);
    EXPECT_EQ(unknown.status, 404);
    EXPECT_EQ(unknown.errorCode, HVPS_ERR_SPACE_NOT_FOUND);
    EXPECT_EQ(unknown.spaceStatus, 4u);
}

}  // namespace
