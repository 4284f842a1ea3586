// MSConnection: one client connection of the network service: its socket and the buffered HTTP
// streams over it. A connection is either served by one connection handler, which borrows it for
// as long as it has requests to read, or parked in MSNetwork's idle set, where it costs a
// descriptor and a few hundred bytes: it holds a set of buffered streams (and their buffers) only
// while a handler serves it or while bytes of an unfinished request head wait in them. A set it
// gives up goes to its thread's spare, and the next connection that thread serves takes it over,
// so that a server that parks and wakes connections builds no streams in its steady state. One
// thread at a time uses a connection; the hand-over between threads goes through MSNetwork's locks.
#pragma once

#include <chrono>

#include "CSHTTPStream.h"
#include "CSObject.h"
#include "CSSocket.h"
#include "CSStream.h"

class MSConnection : public CSSharedRefObject {
public:
    using Clock = std::chrono::steady_clock;

    // What a look at the bytes that have arrived found.
    enum class Head {
        Ready,    // a whole head, or enough bytes for readHead to refuse them, or input that ended
        Partial,  // not yet: wait for more bytes
        Ended,    // the peer closed without sending a byte of a request
    };

    // A connection over an accepted socket.
    explicit MSConnection(CSRef<CSSocket> socket);
    // A connection over other streams (tests drive the request loop over memory streams).
    MSConnection(CSRef<CSInputStream> in, CSRef<CSOutputStream> out);

    // The request reader and reply writer; built when missing.
    CSHTTPInputStream* input();
    CSHTTPOutputStream* output();
    CSSocket* socket() const { return iSocket.get(); }

    // Reads what has arrived without waiting and tells whether a request head can be read now
    // without waiting. Raises when the socket fails.
    Head gatherHead();
    // Whether bytes of a next request already wait in the input buffer.
    bool hasBufferedInput() const { return iStreams.buffered && iStreams.buffered->getBuffered() > 0; }
    // Hands the streams to this thread's spare when no byte of input waits in them (before
    // parking). Nobody else may hold them any more.
    void releaseIdleBuffers();
    // Closes the socket (a connection ends when its last reference goes too); the streams go to
    // this thread's spare, as releaseIdleBuffers gives them. Nobody else may hold them any more.
    void close();

    // --- Parking, managed by MSNetwork under its parked-set lock.
    Clock::time_point iParkedAt{};
    MSConnection* iOlder = nullptr;  // neighbours in the parked list (oldest first)
    MSConnection* iNewer = nullptr;
    bool iParked = false;
    // A thread arms it or looks at the bytes that woke it: it stays in the list but is neither
    // expired nor evicted meanwhile, so that it is not closed (or freed) under that thread's feet.
    bool iClaimed = false;
    bool iWokeEarly = false;  // reported while its parker was still arming it

private:
    // The buffered streams of a request reader and a reply writer; bound to one connection's raw
    // streams while it uses them, unbound and holding nothing of any connection in a spare.
    struct Streams {
        CSRef<CSBufferedInputStream> buffered;
        CSRef<CSBufferedOutputStream> bufferedOutput;
        CSRef<CSHTTPInputStream> input;
        CSRef<CSHTTPOutputStream> output;
    };

    // Takes this thread's spare set, or builds one, and binds it to the raw streams.
    void buildStreams();
    // Unbinds the set and hands it to this thread's spare (dropped when the spare is taken).
    void releaseStreams();

    // The set the connection this thread last let go of gave up, or none. One per thread: a
    // thread that parks a connection wakes another soon after, on the same thread.
    static thread_local Streams tSpare;

    CSRef<CSSocket> iSocket;         // none for connections over other streams
    CSRef<CSInputStream> iRawInput;  // the streams the buffers are bound to, made once
    CSRef<CSOutputStream> iRawOutput;
    Streams iStreams;
};
