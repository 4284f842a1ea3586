// CSSocket: a TCP socket over IPv4, either listening (publish), accepted from a listening socket, or
// connected to a host. Reads can carry a receive timeout. Every call that waits does so in slices of
// at most a second and raises the calling thread's pending signal, so a stopping thread never stays
// blocked on the network. A socket and its streams are used by one thread at a time; a listening
// socket is shared by threads that take turns at accept() under their own lock.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

struct sockaddr_in;

#include <string>

#include "CSDefs.h"
#include "CSException.h"
#include "CSObject.h"
#include "CSStream.h"

enum : int {
    CS_ERR_NOT_SUPPORTED = -14018,
    CS_ERR_RECEIVE_TIMEOUT = -14020,
};

// The raw socket calls, with their own contracts (result, errno). Tests replace them to inject
// faults (EINTR, short sends, resets) without touching the code above.
class CSSocketOps {
public:
    virtual ~CSSocketOps() = default;
    virtual ssize_t os_recv(int fd, void* buf, size_t size, int flags);
    virtual ssize_t os_send(int fd, const void* buf, size_t size, int flags);
    virtual int os_poll(struct pollfd* fds, nfds_t count, int timeoutMs);
    virtual int os_accept(int fd, struct sockaddr* addr, socklen_t* len);
    virtual ssize_t os_sendfile(int outFd, int inFd, off_t* offset, size_t count);
};

class CSSocketInputStream;
class CSSocketOutputStream;

class CSSocket : public CSRefObject {
public:
    CSSocket() = default;
    ~CSSocket() override;

    // An unopened socket.
    static CSRef<CSSocket> newSocket();

    // The calls in use; setOps installs `ops` (null restores the system's) and returns the previous
    // one. The caller keeps ownership. For tests, while no other thread uses a socket.
    static CSSocketOps& ops();
    static CSSocketOps* setOps(CSSocketOps* ops);

    // Listens on all IPv4 addresses. A service text starting with a digit is the port (0 raises
    // -14003); another is looked up as a TCP service, falling back to `port` (0 raises -14004).
    void publish(const char* service, int port);
    // Accepts the next connection of `listener` into this socket.
    void open(CSSocket* listener);
    // Connects to "host:service", or to "host" and `port` when the text has no ":".
    void open(const char* address, int port);
    // Accepts a connection of `listener` into this socket if one is pending, without waiting:
    // false when none is. Raises what accept() reports otherwise (EMFILE when out of descriptors).
    bool tryOpen(CSSocket* listener);

    // 0: reads wait without limit. Otherwise a read that gets no byte for that many milliseconds
    // raises -14020 "Receive timeout: %lu ms, on: %s"; the socket stays open.
    void setTimeout(uint32 milliSeconds);
    uint32 getTimeout() const { return iTimeout; }
    void setNoDelay();

    // Up to `size` bytes; 0 when the peer has closed.
    size_t read(char* data, size_t size);
    // One byte, or -1 when the peer has closed.
    int read();
    // The bytes that can be had without waiting, up to `size` (0 when none has arrived); sets
    // `*ended` when the peer has closed.
    size_t readAvailable(char* data, size_t size, bool* ended);
    // Sends what the system takes at once of `len` bytes and returns the count (for a last word to
    // a peer that may not read: it never waits).
    size_t writeNow(const char* data, size_t len);
    // Waits up to `milliSeconds` for a byte to read (or the peer's close); false when none came.
    bool waitReadable(int milliSeconds) { return waitFor(iHandle, POLLIN, milliSeconds); }
    // The error a read raises when no byte came within the timeout.
    CSException receiveTimeout();
    // A socket cannot look ahead: always -1.
    int peek() { return -1; }
    // Sends all bytes, waiting while the peer's window is full.
    void write(const char* data, size_t len) { writeBlock(data, len); }
    void write(char ch) { writeBlock(&ch, 1); }
    // Sends `count` bytes of the open file `fd` from `offset` on, copied by the system from the file
    // to the socket, waiting while the peer's window is full as write() does. Returns the bytes
    // sent: fewer when the file ends first. A file error names `name`.
    uint64 sendFile(int fd, const char* name, uint64 offset, uint64 count);
    void flush() {}
    void close();

    bool isOpen() const { return iHandle != -1; }
    int getHandle() const { return iHandle; }
    // For an accepted socket the peer's port, else the port published or connected to.
    int getPort() const { return iPort; }
    // Host, then ":" and service, each when present: "127.0.0.1", ":8080", "srv:http".
    void formatAddress(size_t size, char* buffer) const;
    const char* identify();

    CSRef<CSSocketInputStream> getInputStream();
    CSRef<CSSocketOutputStream> getOutputStream();

private:
    void writeBlock(const char* data, size_t len);
    void createSocket();
    // Takes over the accepted descriptor `fd` of the peer at `addr`; the caller closes on failure.
    void adoptAccepted(int fd, const struct sockaddr_in& addr);
    void setBlocking(bool blocking);
    // Waits up to `timeoutMs` for `events`; false when the time ran out.
    bool waitFor(int fd, short events, int timeoutMs);
    // The error of errno `err` naming this socket's address (the end-of-file error for 0).
    [[noreturn]] void throwSystemError(const char* func, const char* file, int line, int err);

    int iHandle = -1;
    std::string iHost;
    std::string iService;
    std::string iIdentity;
    int iPort = 0;
    uint32 iTimeout = 0;
    bool iNonBlocking = false;
};

// Reads a socket; keeps a reference to it. close() closes the socket.
class CSSocketInputStream : public CSInputStream {
public:
    explicit CSSocketInputStream(CSRef<CSSocket> socket) : iSocket(std::move(socket)) {}

    void close() override { iSocket->close(); }
    size_t read(char* data, size_t size) override { return iSocket->read(data, size); }
    int read() override { return iSocket->read(); }
    size_t readAvailable(char* data, size_t size, bool* ended) override {
        return iSocket->readAvailable(data, size, ended);
    }
    int peek() override { return iSocket->peek(); }
    void reset() override;
    const char* identify() override { return iSocket->identify(); }

    CSSocket* getSocket() const { return iSocket.get(); }

private:
    CSRef<CSSocket> iSocket;
};

// Writes a socket; keeps a reference to it. close() closes the socket.
class CSSocketOutputStream : public CSOutputStream {
public:
    explicit CSSocketOutputStream(CSRef<CSSocket> socket) : iSocket(std::move(socket)) {}

    void close() override { iSocket->close(); }
    void write(const char* data, size_t len) override { iSocket->write(data, len); }
    const char* getEOL() override { return "\r\n"; }
    void flush() override { iSocket->flush(); }
    void write(char ch) override { iSocket->write(ch); }
    void reset() override;
    const char* identify() override { return iSocket->identify(); }
    uint64 sendFile(int fd, const char* name, uint64 offset, uint64 count) override {
        return iSocket->sendFile(fd, name, offset, count);
    }

    CSSocket* getSocket() const { return iSocket.get(); }

private:
    CSRef<CSSocket> iSocket;
};
