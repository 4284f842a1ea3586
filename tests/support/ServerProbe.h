// What a test sees of a running server from outside: one reply on a fresh connection, bounded waits
// for a condition, fields of /proc/<pid>/status, the number of open descriptors, and whether a reply
// is the ping page.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

class HVPSClient;

namespace hvps_test {

using namespace std::chrono_literals;

// A ping request, and whether `reply` is the 200 reply to it.
inline const std::string kPingRequest = "GET /ping.xml HTTP/1.1\r\n\r\n";
bool isPing(const std::string& reply);

// Sends `request` on a fresh connection and returns the first whole reply, or what came before
// `timeout` passed or the server closed ("" when no connection).
std::string oneReply(int port, const std::string& request, std::chrono::milliseconds timeout = 10s);

// Checks `condition` every 5 ms until it holds (true) or `timeout` passes (false).
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s);

// The session of `client` and its next key code as request headers ("Name: value\r\n" lines).
std::string sessionHeaders(const HVPSClient& client);
// A numeric field of /proc/<pid>/status ("Threads", "VmRSS" in kB); -1 when there is none.
long procStatus(pid_t pid, const std::string& field);

// The number of descriptors `pid` has open.
size_t openDescriptors(pid_t pid);

}  // namespace hvps_test
