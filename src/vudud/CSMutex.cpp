#include "CSMutex.h"

#include <cerrno>

#include "CSException.h"

CSMutex::CSMutex(bool spinFirst) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
#if defined(PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP)
    if (spinFirst) pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
#else
    (void)spinFirst;
#endif
    int err = pthread_mutex_init(&iMutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    if (err) CSException::throwOSError(CS_CONTEXT, err);
}

CSMutex::~CSMutex() { pthread_mutex_destroy(&iMutex); }

void CSMutex::lock() {
    if (int err = pthread_mutex_lock(&iMutex)) CSException::throwOSError(CS_CONTEXT, err);
}

void CSMutex::unlock() {
    if (int err = pthread_mutex_unlock(&iMutex)) CSException::throwOSError(CS_CONTEXT, err);
}

void CSLock::lock() {
    auto me = std::this_thread::get_id();
    if (iOwner.load(std::memory_order_relaxed) != me) {
        CSMutex::lock();
        iOwner.store(me, std::memory_order_relaxed);
    }
    iHoldCount++;
}

void CSLock::unlock() {
    if (!haveLock())
        CSException::throwAssertion(CS_CONTEXT, "lock released by a thread that does not hold it");
    if (--iHoldCount == 0) {
        iOwner.store(std::thread::id(), std::memory_order_relaxed);
        CSMutex::unlock();
    }
}

bool CSLock::haveLock() const { return iOwner.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

CSSync::CSSync() {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    int err = pthread_cond_init(&iCondition, &attr);
    pthread_condattr_destroy(&attr);
    if (err) CSException::throwOSError(CS_CONTEXT, err);
}

CSSync::~CSSync() { pthread_cond_destroy(&iCondition); }

void CSSync::wait() {
    if (!haveLock()) CSException::throwAssertion(CS_CONTEXT, "wait without holding the lock");
    int32 count = iHoldCount;
    iHoldCount = 0;
    iOwner.store(std::thread::id(), std::memory_order_relaxed);
    int err = pthread_cond_wait(&iCondition, &iMutex);
    iOwner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    iHoldCount = count;
    if (err) CSException::throwOSError(CS_CONTEXT, err);
}

bool CSSync::wait(time_t milliseconds) {
    if (!haveLock()) CSException::throwAssertion(CS_CONTEXT, "wait without holding the lock");
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += (milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000L;
    }
    int32 count = iHoldCount;
    iHoldCount = 0;
    iOwner.store(std::thread::id(), std::memory_order_relaxed);
    int err = pthread_cond_timedwait(&iCondition, &iMutex, &deadline);
    iOwner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    iHoldCount = count;
    if (err == ETIMEDOUT) return false;
    if (err) CSException::throwOSError(CS_CONTEXT, err);
    return true;
}

void CSSync::wakeup() {
    if (int err = pthread_cond_broadcast(&iCondition)) CSException::throwOSError(CS_CONTEXT, err);
}

void CSSync::wakeOne() {
    if (int err = pthread_cond_signal(&iCondition)) CSException::throwOSError(CS_CONTEXT, err);
}
