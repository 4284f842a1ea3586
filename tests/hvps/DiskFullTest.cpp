// The real hvpsd on a repository that runs out of room: a 2 MiB tmpfs mounted by the test (as
// root; skipped with a message where mounting is not allowed). Uploads that hit ENOSPC must get an
// error reply and leave their file as it was acknowledged, a space creation that cannot save
// space-db must fail and keep the previous file, and the server must go on serving.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "HVPSClient.h"
#include "ServerFixture.h"
#include "ServerProbe.h"
#include "TestSupport.h"

using hvps_test::readFile;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class DiskFullTest : public hvps_test::ServerWithSpace {
protected:
    void SetUp() override {
        fs::create_directories(iServer.path("data"));
        if (geteuid() != 0 || mount("tmpfs", iServer.path("data").c_str(), "tmpfs", 0, "size=2m") != 0)
            GTEST_SKIP() << "cannot mount a small tmpfs here (" << strerror(errno) << "): needs root";
        iMounted = true;
        startServer("");
    }
    void TearDown() override {
        if (iServer.serverPid() != 0) {
            iServer.signalServer(SIGKILL);
            iServer.waitForServerExit(20s);
        }
        if (iMounted) umount2(iServer.path("data").c_str(), MNT_DETACH);
    }

    // Fills what is left of the file system with a file of the test's own; returns its path.
    std::string fillUp() {
        const std::string path = iServer.path("data/filler");
        std::ofstream out(path, std::ios::binary);
        const std::string block(4096, 'f');
        for (int i = 0; i < 1024 && out.write(block.data(), block.size()); i++) {
        }
        return path;
    }

    bool iMounted = false;
};

TEST_F(DiskFullTest, UploadsAndASpaceThatHitAFullDiskFailAndLeaveWhatWasAcknowledged) {
    const std::string space = spacePath("");
    ASSERT_EQ(iClient.put("keep.bin", std::string(300000, 'k').data(), 300000).status, 201);

    // A replace larger than the disk: refused, the old file stays.
    std::string big(3u << 20, 'b');
    const HVPSReply& replace = iClient.put("keep.bin", big.data(), big.size());
    EXPECT_FALSE(replace.ok()) << replace.status << " " << replace.message;
    EXPECT_EQ(readFile(space + "keep.bin"), std::string(300000, 'k'));

    // Records appended until the disk is full: the log holds exactly the acknowledged ones.
    std::string expected, record;
    bool refused = false;
    for (int i = 0; i < 40 && !refused; i++) {
        std::string body(200000, static_cast<char>('a' + i % 26));
        const HVPSReply& reply = iClient.appendRecord("protolog/1.log", body.data(), body.size());
        if (reply.ok()) {
            HVPSClient::buildLogRecord(body.data(), body.size(), record);
            expected += record;
        } else {
            refused = true;
            EXPECT_GE(reply.status, 400) << reply.message;
        }
    }
    EXPECT_TRUE(refused) << "the disk never filled up";
    EXPECT_EQ(readFile(space + "protolog/1.log"), expected);

    // The last bytes taken too: a new space cannot be saved, and space-db keeps the existing one.
    const std::string spaceDB = readFile(iServer.path("data/space-db"));
    const std::string filler = fillUp();
    HVPSClient client("127.0.0.1", iPort);
    client.setTimeout(10000);
    HVPSSpaceURL url;
    const HVPSReply& created = client.createSpace(iServerKey, "no room", "1.0", &url);
    EXPECT_FALSE(created.ok()) << created.status << " " << created.message;
    EXPECT_EQ(readFile(iServer.path("data/space-db")), spaceDB);
    EXPECT_TRUE(hvps_test::isPing(hvps_test::oneReply(iPort, hvps_test::kPingRequest)));
    EXPECT_TRUE(iClient.login().ok()) << "the existing space is still served";

    // Room again: uploads and new spaces go on.
    fs::remove(filler);
    fs::remove(space + "keep.bin");
    EXPECT_EQ(iClient.appendRecord("protolog/1.log", std::string(100, 'z').data(), 100).status, 201);
    EXPECT_TRUE(client.createSpace(iServerKey, "room again", "1.0", &url).ok());
    EXPECT_NE(readFile(iServer.path("data/space-db")), spaceDB);
}

}  // namespace
