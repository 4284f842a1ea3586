#include "Network_hvps.h"

#include <csignal>
#include <cstdio>
#include <ctime>

#include "CSFile.h"
#include "CSLog.h"
#include "CSPath.h"
#include "CSStream.h"
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

// --- MIME table.

int MimeExtensionKey::compareKey(CSObject* key) {
    return iExtension->compare(static_cast<MimeExtensionKey*>(key)->iExtension.get());
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
    MimeExtensionKey key(CSString::newString(extension));
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

    if (port) {
        CSRef<CSSocket> socket = CSSocket::newSocket();
        socket->publish(nullptr, port);
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
    if (handler->mustQuit() || !gListenerSocket) return false;
    gListenerThread = handler;
    return true;
}

bool MSNetwork::unlockListenerSocket() {
    std::lock_guard<CSLock> hold(gListenerLock);
    gListenerThread = nullptr;
    gListenerLock.wakeup();
    return waitingToListen == 0;
}

CSRef<CSSocket> MSNetwork::openConnection(MSConnectionHandler* handler) {
    CSRef<CSSocket> listener;
    {
        std::lock_guard<CSLock> hold(gListenerLock);
        if (!gListenerSocket) return {};
    }
    CSRef<CSSocket> socket = CSSocket::newSocket();
    if (!lockListenerSocket(handler)) return {};
    {
        // Our own reference: shutDown may drop the service's while we accept. The count is
        // changed only under gListenerLock.
        std::lock_guard<CSLock> hold(gListenerLock);
        listener = gListenerSocket;
    }
    bool nobodyWaiting;
    try {
        if (!listener) CSException::throwCoreError(CS_CONTEXT, CS_ERR_PORT_CLOSED);
        socket->open(listener.get());
        handler->setLastUse(time(nullptr));
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
    nobodyWaiting = unlockListenerSocket();
    if (nobodyWaiting) startConnectionHandler();
    return socket;
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
