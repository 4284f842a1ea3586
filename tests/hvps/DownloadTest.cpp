// Downloads from the real hvpsd through the client library: windows of a file, the reply headers,
// and the refusals. The files are written into the space before the start.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "ServerFixture.h"

using hvps_test::writeFile;

namespace {

// The repository is reached through a link of its own (a data folder moved to another disk): that
// link is followed, one below it is not.
class DownloadTest : public hvps_test::ServerWithSpace {
protected:
    std::string extraConfig() override { return "repository-data=./linked\n"; }
    void prepare() override {
        std::filesystem::create_directory_symlink("data", iServer.path("linked"));
        std::filesystem::create_symlink("f900.txt", spacePath("link.txt"));
        std::filesystem::create_directories(spacePath("dir/sub"));
        for (int i = 0; i < 900; i++) iContent += static_cast<char>(i % 251);
        writeFile(spacePath("f900.txt"), iContent);
        writeFile(spacePath("dir/noext"), "plain bytes");
        for (int i = 0; i < 300000; i++) iBig += static_cast<char>(i * 31 % 253);
        writeFile(spacePath("big.bin"), iBig);
        writeFile(spacePath("error.xml"),
                  "<?xml version='1.0'?><halvora><exception><errorcode>-25012"
                  "</errorcode><message>in a file</message></exception></halvora>");
    }
    std::vector<std::string> contentTypes(const HVPSReply& reply) {
        std::vector<std::string> values;
        for (uint32 i = 0; i < reply.headers.numHeaders(); i++)
            if (std::string(reply.headers.getHeader(i)->getNameCString()) == "Content-Type")
                values.push_back(reply.headers.getHeader(i)->getValueCString());
        return values;
    }

    std::string iContent;
    std::string iBig;
};

// Small windows are copied, large ones sent from the file; each small request after a large one
// shows the connection stayed in step.
TEST_F(DownloadTest, WindowsOfSmallAndLargeFilesAreServedOnOneKeptAliveConnection) {
    struct Case {
        bool big;
        std::optional<uint64> seek, max;
        bool asArguments;
        size_t from, length;
    } cases[] = {
        {false, {}, {}, false, 0, 900},
        {false, 100, 500, false, 100, 500},
        {false, 100, 850, false, 100, 800},
        {false, 100, 500, true, 100, 500},
        {false, 900, {}, false, 900, 0},
        {false, 5000, {}, true, 900, 0},
        {false, 901, {}, false, 900, 0},
        {false, UINT64_MAX, 5, false, 900, 0},
        {false, 0, 0, false, 0, 0},
        {true, {}, {}, false, 0, 300000},
        {true, 12345, 200000, false, 12345, 200000},
        {true, 250000, {}, false, 250000, 50000},
        {true, 290000, 20000, false, 290000, 10000},
        {true, 100, 16384, false, 100, 16384},
        {true, 100, 16383, false, 100, 16383},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.big ? "big" : "small") + " from " + std::to_string(c.from) + " length " +
                     std::to_string(c.length));
        const HVPSReply& reply = iClient.get(c.big ? "big.bin" : "f900.txt", {c.seek, c.max, c.asArguments});
        ASSERT_EQ(reply.status, 200) << reply.body;
        EXPECT_STREQ(reply.header("P1Length"), c.big ? "300000" : "900");
        EXPECT_TRUE(reply.body == (c.big ? iBig : iContent).substr(c.from, c.length))
            << "body of " << reply.body.size() << " bytes";
        EXPECT_EQ(iClient.get("f900.txt", {100, 10, false}).body, iContent.substr(100, 10));
    }
    EXPECT_EQ(contentTypes(iClient.get("f900.txt")), (std::vector<std::string>{"text/html", "text/plain"}));
    EXPECT_EQ(iClient.get("dir/noext").body, "plain bytes");
    EXPECT_EQ(contentTypes(iClient.get("dir/noext")), std::vector<std::string>{"text/html"});
    // A file that looks like an error reply is data; a body handed to a sink arrives whole.
    EXPECT_TRUE(iClient.get("error.xml").ok());
    std::string received;
    EXPECT_TRUE(
        iClient.get("big.bin", {}, [&](const char* data, size_t n) { received.append(data, n); }).ok());
    EXPECT_TRUE(received == iBig);
    EXPECT_EQ(iClient.connectionCount(), 1u);
}

TEST_F(DownloadTest, MissingFilesFoldersLinksAndMalformedWindowsAreRefusedBeforeAnyByteIsSent) {
    std::string id = std::to_string(iSpaceID);
    struct Case {
        const char* path;
        const char* headers;
        int status;
        std::string inBody;
    } cases[] = {
        {"missing.txt", "", 404, "File not found: " + id + "/missing.txt"},
        {"dir/sub", "", 404, "File not found: " + id + "/dir/sub"},
        {"f900.txt", "Seek-Pos: 1x\r\n", 400, "<errorcode>-25014</errorcode>"},
        {"f900.txt", "Maximum-Length: -1\r\n", 400, "<errorcode>-25014</errorcode>"},
        {"link.txt", "", 403, "Illegal path: " + id + "/link.txt"},
    };
    for (const Case& c : cases) {
        const HVPSReply& reply = iClient.rawRequest("GET", spaceURL(c.path), c.headers, nullptr, 0);
        EXPECT_EQ(reply.status, c.status) << c.path;
        EXPECT_NE(reply.body.find(c.inBody), std::string::npos) << reply.body;
    }
    std::string received;
    EXPECT_EQ(
        iClient.get("missing.txt", {}, [&](const char* data, size_t n) { received.append(data, n); }).status,
        404);
    EXPECT_EQ(received, "") << "an error reply is not handed to the sink";
}

}  // namespace
