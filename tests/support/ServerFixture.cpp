#include "ServerFixture.h"

#include <unistd.h>

#include <filesystem>

#include "CSStrUtil.h"
#include "Space_hvps.h"
#include "config_hvps.h"

namespace hvps_test {

std::vector<std::string> withRoot(std::vector<std::string> args) {
    if (geteuid() == 0) args.insert(args.begin(), "-r");
    return args;
}

void ServerWithSpace::startServer(const std::string& extra, const std::function<void()>& before) {
    iServer.writeConfig(iPort, "server-host=127.0.0.1\n" + extra);
    // The space is made with the server's own table code, as a client's "newspace" would make it.
    hvps_system_parameters.iRepositoryPath = iServer.path("data");
    loadSpaces();
    char hexKey[HVSpace::kHexKeySize];
    createSpace("test space", &iSpaceID, hexKey);
    freeSpaces();
    cs_hex_to_bin(sizeof(iSpaceKey), iSpaceKey, hexKey);
    std::filesystem::create_directories(spacePath(""));
    if (before) before();
    if (HasFatalFailure()) return;

    auto launched = iServer.launch(withRoot());
    ASSERT_TRUE(launched && launched->exitedWith(0))
        << (launched ? describe(*launched) : "no exit") << iServer.output() << iServer.log();
    iClient.setTimeout(10000);
    iClient.setSpace(iSpaceID, iSpaceKey, "repo1");
    const HVPSReply& login = iClient.login();
    ASSERT_TRUE(login.ok()) << login.status << " " << login.message;
}

std::string ServerWithSpace::spacePath(const std::string& name) const {
    return iServer.path("data/" + std::to_string(iSpaceID) + "/" + name);
}

std::string ServerWithSpace::spaceURL(const std::string& name) const {
    return "/repo1/" + std::to_string(iSpaceID) + "/" + name;
}

}  // namespace hvps_test
