#include "Network_hvps.h"

#include <csignal>
#include <cstdio>
#include <ctime>

#include "CSFile.h"
#include "CSLog.h"
#include "CSPath.h"
#include "CSStream.h"
#include "CSSys.h"
#include "ConnectionHandler_hvps.h"
#include "config_hvps.h"

CSSync MSNetwork::gListenerLock;
CSRef<CSSocket> MSNetwork::gListenerSocket;
MSConnectionHandler* MSNetwork::gListenerThread = nullptr;
uint32 MSNetwork::waitingToListen = 0;
CSThreadList MSNetwork::iHandlerList;
int32 MSNetwork::handlerCount = 0;
int32 MSNetwork::iHandlerID = 0;
std::mutex MSNetwork::gStartLock;
uint32 MSNetwork::minHandlers = 0;
uint32 MSNetwork::maxHandlers = 0;
std::unique_ptr<CSOrderedList> MSNetwork::mimeMapping;
CSRef<MSSystemThread> MSNetwork::iSystemThread;
std::atomic<bool> MSNetwork::shuttingDown{false};
std::atomic<time_t> MSSystemThread::iLastServiceTime{0};
std::unique_ptr<CSWaitSet> MSNetwork::gWaitSet;
CSMutex MSNetwork::gParkedLock(true);
MSConnection* MSNetwork::gOldestParked = nullptr;
MSConnection* MSNetwork::gNewestParked = nullptr;
std::atomic<size_t> MSNetwork::gParkedCount{0};
std::deque<MSConnection*> MSNetwork::gReported;
std::atomic<size_t> MSNetwork::gReportedCount{0};
std::atomic<bool> MSNetwork::gTurnSleeps{false};
std::atomic<int> MSNetwork::gLooking{0};
std::vector<CSRef<MSConnection>> MSNetwork::gRetired;

namespace {

// The tag of the listening socket in the idle set (parked connections are tagged with themselves).
int gListenerTag;

// The longest the turn holder waits before it looks at its must-quit flag again.
constexpr int kWaitSliceMs = 1000;

// How many reports a handler looks at for a ready parked connection before it stops looking.
constexpr int kReadyLooks = 2;

// The most reports one look at the idle set takes.
constexpr size_t kReportBatch = 16;

}  // namespace

// --- MIME table.

int MimeExtensionKey::compareKey(CSObject* key) {
    return iExtension->compare(static_cast<MimeExtensionKey*>(key)->iText);
}

void MimeFileExtensions::setValue(int column, CSRef<CSString> value) {
    if (column == 0) {
        iType = std::move(value);
        return;
    }
    if (!iType) return;
    iMapping->add(cs_new<MimeExtensionKey>(std::move(value)), CSRef<CSObject>(iType));
}

void MimeFileExtensions::setEOL() { iType.reset(); }

void MSNetwork::loadMimeFileExtensionMapping(const char* path) {
    if (!CSPath::newPath(path)->exists())
        CSL.logf(CSThread::getSelf(), CSLog::Error, CS_CONTEXT,
                 "Cannot find MIME/File extension mapping file: '%s'\n", path);
    CSRef<CSFile> file = CSFile::newFile(path);
    file->open(CSFile::READONLY);
    auto mapping = std::make_unique<CSOrderedList>();
    MimeFileExtensions reader(mapping.get());
    reader.load(CSBufferedInputStream::newStream(CSFileInputStream::newStream(file)));
    mimeMapping = std::move(mapping);
}

const char* MSNetwork::getMimeType(const char* extension) {
    if (!mimeMapping || !extension) return nullptr;
    MimeExtensionKey key(extension);
    auto* type = static_cast<CSString*>(mimeMapping->find(&key));
    return type ? type->getCString() : nullptr;
}

// --- Start-up and shutdown.

void MSNetwork::startUp(int port, uint32 minimum, uint32 maximum, const char* mimeFile) {
    gListenerSocket.reset();
    handlerCount = 0;
    shuttingDown = false;
    if (mimeFile && *mimeFile) loadMimeFileExtensionMapping(mimeFile);

    minHandlers = (maximum != 0 && maximum < minimum) ? maximum : minimum;
    maxHandlers = maximum;

    {
        CSThread* self = CSThread::getSelf();
        CSLogLock hold(CSL);
        if (port)
            CSL.logf(self, CSLog::Protocol, "Halvora Personal Server listening on port %d\n", port);
        else
            CSL.logf(self, CSLog::Protocol, "Halvora Personal Server not published\n");
    }

    // Every parked client costs a descriptor: allow as many as the system lets this process have.
    CSSys::sys_raiseFileLimit();
    gWaitSet = std::make_unique<CSWaitSet>();
    if (port) {
        CSRef<CSSocket> socket = CSSocket::newSocket();
        socket->publish(nullptr, port);
        gWaitSet->arm(socket->getHandle(), &gListenerTag, true);
        std::lock_guard<CSLock> hold(gListenerLock);
        gListenerSocket = std::move(socket);
    }

    MSSystemThread::iLastServiceTime = 0;
    iSystemThread = cs_new<MSSystemThread>();
    iSystemThread->start();
}

void MSNetwork::startNetwork() { startConnectionHandler(); }

void MSNetwork::shutDown() {
    CSThread* self = CSThread::getSelf();
    {
        // Once this is set under gStartLock, no handler is created any more.
        std::lock_guard<std::mutex> hold(gStartLock);
        shuttingDown = true;
    }

    if (CSRef<MSSystemThread> system = std::move(iSystemThread)) system->stop();

    iHandlerList.quitAllThreads();

    bool wasPublished = false;
    {
        std::lock_guard<CSLock> hold(gListenerLock);
        if (gListenerThread) {
            // The signal ends its accept at once. The socket is not closed under its feet: the
            // handler holds its own reference and drops it when the accept has failed, and the
            // last reference closes the socket (all handlers are joined below).
            gListenerThread->setMustQuit(true);
            gListenerThread->signal(SIGTERM);
        }
        try {
            wasPublished = static_cast<bool>(gListenerSocket);
            gListenerSocket.reset();
        } catch (const CSException& e) {
            e.log(self);
        }
        gListenerLock.wakeup();
    }

    try {
        iHandlerList.stopAllThreads();
    } catch (const CSException& e) {
        e.log(self);
    }
    // No handler runs any more: nobody else touches the parked connections.
    closeAllParked();

    mimeMapping.reset();
    if (wasPublished) CSL.logf(self, CSLog::Protocol, "Halvora Personal Server no longer published\n");
}

// --- The pool.

void MSNetwork::startConnectionHandler() {
    std::lock_guard<std::mutex> starting(gStartLock);
    if (shuttingDown) return;
    CSRef<MSConnectionHandler> handler;
    int32 id = 0;
    {
        std::lock_guard<CSLock> hold(iHandlerList.iLock);
        if (maxHandlers == 0 || handlerCount >= static_cast<int32>(maxHandlers)) return;
        id = ++iHandlerID;
        handler = MSConnectionHandler::newHandler(&iHandlerList);
        handler->iCounted = true;
        handlerCount++;
    }
    char name[40];
    snprintf(name, sizeof(name), "NetworkHandler%d", static_cast<int>(id));
    handler->setThreadName(name);
    handler->start();
}

void MSNetwork::decrementHandlerCount(MSConnectionHandler* handler) {
    std::lock_guard<CSLock> hold(iHandlerList.iLock);
    if (handler->iCounted) {
        if (handlerCount > 0) handlerCount--;
        handler->iCounted = false;
    }
}

void MSNetwork::connectionHandlerDied(MSConnectionHandler* handler) {
    decrementHandlerCount(handler);
    if (getListenerCount() == 0) startConnectionHandler();
}

int32 MSNetwork::getHandlerCount() {
    std::lock_guard<CSLock> hold(iHandlerList.iLock);
    return handlerCount;
}

int MSNetwork::getListenerPort() {
    std::lock_guard<CSLock> hold(gListenerLock);
    return gListenerSocket ? gListenerSocket->getPort() : 0;
}

uint32 MSNetwork::getListenerCount() {
    std::lock_guard<CSLock> hold(gListenerLock);
    return waitingToListen + (gListenerThread ? 1 : 0);
}

// --- The listener turn.

bool MSNetwork::lockListenerSocket(MSConnectionHandler* handler) {
    if (handler->mustQuit()) return false;
    std::lock_guard<CSLock> hold(gListenerLock);
    if (!gListenerSocket) return false;
    if (gListenerThread) {
        waitingToListen++;
        handler->iWaitingToListen = true;
        while (gListenerThread && !handler->mustQuit() && gListenerSocket) {
            try {
                gListenerLock.wait(kTurnWaitMs);
            } catch (const CSException& e) {
                if (hvps_system_parameters.iVerbose) e.log(handler);
            }
        }
        waitingToListen--;
        handler->iWaitingToListen = false;
    }
    if (handler->mustQuit() || !gListenerSocket) {
        // The wake-up that made this handler leave may have been meant for the turn: pass it on.
        if (!gListenerThread) gListenerLock.wakeOne();
        return false;
    }
    gListenerThread = handler;
    return true;
}

bool MSNetwork::unlockListenerSocket() {
    std::lock_guard<CSLock> hold(gListenerLock);
    gListenerThread = nullptr;
    // One waiter takes the turn; waking them all would only send the others back to sleep.
    gListenerLock.wakeOne();
    return waitingToListen == 0;
}

CSRef<MSConnection> MSNetwork::openConnection(MSConnectionHandler* handler) {
    CSRef<CSSocket> listener;
    {
        std::lock_guard<CSLock> hold(gListenerLock);
        if (!gListenerSocket) return {};
    }
    if (!lockListenerSocket(handler)) return {};
    {
        // Our own reference: shutDown may drop the service's while we wait. The count is
        // changed only under gListenerLock.
        std::lock_guard<CSLock> hold(gListenerLock);
        listener = gListenerSocket;
    }
    CSRef<MSConnection> connection;
    try {
        if (!listener) CSException::throwCoreError(CS_CONTEXT, CS_ERR_PORT_CLOSED);
        connection = waitForRequest(handler, listener.get());
    } catch (const CSException& e) {
        {
            std::lock_guard<CSLock> hold(gListenerLock);
            listener.reset();
        }
        unlockListenerSocket();
        if (hvps_system_parameters.iVerbose) e.log(handler);
        throw;
    }
    {
        std::lock_guard<CSLock> hold(gListenerLock);
        listener.reset();
    }
    if (connection) handler->setLastUse(time(nullptr));
    const bool nobodyWaiting = unlockListenerSocket();
    if (connection && nobodyWaiting) startConnectionHandler();
    return connection;
}

CSRef<MSConnection> MSNetwork::waitForRequest(MSConnectionHandler* handler, CSSocket* listener) {
    void* tags[kReportBatch];
    for (;;) {
        CSSys::sys_checkSignal();
        if (handler->mustQuit()) return {};
        if (!gRetired.empty() && gLooking.load() == 0) gRetired.clear();
        if (MSConnection* reported = takeReported()) {
            if (CSRef<MSConnection> connection = wakeParked(reported)) return connection;
            continue;
        }
        const int timeout = expireParked(handler);
        // A report queued after the look above either is seen here or finds the flag set and ends
        // the wait (takeReadyParked).
        size_t count = 0;
        gTurnSleeps = true;
        try {
            if (gReportedCount.load() == 0) count = gWaitSet->wait(timeout, tags, kReportBatch);
        } catch (...) {
            gTurnSleeps = false;
            throw;
        }
        gTurnSleeps = false;
        // New clients first; the connections reported with them wait for the next turn holder or a
        // handler that has replied.
        if (claimReported(tags, count)) {
            if (CSRef<MSConnection> connection = acceptOne(handler, listener)) return connection;
        }
    }
}

CSRef<MSConnection> MSNetwork::acceptOne(MSConnectionHandler* handler, CSSocket* listener) {
    CSRef<CSSocket> socket = CSSocket::newSocket();
    socket->setTimeout(hvps_system_parameters.iConnectionTimeout);
    try {
        if (!socket->tryOpen(listener)) return {};
    } catch (const CSException& e) {
        // Out of descriptors: the clients that have waited longest for nothing make room, and the
        // server goes on accepting.
        if (e.getErrorCode() != EMFILE && e.getErrorCode() != ENFILE) throw;
        size_t closed = evictParked(kEvictBatch);
        if (closed == 0) throw;
        CSL.logf(handler, CSLog::Protocol, "Out of file descriptors: closed %zu idle connections\n", closed);
        return {};
    }
    auto connection = cs_new<MSConnection>(std::move(socket));
    MSConnection::Head head = MSConnection::Head::Ended;
    try {
        head = connection->gatherHead();
    } catch (const CSException& e) {
        if (hvps_system_parameters.iVerbose) e.log(handler);
    }
    if (head == MSConnection::Head::Ready) return connection;
    if (head == MSConnection::Head::Partial) parkConnection(std::move(connection));
    return {};
}

bool MSNetwork::claimReported(void* const* tags, size_t count) {
    if (count == 0) return false;
    bool listener = false;
    // Also orders the threads that look at the connections after the ones that parked them.
    std::lock_guard<CSMutex> hold(gParkedLock);
    for (size_t i = 0; i < count; i++) {
        if (tags[i] == &gListenerTag) {
            listener = true;
            continue;
        }
        auto* connection = static_cast<MSConnection*>(tags[i]);
        // Ended by the turn holder since it was reported (and kept until nobody looks).
        if (!connection->iParked) continue;
        if (connection->iClaimed) {
            // Reported while its parker arms it: the parker arms it again.
            connection->iWokeEarly = true;
            continue;
        }
        connection->iClaimed = true;
        gReported.push_back(connection);
    }
    gReportedCount = gReported.size();
    return listener;
}

MSConnection* MSNetwork::takeReported() {
    if (gReportedCount.load(std::memory_order_relaxed) == 0) return nullptr;
    std::lock_guard<CSMutex> hold(gParkedLock);
    if (gReported.empty()) return nullptr;
    MSConnection* connection = gReported.front();
    gReported.pop_front();
    gReportedCount = gReported.size();
    return connection;
}

CSRef<MSConnection> MSNetwork::wakeParked(MSConnection* connection) {
    // Claimed: it stays in the list, which holds a reference, until this thread takes it out.
    CSRef<MSConnection> taken = CSRef<MSConnection>::retained(connection);
    MSConnection::Head head = MSConnection::Head::Ended;
    try {
        head = connection->gatherHead();
    } catch (const CSException& e) {
        if (hvps_system_parameters.iVerbose) e.log(CSThread::getSelf());
    }
    {
        std::lock_guard<CSMutex> hold(gParkedLock);
        connection->iClaimed = false;
        connection->iWokeEarly = false;  // a report of the bytes just looked at, not of new ones
        if (head == MSConnection::Head::Partial) {
            // It keeps its place (and its deadline): a head must be whole within the time-out.
            try {
                gWaitSet->arm(connection->socket()->getHandle(), connection);
                return {};
            } catch (const CSException& e) {
                e.log(CSThread::getSelf());
                head = MSConnection::Head::Ended;
            }
        }
        unlinkParked(connection);
    }
    if (head == MSConnection::Head::Ready) return taken;
    gWaitSet->forget(taken->socket()->getHandle());
    taken->close();
    return {};
}

CSRef<MSConnection> MSNetwork::takeReadyParked() {
    // A few looks at most: a report may be a head still arriving or a peer that left.
    for (int look = 0; look < kReadyLooks; look++) {
        MSConnection* reported = takeReported();
        if (!reported) {
            // Without parked connections there is nothing to look for (a single busy client, say).
            if (gParkedCount.load(std::memory_order_relaxed) == 0 || !gWaitSet) return {};
            void* tags[kReportBatch];
            gLooking++;
            try {
                // New clients are left to the turn holder, who is woken by the same report.
                claimReported(tags, gWaitSet->wait(0, tags, kReportBatch));
            } catch (...) {
                gLooking--;
                throw;
            }
            gLooking--;
            reported = takeReported();
            if (!reported) return {};
            // What this thread leaves is the turn holder's to serve, also when it sleeps.
            if (gReportedCount.load() > 0 && gTurnSleeps.load()) gWaitSet->interrupt();
        }
        if (CSRef<MSConnection> connection = wakeParked(reported)) return connection;
    }
    return {};
}

int MSNetwork::expireParked(MSConnectionHandler* handler) {
    const uint32 timeout = hvps_system_parameters.iConnectionTimeout;
    if (timeout == 0) return kWaitSliceMs;
    for (;;) {
        CSRef<MSConnection> expired;
        const auto now = MSConnection::Clock::now();
        {
            std::lock_guard<CSMutex> hold(gParkedLock);
            MSConnection* oldest = oldestUnclaimed();
            if (!oldest) return kWaitSliceMs;
            const auto deadline = oldest->iParkedAt + std::chrono::milliseconds(timeout);
            if (deadline > now) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
                return static_cast<int>(std::min<int64>(left, kWaitSliceMs));
            }
            expired = unlinkParked(oldest);
        }
        gWaitSet->forget(expired->socket()->getHandle());
        handler->sendTimeoutReply(expired.get());
        expired->close();
        retire(std::move(expired));
    }
}

size_t MSNetwork::evictParked(size_t count) {
    size_t closed = 0;
    for (; closed < count; closed++) {
        CSRef<MSConnection> oldest;
        {
            std::lock_guard<CSMutex> hold(gParkedLock);
            MSConnection* candidate = oldestUnclaimed();
            if (!candidate) break;
            oldest = unlinkParked(candidate);
        }
        gWaitSet->forget(oldest->socket()->getHandle());
        oldest->close();
        retire(std::move(oldest));
    }
    return closed;
}

void MSNetwork::retire(CSRef<MSConnection> connection) {
    // A thread that starts to look after the forget above cannot be handed a report of it.
    if (gLooking.load() > 0) gRetired.push_back(std::move(connection));
}

void MSNetwork::parkConnection(CSRef<MSConnection> connection) {
    connection->releaseIdleBuffers();
    if (shuttingDown || !gWaitSet) {
        connection->close();
        return;
    }
    // Linked claimed, then armed outside the lock, which every thread that parks or wakes a
    // connection takes: a report that comes before the claim ends finds it claimed, is noted, and
    // the connection is armed once more.
    MSConnection* c = connection.get();
    {
        std::lock_guard<CSMutex> hold(gParkedLock);
        linkParked(std::move(connection));
    }
    for (;;) {
        bool armed = false;
        try {
            gWaitSet->arm(c->socket()->getHandle(), c);
            armed = true;
        } catch (const CSException& e) {
            // The system watches no more descriptors: this client is closed rather than forgotten.
            e.log(CSThread::getSelf());
        }
        CSRef<MSConnection> refused;
        {
            std::lock_guard<CSMutex> hold(gParkedLock);
            if (armed && std::exchange(c->iWokeEarly, false)) continue;
            c->iClaimed = false;
            if (armed) return;
            refused = unlinkParked(c);
        }
        refused->close();
        return;
    }
}

void MSNetwork::linkParked(CSRef<MSConnection> connection) {
    MSConnection* c = connection.get();
    c->iClaimed = true;  // until it is armed
    c->iParkedAt = MSConnection::Clock::now();
    c->iParked = true;
    c->iOlder = gNewestParked;
    c->iNewer = nullptr;
    (gNewestParked ? gNewestParked->iNewer : gOldestParked) = c;
    gNewestParked = c;
    gParkedCount++;
    (void)connection.take();  // the list's reference now
}

MSConnection* MSNetwork::oldestUnclaimed() {
    MSConnection* c = gOldestParked;
    while (c && c->iClaimed) c = c->iNewer;
    return c;
}

CSRef<MSConnection> MSNetwork::unlinkParked(MSConnection* c) {
    (c->iOlder ? c->iOlder->iNewer : gOldestParked) = c->iNewer;
    (c->iNewer ? c->iNewer->iOlder : gNewestParked) = c->iOlder;
    c->iOlder = c->iNewer = nullptr;
    c->iParked = false;
    gParkedCount--;
    return CSRef<MSConnection>(c);
}

void MSNetwork::closeAllParked() {
    {
        // Reported connections nobody will look at any more are ended with the others.
        std::lock_guard<CSMutex> hold(gParkedLock);
        for (MSConnection* connection : gReported) connection->iClaimed = false;
        gReported.clear();
        gReportedCount = 0;
    }
    evictParked(SIZE_MAX);
    gRetired.clear();
    gWaitSet.reset();
}

size_t MSNetwork::getParkedCount() {
    std::lock_guard<CSMutex> hold(gParkedLock);
    return gParkedCount;
}

bool MSNetwork::killListener() {
    CSRef<MSConnectionHandler> victim;
    {
        std::lock_guard<CSLock> turn(gListenerLock);
        std::lock_guard<CSLock> pool(iHandlerList.iLock);
        if (iHandlerList.getSize() > minHandlers) {
            time_t now = time(nullptr);
            for (CSObject* obj = iHandlerList.getBack(); obj; obj = obj->getPrevLink()) {
                auto* handler = dynamic_cast<MSConnectionHandler*>(obj);
                if (!handler || !handler->iWaitingToListen) continue;
                if (now - handler->getLastUse() > kIdleRetireSeconds) {
                    victim = CSRef<MSConnectionHandler>::retained(handler);
                    victim->setMustQuit(true);
                    gListenerLock.wakeup();
                    break;
                }
            }
        }
    }
    if (!victim) return false;
    victim->join();
    return true;
}

bool MSSystemThread::doWork() {
    time_t now = time(nullptr);
    if (now - iLastServiceTime.load() > 19) {
        iLastServiceTime = now;
        while (!mustQuit() && MSNetwork::killListener()) {
        }
    }
    return true;
}
