// The locks of the foundation library. CSMutex is a plain, non-recursive mutex; CSLock is recursive
// per thread (the owner may lock again; the mutex is released by the last unlock); CSSync adds a
// condition variable with untimed and timed waits. All three satisfy BasicLockable, so
// std::lock_guard<CSLock> and std::unique_lock hold them for a scope. A failing system call raises
// the OS error with the context of the operation.
#pragma once

#include <pthread.h>

#include <atomic>
#include <ctime>
#include <thread>

#include "CSDefs.h"

class CSMutex {
public:
    // `spinFirst`: for a lock held a few instructions at a time by many threads, a waiter spins a
    // moment before it sleeps (where the system offers it), which spares most sleeps and wake-ups.
    explicit CSMutex(bool spinFirst = false);
    virtual ~CSMutex();
    CSMutex(const CSMutex&) = delete;
    CSMutex& operator=(const CSMutex&) = delete;

    virtual void lock();
    virtual void unlock();

protected:
    pthread_mutex_t iMutex;
};

// Ownership is by the calling thread itself, not by its CSThread object, so threads that the
// thread system does not know (the main thread before start-up, foreign threads) lock correctly.
class CSLock : public CSMutex {
public:
    void lock() override;
    void unlock() override;
    // The calling thread holds the lock.
    virtual bool haveLock() const;

protected:
    // Written only by the holder of iMutex; read by any thread to test ownership.
    std::atomic<std::thread::id> iOwner{};
    int32 iHoldCount = 0;  // guarded by iMutex
};

class CSSync : public CSLock {
public:
    CSSync();
    ~CSSync() override;

    // Caller holds the lock (at any depth). The lock is released completely while waiting and
    // restored to the same depth afterwards. Spurious wake-ups are possible: callers re-check.
    virtual void wait();
    // Waits at most `milliseconds` (measured on the monotonic clock). Returns false on time-out,
    // which is not an error.
    bool wait(time_t milliseconds);
    // Wakes every waiter.
    virtual void wakeup();
    // Wakes one waiter (at least one, when some wait).
    void wakeOne();

private:
    pthread_cond_t iCondition;
};
