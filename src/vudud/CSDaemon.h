// CSDaemon: a thread that calls doWork() in a loop and sleeps on its own condition variable between
// cycles. Other threads may wake it, suspend and resume it, or stop it. An exception that escapes a
// cycle is handed to handleException() (which logs it) and the daemon goes on after one wait, so a
// worker thread never dies of an exception. The daemon's lock (it is its own CSSync) guards
// iInWait and iSuspendCount; must-quit is a flag that the daemon checks under that lock before
// every wait, so a stop request is never lost.
#pragma once

#include <ctime>

#include "CSDefs.h"
#include "CSException.h"
#include "CSMutex.h"
#include "CSThread.h"

class CSDaemon : public CSThread, public CSSync {
public:
    // waitTime: milliseconds between cycles; 0 waits until woken.
    explicit CSDaemon(const char* name = nullptr, time_t waitTime = 0, CSThreadList* list = nullptr)
        : CSThread(name, list), iWaitTime(waitTime) {}

    void* run() override;
    // Sets must-quit, wakes the daemon, interrupts its blocking call and joins it.
    void stop() override;

    // Called once before the first cycle; false ends the daemon at once.
    virtual bool initializeWork() { return true; }
    // One cycle. true: wait before the next cycle; false: go on at once.
    virtual bool doWork();
    // Called after the last cycle; its result is the thread's result.
    virtual void* completeWork() { return nullptr; }
    // An exception escaped a cycle. Logs it unless the daemon is quitting; false ends the daemon.
    virtual bool handleException(const CSException& e);
    // Wakes the daemon from its wait between cycles (and anyone waiting on its condition).
    void wakeup() override;
    // Resumes the daemon, then gives back the caller's reference.
    virtual void returnToPool();

    // Called by another thread: returns once the daemon is waiting (then it stays there until
    // resumed), or at once without effect when the daemon is quitting.
    void suspend();
    // Undoes one suspend (a count of 0 is left alone) and wakes the daemon.
    void resume();
    // Called by the daemon itself: stays waiting while suspended and not quitting.
    void suspended();
    // Called by the daemon with its lock held: waits once (0: until woken), then stays suspended
    // if a suspend is pending.
    void suspendedWait(time_t milliseconds);
    void suspendedWait() { suspendedWait(0); }

    time_t getWaitTime() const { return iWaitTime.load(); }
    void setWaitTime(time_t milliseconds) { iWaitTime = milliseconds; }
    bool isInWait();
    int32 getSuspendCount();

private:
    void workLoop(bool waitFirst);

    std::atomic<time_t> iWaitTime;
    bool iInWait = false;     // guarded by the daemon's lock
    int32 iSuspendCount = 0;  // guarded by the daemon's lock
};
