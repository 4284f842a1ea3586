// Uploads to the real hvpsd through the client library and raw sockets: the three placements, log
// records, the MD5 check with its cache, bodies cut short, uploads of one file waiting for each
// other, and the refusals; after every failure the file and the disk usage are checked to be as
// they were.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "DiskUsage_hvps.h"
#include "FileState_hvps.h"
#include "HVPSClient.h"
#include "ServerFixture.h"
#include "ServerProbe.h"
#include "TestSupport.h"

using hvps_test::readFile;
using hvps_test::writeFile;

namespace {

class UploadTest : public hvps_test::ServerWithSpace {
protected:
    void SetUp() override {}
    // The space with one file of 100 bytes, then `prepare`, then the server with `extraConfig`;
    // `diskUsage` is the stored total it starts from (empty: counted at start-up).
    void start(const std::string& extraConfig = "", const std::string& diskUsage = "",
               const std::function<void()>& prepare = {}) {
        startServer(extraConfig, [&] {
            writeFile(spacePath("f100"), std::string(100, 'x'));
            if (!diskUsage.empty()) writeFile(iServer.path("data/disk-usage"), diskUsage);
            if (prepare) prepare();
        });
    }
    uint64 diskUsage() {
        std::vector<HVPSSpaceStats> stats;
        iClient.stats(std::to_string(iSpaceID), nullptr, &stats);
        return stats.size() == 1 ? stats[0].diskUsage : ~0ull;
    }
    const HVPSReply& put(const std::string& path, const std::string& data, HVPSPlacement placement,
                         uint64 offset = 0, const std::string& md5 = "") {
        return iClient.put(path, data.data(), data.size(), {placement, offset, md5});
    }
    // Files of the space whose names hold "..": only temporary files of uploads can.
    std::vector<std::string> temporaryFiles() {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(spacePath("")))
            if (entry.path().filename().string().find("..") != std::string::npos)
                found.push_back(entry.path().string());
        return found;
    }
    // A raw upload of `path` of the space: the request head with a fresh key code, `headers`
    // ("Name: value\r\n" lines), the Content-Length `length`, and the first `part` of the body.
    hvps_test::RawConnection beginRawPut(const std::string& path, const std::string& headers, uint64 length,
                                         const std::string& part) {
        iClient.login();
        hvps_test::RawConnection connection(iPort);
        EXPECT_TRUE(connection.send("PUT " + spaceURL(path) + " HTTP/1.1\r\n" +
                                    hvps_test::sessionHeaders(iClient) + headers +
                                    "Content-Length: " + std::to_string(length) + "\r\n\r\n" + part));
        return connection;
    }
    // Sends `rest`, ends the sending side (a body still short is cut there) and returns all the
    // server answers until it closes.
    static std::string endRawPut(hvps_test::RawConnection& connection, const std::string& rest) {
        connection.send(rest);
        shutdown(connection.fd(), SHUT_WR);
        std::string reply;
        connection.waitClosed(std::chrono::seconds(10), &reply);
        return reply;
    }
    static std::string md5(const std::string& data) { return HVPSClient::md5Hex(data.data(), data.size()); }
    static std::string record(const std::string& body) {
        std::string out;
        HVPSClient::buildLogRecord(body.data(), body.size(), out);
        return out;
    }
};

// An error reply with that status, error code and message text.
void expectRefused(const HVPSReply& reply, int status, int code, const std::string& text) {
    EXPECT_EQ(reply.status, status) << reply.body;
    EXPECT_EQ(reply.errorCode, code) << reply.body;
    EXPECT_NE(reply.message.find(text), std::string::npos) << reply.message;
}

// Whether /proc/locks lists a flock of the file with inode `inode` that is waited for ("->") or,
// with `waiter` false, held.
bool flockListed(ino_t inode, bool waiter) {
    std::ifstream table("/proc/locks");
    const std::string tag = ":" + std::to_string(inode) + " ";
    for (std::string line; std::getline(table, line);)
        if (line.find("FLOCK") != std::string::npos && line.find(tag) != std::string::npos &&
            (line.find("->") != std::string::npos) == waiter)
            return true;
    return false;
}

TEST_F(UploadTest, MalformedUploadIsRefusedBeforeTheFileIsTouchedAndPlacementsWriteWhereAsked) {
    start();
    struct Refusal {
        const char* headers;
        std::string message;
    } refusals[] = {
        {"Seek-Pos: 1x\r\n", "Bad Seek-Pos value: 1x"},
        {"P1MD5Check: 1234\r\n", "Bad P1MD5Check value: 1234"},
        {"Seek-Pos: 18446744073709551615\r\n", "Upload beyond the largest file"},
    };
    for (const Refusal& c : refusals) {
        const std::string headers = hvps_test::sessionHeaders(iClient) + c.headers;
        expectRefused(iClient.rawRequest("PUT", spaceURL("f100"), headers, "body", 4), 400, -25014,
                      c.message);
        EXPECT_EQ(readFile(spacePath("f100")), std::string(100, 'x'));
        iClient.login();  // the raw request took the key code the client knew
    }

    // The disk usage follows the file length, and successful uploads keep the connection.
    ASSERT_EQ(diskUsage(), 100u);
    const uint32 connections = iClient.connectionCount();
    struct Step {
        HVPSPlacement placement;
        uint64 offset;
        std::string body;
        std::string content;  // the file afterwards
    } steps[] = {
        {HVPSPlacement::Replace, 0, "0123456789", "0123456789"},
        {HVPSPlacement::AtOffset, 2, "ab", "01ab456789"},
        {HVPSPlacement::AtOffset, 10, "tail", "01ab456789tail"},
        {HVPSPlacement::Append, 0, "not a record", "01ab456789tailnot a record"},
        {HVPSPlacement::Replace, 0, "", ""},
    };
    for (const Step& s : steps) {
        const HVPSReply& reply = put("f100", s.body, s.placement, s.offset);
        ASSERT_EQ(reply.status, 201) << reply.body;
        EXPECT_NE(reply.body.find("Put OK"), std::string::npos);
        EXPECT_EQ(readFile(spacePath("f100")), s.content);
        EXPECT_EQ(diskUsage(), s.content.size());
    }
    ASSERT_EQ(put("new/dir/file", "abc", HVPSPlacement::Replace).status, 201);
    EXPECT_EQ(readFile(spacePath("new/dir/file")), "abc");
    EXPECT_EQ(iClient.connectionCount(), connections);
}

TEST_F(UploadTest, LogRecordIsAppendedOnlyWithItsChecksumAndAFailureLeavesTheFileAsItWas) {
    start();
    const std::string good = record(std::string(32, 'r'));
    ASSERT_EQ(good.size(), 42u);
    ASSERT_EQ(put("log", good, HVPSPlacement::Append).status, 201);
    // A body longer than its record: only the record is checked.
    ASSERT_EQ(put("log", good + "unchecked", HVPSPlacement::Append).status, 201);
    const std::string before = readFile(spacePath("log"));
    ASSERT_EQ(before, good + good + "unchecked");

    std::string changed = good;
    changed[20] ^= 1;
    struct Case {
        std::string body;
        std::string message;
    } cases[] = {
        {changed, "CheckSum Failed: "},
        {good.substr(0, 9), "Log message too short: 9 "},
        {"", "CheckSum Failed: FFFFFFFF != 0"},
    };
    for (const Case& c : cases) {
        expectRefused(put("log", c.body, HVPSPlacement::Append), 417, -3, c.message);
        EXPECT_EQ(readFile(spacePath("log")), before);
        EXPECT_EQ(diskUsage(), 100 + before.size());
    }
}

TEST_F(UploadTest, VerifiedAppendContinuesTheCachedDigestAndAMismatchStartsItAgain) {
    start();
    // Appends in log mode of bodies that are no records, so unchecked.
    const std::string a(70000, 'a'), b = "an appended block", c = "and some more";
    // The client's digest is compared without regard to case.
    std::string lowerCase = md5(a);
    for (char& ch : lowerCase) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    ASSERT_EQ(put("f", a, HVPSPlacement::Replace, 0, lowerCase).status, 201);
    // Changed behind the server's back: a digest that passes for A + B proves that only B was read.
    const std::string changed(70000, 'c');
    ASSERT_TRUE(writeFile(spacePath("f"), changed));
    EXPECT_EQ(put("f", b, HVPSPlacement::Append, 0, md5(a + b)).status, 201);
    // An unchanged file compares the same digest again.
    EXPECT_EQ(put("f", "", HVPSPlacement::AtOffset, a.size() + b.size(), md5(a + b)).status, 201);

    expectRefused(put("f", c, HVPSPlacement::Append, 0, md5("wrong")), 417, -2, "MD5 check failed: server: ");
    EXPECT_TRUE(readFile(spacePath("f")) == changed + b);
    // After the mismatch the digest is computed from offset 0, over the bytes really stored.
    EXPECT_EQ(put("f", c, HVPSPlacement::Append, 0, md5(changed + b + c)).status, 201);

    // Replacing a verified file starts its digest again instead of continuing the old one.
    EXPECT_EQ(put("f", b, HVPSPlacement::Replace, 0, md5(b)).status, 201);
    EXPECT_EQ(put("f", "x", HVPSPlacement::AtOffset, 0).status, 201);
    EXPECT_EQ(put("f", c, HVPSPlacement::Append, 0, md5("x" + b.substr(1) + c)).status, 201);
    EXPECT_EQ(diskUsage(), 100 + b.size() + c.size());

    // A removed or renamed file takes its cached digest with it: a new file of that name is
    // checked from its first byte at the first attempt.
    ASSERT_EQ(iClient.remove("f").status, 200);
    EXPECT_EQ(put("f", c, HVPSPlacement::Append, 0, md5(c)).status, 201);
    ASSERT_EQ(iClient.rename("f", "g").status, 200);
    EXPECT_EQ(put("f", b, HVPSPlacement::Append, 0, md5(b)).status, 201);
    EXPECT_EQ(put("g", b, HVPSPlacement::Append, 0, md5(c + b)).status, 201);
}

TEST_F(UploadTest, DigestOfBodiesCheckedAsTheyAreWrittenMatchesTheStoredFileAlsoAfterFailedUploads) {
    start();
    // Bodies of several copy blocks with a partial last one; each starts with a byte that no record
    // starts with, so appends of them are not checked as records.
    auto block = [](size_t n, unsigned seed) {
        std::string out = hvps_test::randomBytes(n, seed);
        out[0] = 'Z';
        return out;
    };
    const std::string a = block(150000, 1), b = block(200001, 2), d = block(100, 4);
    ASSERT_EQ(put("g", a, HVPSPlacement::Replace, 0, md5(a)).status, 201);
    EXPECT_EQ(put("g", b, HVPSPlacement::Append, 0, md5(a + b)).status, 201);

    // A record spread over several blocks is checked over all of them. One whose checksum fails
    // after some blocks were added to the digest is cut back, and so is what the digest covers.
    const std::string c = record(block(150000, 5));
    std::string bad = c;
    bad[100000] ^= 1;
    expectRefused(put("g", bad, HVPSPlacement::Append, 0, md5(a + b + bad)), 417, -3, "CheckSum Failed: ");
    EXPECT_TRUE(readFile(spacePath("g")) == a + b);
    EXPECT_EQ(put("g", c, HVPSPlacement::Append, 0, md5(a + b + c)).status, 201);
    EXPECT_EQ(put("g", d, HVPSPlacement::Append, 0, md5(a + b + c + d)).status, 201);

    // A replace refused for its digest leaves the file; its repeat with the right one succeeds.
    expectRefused(put("g", b, HVPSPlacement::Replace, 0, md5(a)), 417, -2, "MD5 check failed: server: ");
    EXPECT_TRUE(readFile(spacePath("g")) == a + b + c + d);
    EXPECT_EQ(diskUsage(), 100 + (a + b + c + d).size());
    EXPECT_EQ(temporaryFiles(), std::vector<std::string>{});
    EXPECT_EQ(put("g", b, HVPSPlacement::Replace, 0, md5(b)).status, 201);
    EXPECT_EQ(put("g", d, HVPSPlacement::Append, 0, md5(b + d)).status, 201);
    EXPECT_TRUE(readFile(spacePath("g")) == b + d);

    // Bodies of a megabyte or more are hashed beside the receiving, in larger blocks.
    const std::string large = block((3 << 19) + 7, 6);
    expectRefused(put("g", large, HVPSPlacement::Append, 0, md5(b + d)), 417, -2,
                  "MD5 check failed: server: ");
    EXPECT_EQ(put("g", large, HVPSPlacement::Append, 0, md5(b + d + large)).status, 201);
    EXPECT_EQ(put("g", d, HVPSPlacement::Append, 0, md5(b + d + large + d)).status, 201);
    EXPECT_EQ(put("g", large, HVPSPlacement::Replace, 0, md5(large)).status, 201);
    EXPECT_TRUE(readFile(spacePath("g")) == large);
}

TEST_F(UploadTest, MD5CheckThatRunsOutOfTimeReportsItsProgressAndOnlyARepeatOfTheSameUploadContinuesIt) {
    start("put-verify-timeout=1\n");
    const std::string data = hvps_test::randomBytes(4 << 20, 1), fresh = hvps_test::randomBytes(4 << 20, 2);
    const std::string digest = md5(data);

    // A replace that runs out of time leaves the former content until a repeat finishes it.
    const HVPSReply& first = put("f100", data, HVPSPlacement::Replace, 0, digest);
    ASSERT_EQ(first.status, 100) << first.body;
    EXPECT_EQ(first.errorCode, -6);
    EXPECT_GT(first.md5Offset, 0u);
    EXPECT_LT(first.md5Offset, data.size());
    EXPECT_EQ(first.fileLength, data.size());
    EXPECT_EQ(readFile(spacePath("f100")), std::string(100, 'x'));
    EXPECT_EQ(diskUsage(), 100u);
    EXPECT_EQ(temporaryFiles(), std::vector<std::string>{});

    uint64 progress = first.md5Offset;
    for (int attempt = 0; attempt < 100; attempt++) {
        const HVPSReply& reply = put("f100", data, HVPSPlacement::Replace, 0, digest);
        if (reply.status == 201) break;
        ASSERT_EQ(reply.errorCode, -6) << reply.body;
        ASSERT_GT(reply.md5Offset, progress);
        progress = reply.md5Offset;
    }
    EXPECT_TRUE(readFile(spacePath("f100")) == data);
    EXPECT_EQ(diskUsage(), data.size());
    EXPECT_EQ(temporaryFiles(), std::vector<std::string>{});

    // A REMOVE takes the progress of a timed-out replace with it: a replace of the same length
    // with another body is then no repeat of the timed-out one.
    std::string other = data, another = data;
    other[0] ^= 1;
    another[1] ^= 1;
    ASSERT_EQ(put("f100", other, HVPSPlacement::Replace, 0, md5(other)).errorCode, -6);
    ASSERT_EQ(iClient.remove("f100").status, 200);
    const HVPSReply& replaced = iClient.putVerified("f100", another.data(), another.size(),
                                                    {HVPSPlacement::Replace, 0, md5(another)});
    EXPECT_EQ(replaced.status, 201) << replaced.body;

    // An append checked against a file the server holds no digest for reads the file back within
    // the time-out too.
    ASSERT_EQ(put("big", data, HVPSPlacement::Replace).status, 201);
    const HVPSReply& readBack = put("big", "tail", HVPSPlacement::AtOffset, data.size(), md5(data + "tail"));
    EXPECT_EQ(readBack.errorCode, -6) << readBack.body;
    EXPECT_GT(readBack.md5Offset, 0u);
    EXPECT_LT(readBack.md5Offset, data.size());
    EXPECT_EQ(readBack.fileLength, data.size() + 4);
    // A replace that ran out of time leaves no progress for the check of the file it did not
    // replace: an append checked against the stored file passes (after as many time-outs as it takes).
    const HVPSReply& timedOut = put("big", fresh, HVPSPlacement::Replace, 0, md5(fresh));
    ASSERT_EQ(timedOut.errorCode, -6) << timedOut.body;
    ASSERT_LT(timedOut.md5Offset, data.size()) << "the check must stop inside the former content";
    const std::string tail = "0123456789";
    const HVPSReply& reply =
        iClient.putVerified("big", tail.data(), tail.size(), {HVPSPlacement::Append, 0, md5(data + tail)});
    EXPECT_EQ(reply.status, 201) << reply.body;
    EXPECT_TRUE(readFile(spacePath("big")) == data + tail);
    EXPECT_EQ(diskUsage(), 2 * data.size() + tail.size());
}

TEST_F(UploadTest, BodyCutShortLeavesTheFileAsItWasWhereverTheUploadWrote) {
    start();
    struct Case {
        const char* seekPos;  // none: replace
        uint64 length;        // announced
        size_t sent;          // body bytes sent before the connection ends
    } cases[] = {
        {nullptr, 200000, 100000},
        {nullptr, 10, 0},
        {"EOF", 200000, 100000},
        {"150", 10, 5},          // beyond the end: the file is not padded
        {"10", 200000, 100000},  // inside the file and beyond its end
        {"10", 50, 20},          // inside the file
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string name = "cut" + std::to_string(n++);
        SCOPED_TRACE(name);
        iClient.login();  // the raw request before took the challenge the client knows
        ASSERT_EQ(put(name, std::string(100, 'x'), HVPSPlacement::Replace).status, 201);
        const uint64 usage = diskUsage();
        std::string headers = c.seekPos ? std::string("Seek-Pos: ") + c.seekPos + "\r\n" : "";
        auto fd = beginRawPut(name, headers, c.length, std::string(c.sent, 'y'));
        const std::string reply = endRawPut(fd, "");
        EXPECT_NE(reply.find(" 417 "), std::string::npos) << reply;
        EXPECT_NE(reply.find("Unexpected end of HTTP body"), std::string::npos) << reply;
        EXPECT_EQ(readFile(spacePath(name)), std::string(100, 'x'));
        EXPECT_EQ(diskUsage(), usage);
    }
    EXPECT_EQ(temporaryFiles(), std::vector<std::string>{});
    EXPECT_NE(iServer.log().find("Body too short for "), std::string::npos);
}

TEST_F(UploadTest, ReplaceWritesBesideTheFileAndAnUploadWaitingForItLocksAndWritesTheNewFile) {
    if (!std::ifstream("/proc/locks")) GTEST_SKIP() << "/proc/locks cannot be read here";
    start();
    struct stat before {};
    ASSERT_EQ(stat(spacePath("f100").c_str(), &before), 0);

    // A replace that holds the file's lock while its body is still coming: its bytes lie in a
    // temporary file beside the file, under a name that no request path can hold.
    auto replace = beginRawPut("f100", "", 10, "ABCDE");
    ASSERT_TRUE(hvps_test::waitUntil([&] { return temporaryFiles().size() == 1; }));
    const std::filesystem::path temporary = temporaryFiles()[0];
    EXPECT_EQ(temporary.parent_path(), std::filesystem::path(spacePath("f100")).parent_path());
    EXPECT_TRUE(isUploadTempName(temporary.filename().c_str()));
    EXPECT_EQ(readFile(spacePath("f100")), std::string(100, 'x'));
    ASSERT_TRUE(flockListed(before.st_ino, false));

    // An append waits for the lock meanwhile...
    auto append = beginRawPut("f100", "Seek-Pos: EOF\r\n", 10, "01234");
    ASSERT_TRUE(hvps_test::waitUntil([&] { return flockListed(before.st_ino, true); }));
    const std::string replaced = endRawPut(replace, "FGHIJ");
    EXPECT_NE(replaced.find("Put OK"), std::string::npos) << replaced;
    // ...and, its body still coming, then holds the lock of the file that the path names.
    struct stat after {};
    ASSERT_EQ(stat(spacePath("f100").c_str(), &after), 0);
    EXPECT_TRUE(hvps_test::waitUntil([&] { return flockListed(after.st_ino, false); }));
    const std::string appended = endRawPut(append, "56789");
    EXPECT_NE(appended.find("Put OK"), std::string::npos) << appended;

    EXPECT_EQ(readFile(spacePath("f100")), "ABCDEFGHIJ0123456789");
    EXPECT_EQ(temporaryFiles(), std::vector<std::string>{});
    iClient.login();
    EXPECT_EQ(diskUsage(), 20u);
}

TEST_F(UploadTest, DiskUsageEqualsAFreshCountWhenRemoveRenameOrDeleteOverlapsASlowUpload) {
    if (!std::ifstream("/proc/locks")) GTEST_SKIP() << "/proc/locks cannot be read here";
    start();
    const std::string repository = iServer.path("data");
    auto freshCount = [&] { return SystemParameters::getDiskUsage(repository.c_str(), false); };
    struct Case {
        const char* command;
        const char* seekPos;  // of the upload; none: replace
    } cases[] = {
        {"REMOVE", "EOF"},   {"REMOVE", nullptr}, {"RENAME", "EOF"},
        {"RENAME", nullptr}, {"DELETE", "EOF"},   {"DELETE", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.command) + (c.seekPos ? " during an append" : " during a replace"));
        HVPSSpaceURL url;
        ASSERT_TRUE(iClient.createSpace(iServerKey, "overlap", "1.0", &url).ok());
        iSpaceID = url.spaceID;
        iClient.setSpace(url);
        ASSERT_EQ(put("f", std::string(300000, 'x'), HVPSPlacement::Replace).status, 201);
        struct stat file {};
        ASSERT_EQ(stat(spacePath("f").c_str(), &file), 0);

        // The upload holds the file's lock with half of its body sent.
        const std::string headers = c.seekPos ? std::string("Seek-Pos: ") + c.seekPos + "\r\n" : "";
        auto upload = beginRawPut("f", headers, 2 << 20, std::string(1 << 20, 'y'));
        ASSERT_TRUE(hvps_test::waitUntil([&] { return flockListed(file.st_ino, false); }));
        iClient.login();
        HVPSReply commandReply;
        std::thread command([&] {
            const std::string name = c.command;
            commandReply = name == "REMOVE"   ? iClient.remove("f")
                           : name == "RENAME" ? iClient.rename("f", "g")
                                              : iClient.deleteSpace();
        });
        if (std::string(c.command) == "DELETE") {
            // The mark waits for the upload; meanwhile the space takes no new writer.
            HVPSClient probe("127.0.0.1", iPort);
            probe.setSpace(url);
            EXPECT_TRUE(hvps_test::waitUntil([&] {
                probe.login();
                return probe.remove("nothing").errorCode == -25013;
            }));
        } else {
            EXPECT_TRUE(hvps_test::waitUntil([&] { return flockListed(file.st_ino, true); }));
        }
        const std::string uploaded = endRawPut(upload, std::string(1 << 20, 'z'));
        command.join();
        EXPECT_NE(uploaded.find("Put OK"), std::string::npos) << uploaded;
        EXPECT_EQ(commandReply.status, 200) << commandReply.body;
        EXPECT_TRUE(hvps_test::waitUntil([&] { return diskUsage() == freshCount(); }))
            << diskUsage() << " " << freshCount();
    }
}

TEST_F(UploadTest, StartUpRemovesTemporaryFilesOfCutShortReplacesBeforeCountingTheDiskUsage) {
    start("", "", [this] {
        std::filesystem::create_directories(spacePath("sub"));
        writeFile(spacePath(".f100..hvps-upload-3"), std::string(1000, 't'));
        writeFile(spacePath("sub/.g..hvps-upload-12"), std::string(500, 't'));
        // Look-alikes are client files (a rename can make them) and stay.
        writeFile(spacePath(".f100..hvps-upload-"), "7 bytes");
        writeFile(spacePath("sub/f100..hvps-upload-3"), "9 bytes..");
        writeFile(spacePath(".f100.hvps-upload-3"), "10 bytes..");
    });
    EXPECT_FALSE(std::filesystem::exists(spacePath(".f100..hvps-upload-3")));
    EXPECT_FALSE(std::filesystem::exists(spacePath("sub/.g..hvps-upload-12")));
    EXPECT_EQ(readFile(spacePath(".f100..hvps-upload-")), "7 bytes");
    EXPECT_EQ(readFile(spacePath("sub/f100..hvps-upload-3")), "9 bytes..");
    EXPECT_EQ(readFile(spacePath(".f100.hvps-upload-3")), "10 bytes..");
    EXPECT_EQ(diskUsage(), 100u + 7 + 9 + 10);
}

TEST_F(UploadTest, FullRepositoryRefusesUploadsBeforeTouchingAFile) {
    start("", std::to_string(10 << 20));
    const HVPSReply& reply = put("f100", "abc", HVPSPlacement::Replace);
    expectRefused(reply, 503, -25016, "Repository is full: 10485760 ");
    EXPECT_EQ(reply.spaceStatus & 0x10, 0x10u);
    EXPECT_EQ(readFile(spacePath("f100")), std::string(100, 'x'));
}

}  // namespace
