// CSThread wraps one POSIX thread: its name in the log, the group (CSThreadList) it belongs to, and
// the pending-signal number that another thread records to make it stop. Stopping records the
// signal and sends SIGUSR2, whose handler is installed without SA_RESTART, so a blocking system
// call of the target returns EINTR; the I/O layer then raises the pending signal as an exception
// and the thread unwinds. A pending signal is also raised at the thread's explicit checks
// (throwSignal, sleep).
// The object is shared by the thread itself, its creator and its list, so its count is atomic.
// Name and function are set before start; the flags may be written by any thread.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "CSDefs.h"
#include "CSMutex.h"
#include "CSObject.h"
#include "CSStorage.h"

class CSString;
class CSThreadList;

class CSThread : public CSSharedRefObject {
public:
    using Function = std::function<void*()>;

    CSThread() = default;
    explicit CSThread(const char* name, CSThreadList* list = nullptr);
    ~CSThread() override;

    // Sets up the thread system (the SIGUSR2 handler). Returns false, after logging the OS error,
    // when that fails.
    static bool startUp();
    static void shutDown();
    static bool isUp() { return sIsUp.load(); }

    // A thread object, not started. The name is copied.
    static CSRef<CSThread> newThread(CSString* name, Function function, CSThreadList* list);
    static CSRef<CSThread> newThread(const char* name, Function function, CSThreadList* list);
    static CSRef<CSThread> newCSThread() { return cs_new<CSThread>(); }

    // The CSThread bound to the calling POSIX thread, or none.
    static CSThread* getSelf();
    // Binds `thread` to the calling POSIX thread and records its id in it (none unbinds).
    static void setSelf(CSThread* thread);

    // Adopts a POSIX thread that was not started by start(): binds, installs the signal handler,
    // joins the thread's list and keeps a reference. detach() is the reverse.
    static void attach(CSThread* thread);
    static void detach(CSThread* thread);

    const char* getThreadName() const { return iName.c_str(); }
    void setThreadName(const char* name) { iName = name ? name : ""; }
    CSThreadList* getThreadList() const { return iList; }
    void setThreadList(CSThreadList* list) { iList = list; }
    void setFunction(Function function) { iFunction = std::move(function); }

    // Creates the POSIX thread and returns once the thread is in its list (or has already ended).
    void start(bool detached = false);
    // Waits for the thread to end and returns run()'s result (detached threads: none). Calling it
    // from the thread itself, for a thread never started, or a second time does not block.
    void* join();
    // Records `sig` as pending and interrupts the thread's blocking call. A thread that has ended is
    // not an error.
    void signal(int sig);
    // Asks the thread to stop (SIGTERM), interrupts it and joins it.
    virtual void stop();
    // The thread's body; by default the function given at creation.
    virtual void* run();

    // Records a signal to raise at the next check. SIGTERM overrides any other; any other signal is
    // kept only if none is pending.
    void setSignalPending(int sig);
    int getSignalPending() const { return iPendingSignal.load(); }
    // Returns and clears the pending signal, unless the no-throw flag is set (then 0).
    int takePendingSignal();
    // Raises the pending signal as an exception (unless the no-throw flag is set).
    void throwSignal();
    // Sleeps; a signal() (also one sent just before) ends the sleep early and is raised.
    void sleep(uint32 milliseconds);

    void setNoThrow(bool noThrow) { iNoThrow = noThrow; }
    bool mustQuit() const { return iMustQuit.load(); }
    void setMustQuit(bool quit) { iMustQuit = quit; }
    bool isInList() const { return iInList.load(); }
    bool isRunning() const { return iRunning.load(); }

    // Links of the thread list (a thread is in at most one list).
    CSObject* getNextLink() override { return iNextLink; }
    CSObject* getPrevLink() override { return iPrevLink; }
    void setNextLink(CSObject* link) override { iNextLink = link; }
    void setPrevLink(CSObject* link) override { iPrevLink = link; }

protected:
    std::atomic<bool> iMustQuit{false};

private:
    friend class CSThreadList;

    static void* dispatch(void* arg);
    static void installSignalHandler();
    void markStarted();
    void finish(void* result);
    void notifyState();

    static std::atomic<bool> sIsUp;

    // Set before start.
    std::string iName;
    CSThreadList* iList = nullptr;
    Function iFunction;

    std::atomic<int32> iPendingSignal{0};
    std::atomic<bool> iNoThrow{false};
    std::atomic<bool> iInList{false};
    std::atomic<bool> iRunning{false};

    // Guarded by iStateMutex; iStateChanged announces started/finished.
    std::mutex iStateMutex;
    std::condition_variable iStateChanged;
    pthread_t iThreadId{};
    bool iHasThread = false;  // a POSIX thread was created for (or bound to) this object
    bool iJoinable = false;   // started attached and not joined yet
    bool iDetached = false;
    bool iAdopted = false;  // bound by attach()
    bool iStarted = false;  // in its list, or ended
    bool iFinished = false;
    void* iResult = nullptr;

    // Guarded by the list's lock.
    CSObject* iNextLink = nullptr;
    CSObject* iPrevLink = nullptr;
};

// The threads of one group. Threads join at the front when they start and leave when they end;
// the list holds a reference to each member. All walks and changes hold iLock.
class CSThreadList : public CSLinkedList {
public:
    CSThreadList() = default;
    // Stops every thread of the list first.
    ~CSThreadList() override;

    // Sets must-quit on every thread except the caller.
    void quitAllThreads();
    // signal(sig) to every thread except the caller.
    void signalAllThreads(int sig);
    // Stops the threads one by one, oldest first, except the caller; returns when none is left.
    void stopAllThreads();

    void addThread(CSThread* thread);
    void removeThread(CSThread* thread);
    uint32 getThreadCount();

    CSLock iLock;
};
