#include "CSThread.h"

#include <cerrno>
#include <csignal>
#include <ctime>

#include "CSException.h"
#include "CSLog.h"
#include "CSString.h"

std::atomic<bool> CSThread::sIsUp{false};

namespace {

thread_local CSThread* tSelf = nullptr;
std::once_flag gHandlerOnce;

// SIGUSR2 exists only to interrupt a blocking call of its target; the sender has already recorded
// the pending signal, so the handler has nothing to do.
void onInterruptSignal(int) {}

void logUnexpected(CSThread* self, const std::exception& e) {
    CSException x(CS_CONTEXT, CS_ERR_GENERIC_ERROR, e.what());
    x.log(self, "Unexpected exception");
}

}  // namespace

CSThread::CSThread(const char* name, CSThreadList* list) : iName(name ? name : ""), iList(list) {}

CSThread::~CSThread() {
    // An attached thread that nobody joined: let the system reclaim it when it ends.
    if (iJoinable) pthread_detach(iThreadId);
}

void CSThread::installSignalHandler() {
    std::call_once(gHandlerOnce, [] {
        struct sigaction action {};
        action.sa_handler = onInterruptSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: blocking calls fail with EINTR
        if (sigaction(SIGUSR2, &action, nullptr) != 0) CSException::throwLastError(CS_CONTEXT);
    });
}

bool CSThread::startUp() {
    sIsUp = false;
    try {
        installSignalHandler();
    } catch (const CSException& e) {
        e.log(getSelf());
        return false;
    }
    sIsUp = true;
    return true;
}

void CSThread::shutDown() { sIsUp = false; }

CSRef<CSThread> CSThread::newThread(CSString* name, Function function, CSThreadList* list) {
    return newThread(name ? name->getCString() : nullptr, std::move(function), list);
}

CSRef<CSThread> CSThread::newThread(const char* name, Function function, CSThreadList* list) {
    auto thread = cs_new<CSThread>(name, list);
    thread->iFunction = std::move(function);
    return thread;
}

CSThread* CSThread::getSelf() { return tSelf; }

void CSThread::setSelf(CSThread* thread) {
    tSelf = thread;
    if (thread) {
        std::lock_guard hold(thread->iStateMutex);
        thread->iThreadId = pthread_self();
        thread->iHasThread = true;
    }
}

void CSThread::notifyState() {
    std::lock_guard hold(iStateMutex);
    iStateChanged.notify_all();
}

void CSThread::markStarted() {
    std::lock_guard hold(iStateMutex);
    iStarted = true;
    iStateChanged.notify_all();
}

void CSThread::finish(void* result) {
    iRunning = false;
    std::lock_guard hold(iStateMutex);
    iResult = result;
    iStarted = true;
    iFinished = true;
    iStateChanged.notify_all();
}

void* CSThread::dispatch(void* arg) {
    CSRef<CSThread> self(static_cast<CSThread*>(arg));  // the reference start() handed over
    setSelf(self.get());
    self->iRunning = true;
    void* result = nullptr;
    try {
        installSignalHandler();
        if (self->iList) self->iList->addThread(self.get());
        self->markStarted();
        result = self->run();
    } catch (const CSException& e) {
        e.log(self.get());
    } catch (const std::exception& e) {
        logUnexpected(self.get(), e);
    }
    try {
        if (self->iList) self->iList->removeThread(self.get());
    } catch (const CSException& e) {
        e.log(self.get());
    }
    self->finish(result);
    setSelf(nullptr);
    return result;
}

void CSThread::start(bool detached) {
    installSignalHandler();
    {
        std::lock_guard hold(iStateMutex);
        if (iHasThread && !iFinished) CSException::throwAssertion(CS_CONTEXT, "thread started twice");
        if (iJoinable) {
            pthread_detach(iThreadId);
            iJoinable = false;
        }
        iStarted = false;
        iFinished = false;
        iResult = nullptr;
        iDetached = false;
        iAdopted = false;
    }
    retain();  // for the new thread; dispatch() gives it back
    pthread_t id;
    if (int err = pthread_create(&id, nullptr, dispatch, this)) {
        release();
        CSException::throwOSError(CS_CONTEXT, err);
    }
    std::unique_lock hold(iStateMutex);
    iThreadId = id;
    iHasThread = true;
    iJoinable = true;
    iStateChanged.wait(hold, [this] { return iStarted; });
    if (detached) {
        pthread_detach(id);
        iJoinable = false;
        iDetached = true;
    }
}

void* CSThread::join() {
    std::unique_lock hold(iStateMutex);
    if (!iHasThread || (!iFinished && pthread_equal(iThreadId, pthread_self()))) return iResult;
    if (iJoinable) {
        iJoinable = false;
        pthread_t id = iThreadId;
        hold.unlock();
        void* result = nullptr;
        if (int err = pthread_join(id, &result)) CSException::throwOSError(CS_CONTEXT, err);
        return result;
    }
    // Detached, adopted, or being joined by another caller.
    iStateChanged.wait(hold, [this] { return iFinished || (iAdopted && !iInList); });
    return iResult;
}

void CSThread::signal(int sig) {
    setSignalPending(sig);
    installSignalHandler();
    // Under the state lock the thread cannot finish, so its id stays valid for pthread_kill.
    std::lock_guard hold(iStateMutex);
    iStateChanged.notify_all();  // ends a sleep()
    if (!iHasThread || iFinished) return;
    int err = pthread_kill(iThreadId, SIGUSR2);
    if (err && err != ESRCH) CSException::throwOSError(CS_CONTEXT, err);
}

void CSThread::stop() {
    signal(SIGTERM);
    join();
}

void* CSThread::run() { return iFunction ? iFunction() : nullptr; }

void CSThread::setSignalPending(int sig) {
    if (sig == SIGTERM) {
        iPendingSignal = SIGTERM;
        return;
    }
    int expected = 0;
    iPendingSignal.compare_exchange_strong(expected, sig);
}

int CSThread::takePendingSignal() {
    if (iNoThrow) return 0;
    return iPendingSignal.exchange(0);
}

void CSThread::throwSignal() {
    if (int sig = takePendingSignal()) CSException::throwSignal(CS_CONTEXT, sig);
}

void CSThread::sleep(uint32 milliseconds) {
    // Waiting on the state condition rather than in nanosleep() means a stop that arrives just
    // before the sleep begins is not lost: signal() wakes this wait.
    {
        std::unique_lock hold(iStateMutex);
        iStateChanged.wait_for(hold, std::chrono::milliseconds(milliseconds),
                               [this] { return iPendingSignal.load() != 0 && !iNoThrow; });
    }
    throwSignal();
}

void CSThread::attach(CSThread* thread) {
    if (!thread) return;
    installSignalHandler();
    setSelf(thread);
    {
        std::lock_guard hold(thread->iStateMutex);
        thread->iAdopted = true;
        thread->iStarted = true;
        thread->iFinished = false;
    }
    thread->iRunning = true;
    thread->retain();
    if (thread->iList) thread->iList->addThread(thread);
}

void CSThread::detach(CSThread* thread) {
    if (!thread) return;
    CSRef<CSThread> ref(thread);  // the reference attach() kept
    if (thread->iList) thread->iList->removeThread(thread);
    thread->finish(nullptr);
    {
        std::lock_guard hold(thread->iStateMutex);
        thread->iHasThread = false;
    }
    if (getSelf() == thread) setSelf(nullptr);
}

// ---- CSThreadList ----

CSThreadList::~CSThreadList() {
    try {
        stopAllThreads();
    } catch (const CSException& e) {
        e.log(CSThread::getSelf());
    }
    // Only the caller itself can be left; it must not leave a list that no longer exists.
    std::lock_guard hold(iLock);
    for (CSObject* obj = getFront(); obj; obj = obj->getNextLink()) {
        auto* thread = static_cast<CSThread*>(obj);
        thread->iInList = false;
        thread->iList = nullptr;
    }
    clear();
}

void CSThreadList::addThread(CSThread* thread) {
    std::lock_guard hold(iLock);
    thread->retain();
    addFront(thread);
    thread->iInList = true;
}

void CSThreadList::removeThread(CSThread* thread) {
    auto keep = CSRef<CSThread>::retained(thread);
    {
        std::lock_guard hold(iLock);
        if (!thread->iInList) return;
        thread->iInList = false;
        remove(thread);
    }
    thread->notifyState();
}

uint32 CSThreadList::getThreadCount() {
    std::lock_guard hold(iLock);
    return getSize();
}

void CSThreadList::quitAllThreads() {
    CSThread* self = CSThread::getSelf();
    std::lock_guard hold(iLock);
    for (CSObject* obj = getFront(); obj; obj = obj->getNextLink()) {
        if (obj != self) static_cast<CSThread*>(obj)->setMustQuit(true);
    }
}

void CSThreadList::signalAllThreads(int sig) {
    CSThread* self = CSThread::getSelf();
    std::lock_guard hold(iLock);
    for (CSObject* obj = getFront(); obj; obj = obj->getNextLink()) {
        if (obj != self) static_cast<CSThread*>(obj)->signal(sig);
    }
}

void CSThreadList::stopAllThreads() {
    CSThread* self = CSThread::getSelf();
    for (;;) {
        CSRef<CSThread> oldest;
        {
            // The lock is not held while stopping: the stopped thread takes it to leave the list.
            std::lock_guard hold(iLock);
            for (CSObject* obj = getBack(); obj; obj = obj->getPrevLink()) {
                if (obj != self) {
                    oldest = CSRef<CSThread>::retained(static_cast<CSThread*>(obj));
                    break;
                }
            }
        }
        if (!oldest) return;
        oldest->stop();
        // A member that was never started cannot leave by itself.
        if (oldest->isInList()) removeThread(oldest.get());
    }
}
