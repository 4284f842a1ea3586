#include "ServerProbe.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "HVPSClient.h"
#include "RawConnection.h"

namespace hvps_test {

bool isPing(const std::string& reply) {
    return replyStatus(reply) == 200 && reply.find("<message>Ping OK</message>") != std::string::npos;
}

std::string sessionHeaders(const HVPSClient& client) {
    return "P1Session: " + std::to_string(client.sessionID()) + "\r\nP1KeyCode: " + client.currentKeyCode() +
           "\r\n";
}

std::string oneReply(int port, const std::string& request, std::chrono::milliseconds timeout) {
    RawConnection connection(port);
    return connection.connected() && connection.send(request) ? connection.readReply(timeout) : "";
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

long procStatus(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(field + ":")) return std::stol(line.substr(field.size() + 1));
    return -1;
}

size_t openDescriptors(pid_t pid) {
    std::filesystem::directory_iterator entries("/proc/" + std::to_string(pid) + "/fd");
    return static_cast<size_t>(std::distance(begin(entries), end(entries)));
}

}  // namespace hvps_test
