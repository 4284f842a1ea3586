// The network service: the server's one listening socket and the pool of connection handlers that
// take turns at it. Exactly one handler at a time accepts (it has the turn); the others wait. A
// handler that accepts gives up the turn and, when nobody else is waiting, starts one more handler
// (up to the maximum), so that one is always listening while the others serve. MSSystemThread
// retires idle handlers above the minimum. The service also holds the MIME type table of downloads.
// A connection without a whole request head to serve holds no handler: it is parked in an idle set
// (MSConnection, CSWaitSet), and the handler that has the turn waits on the listening socket and on
// the parked connections together; one that becomes readable is gathered there and, once its head
// has arrived, served like a newly accepted connection. A handler that has just replied also takes,
// without waiting, a parked connection whose request is there. One look at the idle set takes all
// the reports it can; those not served at once wait in a queue for the turn holder or the next
// handler that has replied. So the handlers bound the requests in progress, not the connected
// clients.
// Lock order: gListenerLock before iHandlerList.iLock, and gStartLock before iHandlerList.iLock;
// no path takes them the other way round. gParkedLock is taken last, with nothing else after it.
#pragma once

#include <atomic>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "CSDaemon.h"
#include "CSDefs.h"
#include "CSDelimited.h"
#include "CSMutex.h"
#include "CSObject.h"
#include "CSSocket.h"
#include "CSStorage.h"
#include "CSString.h"
#include "CSThread.h"
#include "CSWaitSet.h"
#include "Connection_hvps.h"

class MSConnectionHandler;

// The key of one file extension in the MIME table; compares without regard to case. A key in the
// table owns its text; a key that looks one up borrows the caller's, so a lookup copies nothing.
class MimeExtensionKey : public CSOrderKey {
public:
    explicit MimeExtensionKey(CSRef<CSString> extension)
        : iExtension(std::move(extension)), iText(iExtension->getCString()) {}
    explicit MimeExtensionKey(const char* text) : iText(text) {}
    // Asked of keys in the table only (the table compares its own keys with the one given).
    int compareKey(CSObject* key) override;

private:
    CSRef<CSString> iExtension;  // none for a key that looks one up
    const char* iText;
};

// Reads "type ext ext ..." lines into a mapping from extension to type.
class MimeFileExtensions : public CSSpaceDelimited {
public:
    explicit MimeFileExtensions(CSOrderedList* mapping) : iMapping(mapping) {}
    void setValue(int column, CSRef<CSString> value) override;
    void setEOL() override;

private:
    CSOrderedList* iMapping;  // not owned
    CSRef<CSString> iType;    // the type of the line being read
};

// Retires idle handlers above the minimum, checking at most every 20 seconds.
class MSSystemThread : public CSDaemon {
public:
    MSSystemThread() : CSDaemon("SystemThread", 1000, nullptr) {}
    bool doWork() override;

    static std::atomic<time_t> iLastServiceTime;
};

class MSNetwork {
public:
    // Idle time after which a waiting handler above the minimum may be retired, in seconds.
    static constexpr time_t kIdleRetireSeconds = 40;
    // Slice of a wait for the listener turn; quitting never depends on a wake-up for longer.
    static constexpr time_t kTurnWaitMs = 2000;

    // Publishes `port` (0: nothing is published), loads the MIME table (when `mimeFile` is given)
    // and starts the system thread. Raises when the port cannot be published or the MIME file read.
    static void startUp(int port, uint32 minimum, uint32 maximum, const char* mimeFile);
    // Starts the first connection handler.
    static void startNetwork();
    // Stops the system thread and every handler, and closes the listening socket.
    static void shutDown();

    // The most parked connections closed at once when descriptors run short.
    static constexpr size_t kEvictBatch = 16;

    // The next connection with a request head to serve for `handler`, or none when the handler is
    // to end. Waits for the turn first; the turn holder accepts, gathers heads and ends parked
    // connections whose connection-timeout has passed.
    static CSRef<MSConnection> openConnection(MSConnectionHandler* handler);
    // Keeps `connection` without a handler until bytes of its next request arrive (closes it when
    // the service is shutting down or cannot watch it).
    static void parkConnection(CSRef<MSConnection> connection);
    // A parked connection whose next request head has arrived, taken without waiting and without
    // the turn; none when no parked connection is ready. A handler that has just replied serves it
    // rather than sleeping on a connection whose next request has not come, so that under load a
    // busy thread goes from one ready client to the next without a hand-over between threads.
    static CSRef<MSConnection> takeReadyParked();
    static size_t getParkedCount();
    // True when `handler` has taken the turn; false when it must quit or nothing is published.
    static bool lockListenerSocket(MSConnectionHandler* handler);
    // Gives up the turn and wakes the waiters; true when nobody was waiting.
    static bool unlockListenerSocket();
    // Handlers waiting for the turn plus the one that has it.
    static uint32 getListenerCount();
    // Starts one more handler unless shutting down or the pool is at its maximum.
    static void startConnectionHandler();
    // Counts `handler` off the pool (once).
    static void decrementHandlerCount(MSConnectionHandler* handler);
    // A handler's thread has ended its loop: count it off and keep one listener alive.
    static void connectionHandlerDied(MSConnectionHandler* handler);
    // Retires one idle handler above the minimum and joins it; false when there is none.
    static bool killListener();

    static bool isShuttingDown() { return shuttingDown.load(); }
    static int32 getHandlerCount();
    static uint32 getMinHandlers() { return minHandlers; }
    static uint32 getMaxHandlers() { return maxHandlers; }
    // The port actually published (the system's choice when a service named none), or 0.
    static int getListenerPort();

    // The MIME type of a file extension (any case), or none. The text stays valid until shutDown.
    static const char* getMimeType(const char* extension);
    // Replaces the MIME table by the content of `path`.
    static void loadMimeFileExtensionMapping(const char* path);

    // --- Guarded by gListenerLock.
    static CSSync gListenerLock;
    static CSRef<CSSocket> gListenerSocket;
    static MSConnectionHandler* gListenerThread;  // has the turn (it is in accept), or none
    static uint32 waitingToListen;

    // --- The pool; iHandlerList.iLock guards handlerCount and the handlers' counted flags.
    static CSThreadList iHandlerList;
    static int32 handlerCount;
    static int32 iHandlerID;  // last number used in a handler name; numbers are never reused
    // Held while a handler is created and started, so that shutDown never misses one.
    static std::mutex gStartLock;

    // --- Set once by startUp.
    static uint32 minHandlers;
    static uint32 maxHandlers;
    static std::unique_ptr<CSOrderedList> mimeMapping;

    static CSRef<MSSystemThread> iSystemThread;
    static std::atomic<bool> shuttingDown;

    // --- The idle set: set up by startUp, dropped by shutDown. Only the turn holder waits on it.
    static std::unique_ptr<CSWaitSet> gWaitSet;
    // --- The parked connections, oldest first; each holds one reference of the list. Handlers add
    // at the newest end; a handler that is reported one takes it out (the turn holder also ends
    // expired ones, and shutDown the rest once no handler runs).
    static CSMutex gParkedLock;
    static MSConnection* gOldestParked;       // guarded by gParkedLock
    static MSConnection* gNewestParked;       // guarded by gParkedLock
    static std::atomic<size_t> gParkedCount;  // changed under gParkedLock, read without it
    // --- Parked connections reported readable, claimed, and waiting in the order of their reports
    // for a thread to look at them: one wait takes all the reports it can, and the turn holder and
    // handlers that have replied take them from here. Guarded by gParkedLock.
    static std::deque<MSConnection*> gReported;
    static std::atomic<size_t> gReportedCount;  // changed under gParkedLock, read without it
    // Set while the turn holder sleeps in the idle set: reports left here then wake it.
    static std::atomic<bool> gTurnSleeps;
    // Threads between a look at the idle set without the turn and the claim of what it reported.
    // A report in their hands may name a connection the turn holder has just ended: such ones are
    // kept (gRetired, the turn holder's) until no thread is between the two.
    static std::atomic<int> gLooking;
    static std::vector<CSRef<MSConnection>> gRetired;

private:
    // The turn holder's loop: returns a connection whose head can be read, or none (must quit).
    static CSRef<MSConnection> waitForRequest(MSConnectionHandler* handler, CSSocket* listener);
    // One connection from the backlog: returned when its head is already there, else parked.
    static CSRef<MSConnection> acceptOne(MSConnectionHandler* handler, CSSocket* listener);
    // Claims the parked connections named by `tags` (reports of one wait) and queues them in
    // gReported; true when the listening socket was among them. A connection a thread has claimed
    // already is noted to be armed again by it.
    static bool claimReported(void* const* tags, size_t count);
    // The oldest queued report, claimed, or none.
    static MSConnection* takeReported();
    // A reported connection: returned when its head is whole, else parked again (or closed when
    // its peer has left). Several threads may look at connections at once; each is claimed meanwhile.
    static CSRef<MSConnection> wakeParked(MSConnection* connection);
    // A connection the turn holder has taken out of the list and closed: dropped now, or kept while
    // another thread may still hold a report of it.
    static void retire(CSRef<MSConnection> connection);
    // Ends the parked connections whose time-out has passed; the milliseconds to wait at most
    // until the next one's.
    static int expireParked(MSConnectionHandler* handler);
    // Closes up to `count` of the longest-parked connections; the number closed.
    static size_t evictParked(size_t count);
    // The longest-parked connection no thread has claimed, or none. Caller holds gParkedLock.
    static MSConnection* oldestUnclaimed();
    // Adds to the newest end, claimed until the caller has armed it. Caller holds gParkedLock.
    static void linkParked(CSRef<MSConnection> connection);
    // Takes out of the list, handing over the list's reference. Caller holds gParkedLock.
    static CSRef<MSConnection> unlinkParked(MSConnection* connection);
    static void closeAllParked();
};
