// A raw TCP client on 127.0.0.1 for end-to-end tests that send requests as bytes: every wait is
// bounded, and bytes that arrive behind one reply are kept for the next (pipelining).
#pragma once

#include <chrono>
#include <string>

namespace hvps_test {

using namespace std::chrono_literals;

class RawConnection {
public:
    // Connects (blocking); connected() tells whether it worked.
    explicit RawConnection(int port);
    ~RawConnection();
    RawConnection(RawConnection&& other) noexcept;
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return iFd >= 0; }
    int fd() const { return iFd; }
    // Sends all bytes; false when the connection failed.
    bool send(const std::string& bytes);
    // One whole reply (head and Content-Length bytes of body, "HTTP/1.1 100 Continue" on its own),
    // or what came before `timeout` passed or the server closed.
    std::string readReply(std::chrono::milliseconds timeout = 10s);
    // True when the server closes the connection within `timeout`; what it sent first is appended
    // to `data`.
    bool waitClosed(std::chrono::milliseconds timeout = 10s, std::string* data = nullptr);
    void hangUp();

private:
    // Receives into iPending until `done` or the deadline; false when the peer closed (iClosed) or
    // time ran out.
    template <class Done>
    bool receive(std::chrono::steady_clock::time_point deadline, Done done);

    int iFd = -1;
    std::string iPending;  // received and not yet handed out
    bool iClosed = false;  // the peer closed (or the connection failed)
};

// Sends `request` as it stands on a fresh connection and returns every byte received until the
// server closes the connection or `limit` passes ("" when no connection).
std::string exchange(int port, const std::string& request, std::chrono::milliseconds limit = 3s);

// The status code of a reply ("HTTP/1.1 200 ..." gives 200), 0 when it is none.
int replyStatus(const std::string& reply);

}  // namespace hvps_test
