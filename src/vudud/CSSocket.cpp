#include "CSSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "CSException.h"
#include "CSStrUtil.h"
#include "CSThread.h"

namespace {

// The longest a call waits before it looks at the thread's pending signal again.
constexpr int kWaitSliceMs = 1000;
// Room for a burst of connections beyond the handlers (the system may cap it at somaxconn).
constexpr int kListenBacklog = SOMAXCONN > 1024 ? SOMAXCONN : 1024;
// The most one sendfile call is asked to move, so that a pending signal is looked at in between.
constexpr size_t kSendFileChunk = size_t{1} << 24;

CSSocketOps gSystemOps;
CSSocketOps* gOps = &gSystemOps;

void throwPendingSignal() {
    CSThread* self = CSThread::getSelf();
    if (!self) return;
    if (int sig = self->takePendingSignal()) CSException::throwSignal(CS_CONTEXT, sig);
}

// The TCP port of a service name, or 0 when the name is unknown.
int lookupService(const char* name) {
    struct servent entry;
    struct servent* result = nullptr;
    char buffer[1024];
    if (!name || !*name) return 0;
    if (getservbyname_r(name, "tcp", &entry, buffer, sizeof(buffer), &result) != 0 || !result) return 0;
    return ntohs(static_cast<uint16>(result->s_port));
}

// The port of a text that starts with a digit; 0 when it is out of range.
int parsePort(const char* text) {
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    return value > 0 && value <= 65535 ? static_cast<int>(value) : 0;
}

bool isNumeric(const char* text) { return text && isdigit(static_cast<unsigned char>(text[0])); }

// sendfile has no MSG_NOSIGNAL: while it runs, SIGPIPE is blocked for the calling thread, and a
// SIGPIPE that a gone peer raised is taken before the mask is restored, so that a gone peer is an
// error of the call, as for sends, and not a signal to the process.
class SigPipeBlock {
public:
    SigPipeBlock() {
        sigemptyset(&iSet);
        sigaddset(&iSet, SIGPIPE);
        iBlocked = pthread_sigmask(SIG_BLOCK, &iSet, &iOld) == 0;
    }
    ~SigPipeBlock() {
        if (iBlocked) pthread_sigmask(SIG_SETMASK, &iOld, nullptr);
    }
    SigPipeBlock(const SigPipeBlock&) = delete;
    SigPipeBlock& operator=(const SigPipeBlock&) = delete;

    // Takes a pending SIGPIPE of this thread, if any.
    void drain() {
        if (!iBlocked) return;
        struct timespec zero = {0, 0};
        for (int i = 0; i < 100; i++)
            if (sigtimedwait(&iSet, nullptr, &zero) == -1 && errno != EINTR) break;
    }

private:
    sigset_t iSet;
    sigset_t iOld;
    bool iBlocked = false;
};

}  // namespace

// ---- CSSocketOps ----

ssize_t CSSocketOps::os_recv(int fd, void* buf, size_t size, int flags) {
    return ::recv(fd, buf, size, flags);
}

ssize_t CSSocketOps::os_send(int fd, const void* buf, size_t size, int flags) {
    return ::send(fd, buf, size, flags);
}

int CSSocketOps::os_poll(struct pollfd* fds, nfds_t count, int timeoutMs) {
    return ::poll(fds, count, timeoutMs);
}

int CSSocketOps::os_accept(int fd, struct sockaddr* addr, socklen_t* len) {
    return ::accept4(fd, addr, len, SOCK_CLOEXEC);
}

ssize_t CSSocketOps::os_sendfile(int outFd, int inFd, off_t* offset, size_t count) {
    return ::sendfile(outFd, inFd, offset, count);
}

// ---- CSSocket ----

CSSocketOps& CSSocket::ops() { return *gOps; }

CSSocketOps* CSSocket::setOps(CSSocketOps* ops) { return std::exchange(gOps, ops ? ops : &gSystemOps); }

CSSocket::~CSSocket() { close(); }

CSRef<CSSocket> CSSocket::newSocket() { return cs_new<CSSocket>(); }

void CSSocket::throwSystemError(const char* func, const char* file, int line, int err) {
    if (err == 0) CSException::throwEOFError(func, file, line, identify());
    CSException::throwFileError(func, file, line, err, identify());
}

void CSSocket::createSocket() {
    iHandle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (iHandle == -1) throwSystemError(CS_CONTEXT, errno);
    setNoDelay();
    if (iTimeout) setBlocking(false);
}

void CSSocket::setBlocking(bool blocking) {
    int nonBlocking = blocking ? 0 : 1;
    if (::ioctl(iHandle, FIONBIO, &nonBlocking) == -1) throwSystemError(CS_CONTEXT, errno);
    iNonBlocking = !blocking;
}

void CSSocket::setNoDelay() {
    int on = 1;
    if (::setsockopt(iHandle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) == -1)
        throwSystemError(CS_CONTEXT, errno);
}

void CSSocket::setTimeout(uint32 milliSeconds) {
    if (milliSeconds == iTimeout) return;
    if (iHandle != -1) setBlocking(milliSeconds == 0);
    iTimeout = milliSeconds;
}

bool CSSocket::waitFor(int fd, short events, int timeoutMs) {
    struct pollfd entry = {fd, events, 0};
    int result = ops().os_poll(&entry, 1, timeoutMs);
    int err = errno;
    throwPendingSignal();
    if (result == -1) {
        if (err == EINTR) return false;
        throwSystemError(CS_CONTEXT, err);
    }
    return result > 0;
}

void CSSocket::publish(const char* service, int port) {
    close();
    try {
        createSocket();
        std::string serviceText;
        if (isNumeric(service)) {
            port = parsePort(service);
            if (port == 0) CSException::throwCoreError(CS_CONTEXT, CS_ERR_BAD_ADDRESS, service);
            serviceText = service;
        } else if (service && *service && lookupService(service)) {
            port = lookupService(service);
            serviceText = service;
        } else {
            if (port <= 0) {
                CSException::throwCoreError(CS_CONTEXT, CS_ERR_UNKNOWN_SERVICE,
                                            service && *service ? service : "0");
            }
            if (port > 65535)
                CSException::throwCoreError(CS_CONTEXT, CS_ERR_BAD_ADDRESS, std::to_string(port).c_str());
            serviceText = std::to_string(port);
        }
        iService = serviceText;
        iPort = port;
        iIdentity.clear();

        int on = 1;
        if (::setsockopt(iHandle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == -1)
            throwSystemError(CS_CONTEXT, errno);
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        addr.sin_port = htons(static_cast<uint16>(port));
        if (::bind(iHandle, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == -1)
            throwSystemError(CS_CONTEXT, errno);
        if (::listen(iHandle, kListenBacklog) == -1) throwSystemError(CS_CONTEXT, errno);
        // accept() always waits in poll() first, so the listener never blocks a thread in accept().
        setBlocking(false);
    } catch (...) {
        close();
        throw;
    }
}

void CSSocket::open(CSSocket* listener) {
    close();
    try {
        for (;;) {
            throwPendingSignal();
            if (listener->iHandle == -1) CSException::throwCoreError(CS_CONTEXT, CS_ERR_PORT_CLOSED);
            if (!waitFor(listener->iHandle, POLLIN, kWaitSliceMs)) continue;
            const bool accepted = tryOpen(listener);
            throwPendingSignal();
            if (accepted) return;
        }
    } catch (...) {
        close();
        throw;
    }
}

void CSSocket::adoptAccepted(int fd, const struct sockaddr_in& addr) {
    iHandle = fd;
    char host[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &addr.sin_addr, host, sizeof(host))) host[0] = 0;
    iHost = host;
    iPort = ntohs(addr.sin_port);
    iIdentity.clear();
    setNoDelay();
    setBlocking(iTimeout == 0);
}

bool CSSocket::tryOpen(CSSocket* listener) {
    close();
    struct sockaddr_in addr = {};
    socklen_t len = sizeof(addr);
    if (listener->iHandle == -1) CSException::throwCoreError(CS_CONTEXT, CS_ERR_PORT_CLOSED);
    int fd = ops().os_accept(listener->iHandle, reinterpret_cast<struct sockaddr*>(&addr), &len);
    if (fd == -1) {
        int err = errno;
        // A connection that was reset before it was taken is no error of the listener.
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ECONNABORTED) return false;
        listener->throwSystemError(CS_CONTEXT, err);
    }
    try {
        adoptAccepted(fd, addr);
    } catch (...) {
        close();
        throw;
    }
    return true;
}

void CSSocket::open(const char* address, int port) {
    close();
    try {
        std::string text = address ? address : "";
        std::string host;
        std::string service;
        if (auto colon = text.find(':'); colon != std::string::npos) {
            host = text.substr(0, colon);
            service = text.substr(colon + 1);
            if (isNumeric(service.c_str())) {
                port = parsePort(service.c_str());
                if (port == 0) CSException::throwCoreError(CS_CONTEXT, CS_ERR_BAD_ADDRESS, text.c_str());
            } else {
                port = lookupService(service.c_str());
                if (port == 0)
                    CSException::throwCoreError(CS_CONTEXT, CS_ERR_UNKNOWN_SERVICE, service.c_str());
            }
        } else {
            host = text;
            if (port <= 0 || port > 65535)
                CSException::throwCoreError(CS_CONTEXT, CS_ERR_BAD_ADDRESS, text.c_str());
            service = std::to_string(port);
        }

        struct addrinfo hints = {};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        struct addrinfo* found = nullptr;
        if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found)
            CSException::throwCoreError(CS_CONTEXT, CS_ERR_UNKNOWN_HOST, host.c_str());
        struct sockaddr_in addr;
        memcpy(&addr, found->ai_addr, sizeof(addr));
        ::freeaddrinfo(found);
        addr.sin_port = htons(static_cast<uint16>(port));

        iHost = host;
        iService = service;
        iPort = port;
        iIdentity.clear();
        createSocket();
        // Connect without blocking so that the wait can be interrupted like any other.
        setBlocking(false);
        if (::connect(iHandle, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == -1) {
            int err = errno;
            if (err != EINPROGRESS && err != EINTR) throwSystemError(CS_CONTEXT, err);
            while (!waitFor(iHandle, POLLOUT, kWaitSliceMs)) {
            }
            int soError = 0;
            socklen_t len = sizeof(soError);
            if (::getsockopt(iHandle, SOL_SOCKET, SO_ERROR, &soError, &len) == -1)
                throwSystemError(CS_CONTEXT, errno);
            if (soError) throwSystemError(CS_CONTEXT, soError);
        }
        setBlocking(iTimeout == 0);
    } catch (...) {
        close();
        throw;
    }
}

size_t CSSocket::read(char* data, size_t size) {
    if (size == 0) return 0;
    auto start = std::chrono::steady_clock::now();
    for (;;) {
        // Never block inside recv(): waiting happens in poll(), in slices, so that a timeout or a
        // pending signal is noticed whatever the socket's mode.
        ssize_t n = ops().os_recv(iHandle, data, size, MSG_DONTWAIT);
        int err = errno;
        throwPendingSignal();
        if (n >= 0) return static_cast<size_t>(n);
        if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR) throwSystemError(CS_CONTEXT, err);
        int wait = kWaitSliceMs;
        if (iTimeout) {
            auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count();
            if (elapsed >= static_cast<int64>(iTimeout)) throw receiveTimeout();
            wait = static_cast<int>(std::min<int64>(wait, static_cast<int64>(iTimeout) - elapsed));
        }
        waitFor(iHandle, POLLIN, wait);
    }
}

size_t CSSocket::readAvailable(char* data, size_t size, bool* ended) {
    *ended = false;
    if (size == 0) return 0;
    for (;;) {
        ssize_t n = ops().os_recv(iHandle, data, size, MSG_DONTWAIT);
        int err = errno;
        if (n > 0) return static_cast<size_t>(n);
        if (n == 0) {
            *ended = true;
            return 0;
        }
        if (err == EINTR) continue;
        if (err == EAGAIN || err == EWOULDBLOCK) return 0;
        throwSystemError(CS_CONTEXT, err);
    }
}

size_t CSSocket::writeNow(const char* data, size_t len) {
    size_t sent = 0;
    while (sent < len) {
        ssize_t n = ops().os_send(iHandle, data + sent, len - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == -1 && errno == EINTR) continue;
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    return sent;
}

CSException CSSocket::receiveTimeout() {
    char message[300];
    snprintf(message, sizeof(message), "Receive timeout: %lu ms, on: %s",
             static_cast<unsigned long>(iTimeout), identify());
    return CSException(CS_CONTEXT, CS_ERR_RECEIVE_TIMEOUT, message);
}

int CSSocket::read() {
    unsigned char ch;
    return read(reinterpret_cast<char*>(&ch), 1) == 1 ? ch : -1;
}

void CSSocket::writeBlock(const char* data, size_t len) {
    while (len > 0) {
        // MSG_NOSIGNAL: a peer that has gone is an error of this call, not a SIGPIPE for the process.
        ssize_t n = ops().os_send(iHandle, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        int err = errno;
        throwPendingSignal();
        if (n == -1) {
            if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR) throwSystemError(CS_CONTEXT, err);
            waitFor(iHandle, POLLOUT, kWaitSliceMs);
            continue;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
}

uint64 CSSocket::sendFile(int fd, const char* name, uint64 offset, uint64 count) {
    // sendfile has no per-call "don't wait": a socket in blocking mode is switched for the call,
    // so that waiting happens in poll(), in slices, like every other wait here.
    const bool wasBlocking = !iNonBlocking;
    if (wasBlocking) setBlocking(false);
    uint64 sent = 0;
    SigPipeBlock sigPipe;
    try {
        while (sent < count) {
            off_t position = static_cast<off_t>(offset + sent);
            size_t chunk = static_cast<size_t>(std::min<uint64>(count - sent, kSendFileChunk));
            ssize_t n = ops().os_sendfile(iHandle, fd, &position, chunk);
            int err = errno;
            throwPendingSignal();
            if (n == -1) {
                if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
                    waitFor(iHandle, POLLOUT, kWaitSliceMs);
                    continue;
                }
                // The socket's own errors name the socket; others come from reading the file.
                if (err == EPIPE || err == ECONNRESET || err == ENOTCONN || err == ETIMEDOUT ||
                    err == ECONNABORTED || err == EHOSTUNREACH || err == ENETUNREACH) {
                    if (err == EPIPE) sigPipe.drain();
                    throwSystemError(CS_CONTEXT, err);
                }
                CSException::throwFileError(CS_CONTEXT, err, name);
            }
            if (n == 0) break;  // the file ended early
            sent += static_cast<uint64>(n);
        }
    } catch (...) {
        if (wasBlocking) {
            int off = 0;
            ::ioctl(iHandle, FIONBIO, &off);  // the first error is the one to report
            iNonBlocking = false;
        }
        throw;
    }
    if (wasBlocking) setBlocking(true);
    return sent;
}

void CSSocket::close() {
    if (iHandle != -1) {
        flush();
        ::shutdown(iHandle, SHUT_RDWR);
        ::close(iHandle);
        iHandle = -1;
        iNonBlocking = false;
    }
    iHost.clear();
    iService.clear();
    iIdentity.clear();
    iPort = 0;
}

void CSSocket::formatAddress(size_t size, char* buffer) const {
    if (size == 0) return;
    cs_strcpy(size, buffer, iHost.c_str());
    if (!iService.empty()) {
        cs_strcat(size, buffer, ':');
        cs_strcat(size, buffer, iService.c_str());
    }
}

const char* CSSocket::identify() {
    if (iIdentity.empty()) {
        char buffer[200];
        formatAddress(sizeof(buffer), buffer);
        iIdentity = buffer;
    }
    return iIdentity.c_str();
}

CSRef<CSSocketInputStream> CSSocket::getInputStream() {
    return cs_new<CSSocketInputStream>(CSRef<CSSocket>::retained(this));
}

CSRef<CSSocketOutputStream> CSSocket::getOutputStream() {
    return cs_new<CSSocketOutputStream>(CSRef<CSSocket>::retained(this));
}

// ---- Socket streams ----

void CSSocketInputStream::reset() {
    CSException::throwException(CS_CONTEXT, CS_ERR_NOT_SUPPORTED,
                                "CSSocketInputStream::reset() not supported");
}

void CSSocketOutputStream::reset() {
    CSException::throwException(CS_CONTEXT, CS_ERR_NOT_SUPPORTED,
                                "CSSocketOutputStream::reset() not supported");
}
