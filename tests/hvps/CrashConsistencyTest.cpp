// Crash consistency of the real hvpsd. A client runs a random mix of space creations, space
// deletions and uploads (replace, write at an offset, append a log record, replace with an MD5
// check) while the server is killed with SIGKILL at a random moment. After every restart each
// acknowledged space must exist with its key, each acknowledged file must read back exactly, each
// deleted space must stay deleted, and the request cut short by the kill may only have left one of
// its sound outcomes (for an upload: the file as before or as after, also for a write inside the
// file; never a torn piece of the body). After the last trial a clean stop must
// leave the disk usage equal to a fresh count of the repository. HVPS_CRASH_TRIALS sets the number of kills
// (default 4; make test-faults runs 200) and HVPS_CRASH_SEED the random seed (printed on failure, so a
// failing run can be repeated).
//
// The power-cut trials run the same client against a repository on powercut_fs.py (tests/support),
// a file system that keeps in memory what was not flushed: at a random moment it "cuts the power"
// (keeps what was flushed plus a random part of the rest) and the server is killed; the server
// then starts on what the disk kept. With uploads flushed before they are answered, the same
// checks hold, restore-state and space-db stay whole, and the disk usage still equals a fresh count.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CSException.h"
#include "DiskUsage_hvps.h"
#include "HVPSClient.h"
#include "HvpsdProcess.h"
#include "ServerFixture.h"
#include "ServerProbe.h"
#include "TestSupport.h"
#include "UploadJournal_hvps.h"

using hvps_test::HvpsdProcess;
using hvps_test::readFile;
using hvps_test::TempDir;
using namespace std::chrono_literals;

namespace {

// A file's content, or none for a file that does not exist.
using Content = std::optional<std::string>;

// What a file may hold: exactly one content once known, several after a request whose outcome
// was not seen.
using Outcomes = std::vector<Content>;

struct SpaceModel {
    HVPSSpaceURL url;
    std::map<std::string, Outcomes> files;
    bool deleteInFlight = false;  // a DELETE was cut short: the space is either gone or intact
};

enum class Result { Acknowledged, Refused, Cut };

constexpr size_t kMaxFile = 192 * 1024;
constexpr size_t kMaxLog = 512 * 1024;
constexpr size_t kMaxRecord = 96 * 1024;
constexpr size_t kMaxSpaces = 4;
const char* const kFiles[] = {"f0.bin", "dir/f1.bin", "f2.bin"};
const char* const kLogs[] = {"protolog/l0.log", "protolog/l1.log"};

unsigned envNumber(const char* name, unsigned fallback) {
    const char* text = std::getenv(name);
    return text && *text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : fallback;
}

// The repository folder as a mount of powercut_fs.py over a folder that plays the disk. Mounted
// again after each cut, on what the cut left.
class PowerCutDisk {
public:
    PowerCutDisk(std::string disk, std::string mountPoint)
        : iDisk(std::move(disk)), iMountPoint(std::move(mountPoint)) {}
    ~PowerCutDisk() {
        if (iPid > 0) kill(iPid, SIGKILL);
        unmount();
    }

    // Empty when the layer is up, else why it is not.
    std::string mount(unsigned seed) {
        if (access("/dev/fuse", R_OK | W_OK) != 0) return "no usable /dev/fuse";
        if (std::system("/usr/bin/python3 -c 'import fusepy' 2>/dev/null") != 0)
            return "python3-fusepy is not installed (apt-get install python3-fusepy fuse)";
        const std::string script = HVPS_SOURCE_DIR "/tests/support/powercut_fs.py";
        const std::string log = iDisk + ".log";
        const std::string seedText = std::to_string(seed);
        iPid = fork();
        if (iPid == 0) {
            int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
            close_range(3, ~0U, 0);
            execl("/usr/bin/python3", "python3", script.c_str(), iDisk.c_str(), iMountPoint.c_str(),
                  seedText.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        struct stat parent {};
        stat((iMountPoint + "/..").c_str(), &parent);
        for (int i = 0; i < 400; i++) {
            struct stat st {};
            if (stat(iMountPoint.c_str(), &st) == 0 && st.st_dev != parent.st_dev) return "";
            if (waitpid(iPid, nullptr, WNOHANG) == iPid) {
                iPid = 0;
                return "the layer did not mount: " + readFile(log);
            }
            std::this_thread::sleep_for(25ms);
        }
        return "the layer did not mount within 10 s: " + readFile(log);
    }
    // The power goes: the layer writes what the disk keeps and exits.
    void cut() const { kill(iPid, SIGUSR1); }
    // After the cut: waits for the layer to end and unmounts. False when it did not end.
    bool finish() {
        const bool ended = hvps_test::waitUntil([&] { return waitpid(iPid, nullptr, WNOHANG) == iPid; }, 20s);
        if (ended) iPid = 0;
        unmount();
        return ended;
    }

private:
    void unmount() const { umount2(iMountPoint.c_str(), MNT_DETACH); }

    std::string iDisk;
    std::string iMountPoint;
    pid_t iPid = 0;
};

class CrashConsistencyTest : public ::testing::Test {
protected:
    void SetUp() override {
        iSeed = envNumber("HVPS_CRASH_SEED", static_cast<unsigned>(std::random_device{}()));
        iRandom.seed(iSeed);
        iServer.writeConfig(iPort, "server-host=127.0.0.1\n");
    }

    size_t uniform(size_t low, size_t high) {
        return std::uniform_int_distribution<size_t>(low, high)(iRandom);
    }

    std::string randomBytes(size_t n) { return hvps_test::randomBytes(n, static_cast<unsigned>(iRandom())); }

    // Starts hvpsd; the launcher ends once the server serves.
    bool startServer() {
        auto launched = iServer.launch(hvps_test::withRoot());
        return launched && launched->exitedWith(0);
    }

    // After a power cut, calls fail before the server dies; the valid requests of this client are
    // refused for no other reason, and a refusal then tells nothing of what the disk kept.
    Result classify(const HVPSReply& reply) const {
        if (reply.status == 0) return Result::Cut;
        return reply.ok() ? Result::Acknowledged : iPowerCuts ? Result::Cut : Result::Refused;
    }

    template <class Request>
    Result run(Request request) {
        try {
            return classify(request());
        } catch (const CSException&) {
            return Result::Cut;  // the connection broke: the request may or may not have been done
        }
    }

    // The one known content of a file (checks resolve every file before new requests use it).
    static Content known(const Outcomes& outcomes) { return outcomes.empty() ? Content() : outcomes.front(); }
    // What a file may hold after a request that makes `old` into `after` ended with `r`.
    static Outcomes settle(Result r, const Content& old, const Content& after) {
        if (r == Result::Cut) return {old, after};
        return {r == Result::Acknowledged ? after : old};
    }

    // One random request against the model. Returns false once a request was cut short.
    bool randomRequest(HVPSClient& client) {
        if (iSpaces.empty() || (iSpaces.size() < kMaxSpaces && uniform(0, 9) == 0)) {
            HVPSSpaceURL url;
            Result r =
                run([&]() -> const HVPSReply& { return client.createSpace(iKey, "crash", "1.0", &url); });
            if (r == Result::Acknowledged) iSpaces[url.spaceID].url = url;
            return r != Result::Cut;
        }
        auto it = iSpaces.begin();
        std::advance(it, uniform(0, iSpaces.size() - 1));
        SpaceModel& space = it->second;
        client.setSpace(space.url);

        if (iSpaces.size() > 1 && uniform(0, 99) == 0) {
            Result r = run([&]() -> const HVPSReply& { return client.deleteSpace(); });
            if (r == Result::Acknowledged) {
                iDeleted.insert(it->first);
                iSpaces.erase(it);
            }
            if (r == Result::Cut) space.deleteInFlight = true;
            return r != Result::Cut;
        }

        const size_t kind = uniform(0, 9);
        if (kind < 4) {  // append a record to a log
            const std::string path = kLogs[uniform(0, 1)];
            Content old = known(space.files[path]);
            std::string before = old.value_or("");
            if (before.size() > kMaxLog) return replace(client, space, path, "", false);
            std::string record;
            std::string body = randomBytes(uniform(32, kMaxRecord));
            HVPSClient::buildLogRecord(body.data(), body.size(), record);
            Result r = run(
                [&]() -> const HVPSReply& { return client.appendRecord(path, body.data(), body.size()); });
            space.files[path] = settle(r, old, before + record);
            return r != Result::Cut;
        }
        const std::string path = kFiles[uniform(0, 2)];
        if (kind < 7) return replace(client, space, path, randomBytes(uniform(0, kMaxFile)), kind == 6);

        // Write at an offset inside or at the end of the file.
        Content old = known(space.files[path]);
        std::string before = old.value_or("");
        const size_t offset = uniform(0, before.size());
        std::string data = randomBytes(uniform(1, kMaxFile - std::min(offset, kMaxFile - 1)));
        std::string after = before.substr(0, offset) + data;
        if (offset + data.size() < before.size()) after += before.substr(offset + data.size());
        HVPSPutOptions options;
        options.placement = HVPSPlacement::AtOffset;
        options.offset = offset;
        Result r =
            run([&]() -> const HVPSReply& { return client.put(path, data.data(), data.size(), options); });
        space.files[path] = settle(r, old, after);
        return r != Result::Cut;
    }

    bool replace(HVPSClient& client, SpaceModel& space, const std::string& path, const std::string& data,
                 bool verified) {
        Content old = known(space.files[path]);
        HVPSPutOptions options;
        if (verified) options.md5Check = HVPSClient::md5Hex(data.data(), data.size());
        Result r = run([&]() -> const HVPSReply& {
            return verified ? client.putVerified(path, data.data(), data.size(), options)
                            : client.put(path, data.data(), data.size(), options);
        });
        // A replace goes to a temporary file that only success renames over the file.
        space.files[path] = settle(r, old, data);
        return r != Result::Cut;
    }

    // Reads every file of every space back and narrows the model to what is there. Returns what is
    // not one of the allowed outcomes ("" when all are).
    std::string check() {
        HVPSClient client("127.0.0.1", iPort);
        client.setTimeout(10000);
        client.setRestoreID(iRestoreID);
        for (auto it = iSpaces.begin(); it != iSpaces.end();) {
            SpaceModel& space = it->second;
            const std::string name = "space " + std::to_string(it->first);
            client.setSpace(space.url);
            const HVPSReply& login = client.login();
            if (space.deleteInFlight && login.errorCode == -25010) {
                iDeleted.insert(it->first);
                it = iSpaces.erase(it);
                continue;
            }
            space.deleteInFlight = false;
            if (!login.ok()) return "acknowledged " + name + " cannot log in: " + login.message;
            for (auto& [path, outcomes] : space.files) {
                const HVPSReply& reply = client.get(path);
                if (reply.status != 200 && reply.status != 404)
                    return "reading " + path + " of " + name + " failed: " + reply.message;
                const Content actual = reply.status == 200 ? Content(reply.body) : Content();
                // An upload that creates a file opens (and so creates) it before its first byte;
                // cut short, it leaves the new file empty. Where the file may be missing, an empty
                // one is therefore allowed too.
                bool allowed = false;
                std::string sizes;
                for (const Content& c : outcomes) {
                    allowed = allowed || c == actual || (!c && actual && actual->empty());
                    sizes += c ? std::to_string(c->size()) + " " : "none ";
                }
                if (!allowed)
                    return path + " of " + name + " holds " +
                           (actual ? std::to_string(actual->size()) + " bytes" : "nothing") +
                           ", allowed sizes: " + sizes;
                outcomes = {actual};
            }
            ++it;
        }
        for (uint32 id : iDeleted) {
            HVPSSpaceURL url;
            url.spaceID = id;
            url.repository = "repo1";
            client.setSpace(url);
            if (client.login().errorCode != -25010) return "deleted space " + std::to_string(id) + " answers";
        }
        return "";
    }

    // Trials of random requests, each ended by `stop` (called on a thread after a random delay) and
    // followed by `afterStop` once the server is dead; then a clean stop, after which the saved disk
    // usage must equal a fresh count. `started` checks each start.
    void runTrials(const std::function<void()>& stop, const std::function<void(unsigned)>& afterStop,
                   const std::function<void(unsigned)>& started = {}) {
        const unsigned trials = envNumber("HVPS_CRASH_TRIALS", 4);
        SCOPED_TRACE("HVPS_CRASH_SEED=" + std::to_string(iSeed));
        unsigned requests = 0, cut = 0;
        for (unsigned trial = 0; trial <= trials; trial++) {
            ASSERT_TRUE(startServer()) << "trial " << trial << ": the server did not come up\n"
                                       << iServer.output() << iServer.log();
            if (started) started(trial);
            ASSERT_EQ(check(), "") << "trial " << trial;
            if (trial == trials) break;

            // Requests through the power-cut layer take longer: it waits longer to see more of them.
            const auto delay = std::chrono::milliseconds(uniform(1, iPowerCuts ? 1500 : 150));
            std::thread stopper([&stop, delay] {
                std::this_thread::sleep_for(delay);
                stop();
            });
            {
                HVPSClient client("127.0.0.1", iPort);
                client.setTimeout(10000);
                client.setRestoreID(iRestoreID);
                const auto deadline = std::chrono::steady_clock::now() + 20s;
                bool going = true;
                for (int i = 0; going && i < 5000 && std::chrono::steady_clock::now() < deadline; i++) {
                    going = randomRequest(client);
                    requests++;
                }
                cut += going ? 0 : 1;
            }
            stopper.join();
            auto status = iServer.waitForServerExit(20s);
            ASSERT_TRUE(status) << "trial " << trial << ": the server did not die";
            afterStop(trial);
        }

        // A clean stop saves the disk usage the server kept through all the restarts.
        expectCleanStopSavesAFreshCount();
        std::printf("%u trials, %u requests, %u cut short, %zu spaces live, %zu deleted\n", trials, requests,
                    cut, iSpaces.size(), iDeleted.size());
    }

    // Stops the server with SIGTERM; the disk usage it saves must equal a fresh count, and the next
    // start must trust it.
    void expectCleanStopSavesAFreshCount() {
        ASSERT_TRUE(iServer.signalServer(SIGTERM));
        auto status = iServer.waitForServerExit(20s);
        ASSERT_TRUE(status && status->exitedWith(0));
        const std::string data = iServer.path("data");
        EXPECT_EQ(readFile(data + "/disk-usage"),
                  std::to_string(SystemParameters::getDiskUsage(data.c_str(), false)));
        // Else every start would count the repository again.
        EXPECT_FALSE(std::filesystem::exists(data + "/" + UploadJournal::kRunMarker));
    }

    unsigned iSeed = 0;
    bool iPowerCuts = false;
    std::optional<uint64> iRestoreID;  // sent by the clients once a restore made one
    std::mt19937_64 iRandom;
    TempDir iDir;
    HvpsdProcess iServer{iDir.path()};
    int iPort = hvps_test::freeLoopbackPort();
    HVPSServerKey iKey = HVPSClient::serverKeyFromPassword(HvpsdProcess::kPassword);
    std::map<uint32, SpaceModel> iSpaces;
    std::set<uint32> iDeleted;
};

// Without the upload journal (UploadJournal_hvps.h) a kill leaves torn records and a stale disk
// usage; these trials catch both. make test runs a few, make test-faults 200.
TEST_F(CrashConsistencyTest, AcknowledgedSpacesAndUploadsSurviveSIGKILLAtRandomMoments) {
    // The kernel keeps what a killed process wrote: no flush is needed, and without them the
    // trials see many more requests.
    iServer.writeConfig(iPort, "server-host=127.0.0.1\nsync-uploads=no\n");
    runTrials([this] { iServer.signalServer(SIGKILL); }, [](unsigned) {});
}

// Without the flushes of sync-uploads, acknowledged uploads, new files and folders vanish with the
// power, and a journal note or run marker that did not reach the disk lets a torn record or a
// stale disk usage through.
TEST_F(CrashConsistencyTest, AcknowledgedSpacesAndUploadsSurviveAPowerCutAtRandomMoments) {
    const std::string data = iServer.path("data");
    const std::string disk = iServer.path("disk");
    std::filesystem::rename(data, disk);
    std::filesystem::create_directory(data);
    // Every start rewrites restore-state once a restore has been announced.
    hvps_test::writeFile(disk + "/restored", "");
    PowerCutDisk layer(disk, data);
    if (std::string why = layer.mount(iSeed); !why.empty()) GTEST_SKIP() << "FUSE is not available: " << why;
    iPowerCuts = true;

    std::string restoreState;
    runTrials(
        [&] {
            layer.cut();
            iServer.signalServer(SIGKILL);
        },
        [&](unsigned trial) {
            ASSERT_TRUE(layer.finish()) << "trial " << trial << ": the layer did not end";
            ASSERT_EQ(layer.mount(iSeed + trial + 1), "");
        },
        [&](unsigned trial) {
            const std::string now = readFile(data + "/restore-state");
            if (trial == 0) {
                restoreState = now;
                iRestoreID = std::strtoull(now.c_str() + 3, nullptr, 10);
            }
            EXPECT_TRUE(now.starts_with("id=") && now.ends_with("\nstate=online\n")) << now;
            EXPECT_EQ(now, restoreState) << "trial " << trial;
        });
}

TEST_F(CrashConsistencyTest, TheDiskUsageIsRecountedAfterAKillThatCameBeforeItWasSaved) {
    ASSERT_TRUE(startServer()) << iServer.output();
    HVPSClient client("127.0.0.1", iPort);
    client.setTimeout(10000);
    HVPSSpaceURL url;
    ASSERT_TRUE(client.createSpace(iKey, "usage", "1.0", &url).ok());
    client.setSpace(url);
    // A usage other than 0 on disk (0 makes every start recount), then an upload that the save
    // once a second has not seen yet when the kill comes.
    const std::string repository = iServer.path("data");
    std::string data = randomBytes(1000);
    ASSERT_EQ(client.put("small.bin", data.data(), data.size()).status, 201);
    ASSERT_TRUE(hvps_test::waitUntil([&] { return readFile(repository + "/disk-usage") == "1000"; }))
        << readFile(repository + "/disk-usage");
    data = randomBytes(100000);
    ASSERT_EQ(client.put("big.bin", data.data(), data.size()).status, 201);
    ASSERT_TRUE(iServer.signalServer(SIGKILL));
    ASSERT_TRUE(iServer.waitForServerExit(20s));

    ASSERT_TRUE(startServer()) << iServer.output();
    expectCleanStopSavesAFreshCount();
}

}  // namespace
