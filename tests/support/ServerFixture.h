// The end-to-end harness (with RawConnection, the raw-socket client): a fixture that runs the real hvpsd in a
// temporary directory on a free loopback port with one space made before the start and a client
// logged in to it. Suites derive from ServerWithSpace and override extraConfig() (configuration
// lines) or prepare() (files written before the start) when they need more.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "HVPSClient.h"
#include "HvpsdProcess.h"
#include "RawConnection.h"
#include "TestSupport.h"

namespace hvps_test {

// `args` with "-r" in front when the tests run as root (hvpsd refuses root without it).
std::vector<std::string> withRoot(std::vector<std::string> args = {});

class ServerWithSpace : public ::testing::Test {
protected:
    // Configuration lines added to HvpsdProcess::writeConfig's set-up.
    virtual std::string extraConfig() { return ""; }
    // Runs once the space exists on disk and before the server starts.
    virtual void prepare() {}

    void SetUp() override {
        startServer(extraConfig(), [this] { prepare(); });
    }
    // Writes the set-up with the configuration lines `extra`, makes the space, runs `before` and
    // starts the server with the client logged in. Suites that start it per test override SetUp().
    void startServer(const std::string& extra, const std::function<void()>& before = {});

    // A path inside the space's folder of the repository.
    std::string spacePath(const std::string& name) const;
    // "/repo1/<space id>/" + name: the URL of a file of the space.
    std::string spaceURL(const std::string& name) const;

    TempDir iDir;
    HvpsdProcess iServer{iDir.path()};
    int iPort = freeLoopbackPort();
    uint32 iSpaceID = 0;
    unsigned char iSpaceKey[HVPS_SPACE_KEY_LEN] = {};
    HVPSServerKey iServerKey = HVPSClient::serverKeyFromPassword(HvpsdProcess::kPassword);
    // Set to the space and logged in by SetUp.
    HVPSClient iClient{"127.0.0.1", iPort};
};

}  // namespace hvps_test
