#include "RawConnection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

namespace hvps_test {

namespace {

// The length of the first whole reply in `data`, or 0 when it is not all there.
size_t wholeReplyLength(const std::string& data) {
    size_t end = data.find("\r\n\r\n");
    if (end == std::string::npos) return 0;
    size_t length = 0;
    size_t at = data.find("\r\nContent-Length: ");
    if (at != std::string::npos && at < end) length = std::stoul(data.substr(at + 18));
    if (data.starts_with("HTTP/1.1 100 ")) length = 0;
    return data.size() >= end + 4 + length ? end + 4 + length : 0;
}

}  // namespace

RawConnection::RawConnection(int port) {
    iFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (iFd >= 0 && connect(iFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) hangUp();
}

RawConnection::~RawConnection() { hangUp(); }

RawConnection::RawConnection(RawConnection&& other) noexcept
    : iFd(std::exchange(other.iFd, -1)), iPending(std::move(other.iPending)), iClosed(other.iClosed) {}

void RawConnection::hangUp() {
    if (iFd >= 0) close(iFd);
    iFd = -1;
}

bool RawConnection::send(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = ::send(iFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

template <class Done>
bool RawConnection::receive(std::chrono::steady_clock::time_point deadline, Done done) {
    while (!done()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        pollfd entry{iFd, POLLIN, 0};
        if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0) return false;
        char buf[8192];
        ssize_t n = recv(iFd, buf, sizeof(buf), 0);
        if (n <= 0) {
            iClosed = true;
            return false;
        }
        iPending.append(buf, static_cast<size_t>(n));
    }
    return true;
}

std::string RawConnection::readReply(std::chrono::milliseconds timeout) {
    receive(std::chrono::steady_clock::now() + timeout, [this] { return wholeReplyLength(iPending) > 0; });
    size_t length = wholeReplyLength(iPending);
    std::string reply = length ? iPending.substr(0, length) : std::exchange(iPending, {});
    iPending.erase(0, length);
    return reply;
}

bool RawConnection::waitClosed(std::chrono::milliseconds timeout, std::string* data) {
    receive(std::chrono::steady_clock::now() + timeout, [] { return false; });
    if (data) data->append(std::exchange(iPending, {}));
    return iClosed;
}

std::string exchange(int port, const std::string& request, std::chrono::milliseconds limit) {
    RawConnection connection(port);
    std::string data;
    if (connection.connected() && connection.send(request)) connection.waitClosed(limit, &data);
    return data;
}

int replyStatus(const std::string& reply) {
    return reply.starts_with("HTTP/1.1 ") && reply.size() >= 12 ? std::stoi(reply.substr(9, 3)) : 0;
}

}  // namespace hvps_test
