#include "CSDaemon.h"

#include <csignal>
#include <mutex>

namespace {
constexpr time_t kSuspendStep = 500;  // ms between re-checks while suspended
}

void* CSDaemon::run() {
    iMustQuit = !initializeWork();
    bool waitFirst = false;
    while (!iMustQuit) {
        workLoop(waitFirst);
        waitFirst = true;  // after a handled exception, pause one wait before going on
    }
    setNoThrow(true);
    return completeWork();
}

void CSDaemon::workLoop(bool waitFirst) {
    try {
        bool mustWait = waitFirst;
        while (!iMustQuit) {
            if (mustWait) {
                std::lock_guard<CSLock> hold(*this);
                if (iMustQuit) break;
                suspendedWait(iWaitTime.load());
            }
            if (iMustQuit) break;
            mustWait = doWork();
        }
    } catch (const CSException& e) {
        if (!handleException(e)) iMustQuit = true;
    } catch (const std::exception& e) {
        CSException x(CS_CONTEXT, CS_ERR_GENERIC_ERROR, e.what());
        if (!handleException(x)) iMustQuit = true;
    }
}

bool CSDaemon::doWork() {
    CSThread::run();
    return true;
}

bool CSDaemon::handleException(const CSException& e) {
    if (!iMustQuit) e.log(this);
    return true;
}

void CSDaemon::stop() {
    iMustQuit = true;
    wakeup();
    signal(SIGTERM);
    join();
}

void CSDaemon::wakeup() {
    // Taking the lock orders the wake-up after the daemon's last check before waiting.
    std::lock_guard<CSLock> hold(*this);
    CSSync::wakeup();
}

void CSDaemon::returnToPool() {
    resume();
    release();
}

void CSDaemon::suspend() {
    std::lock_guard<CSLock> hold(*this);
    iSuspendCount++;
    while (!iInWait) {
        if (iMustQuit) {
            iSuspendCount--;
            return;
        }
        CSSync::wait(kSuspendStep);
    }
}

void CSDaemon::resume() {
    std::lock_guard<CSLock> hold(*this);
    if (iSuspendCount > 0) iSuspendCount--;
    CSSync::wakeup();
}

void CSDaemon::suspended() {
    std::lock_guard<CSLock> hold(*this);
    while (iSuspendCount != 0 && !iMustQuit) {
        if (!iInWait) {
            iInWait = true;
            CSSync::wakeup();  // a suspend() waiting for this state returns now
        }
        CSSync::wait(kSuspendStep);
    }
    iInWait = false;
}

void CSDaemon::suspendedWait(time_t milliseconds) {
    iInWait = true;
    CSSync::wakeup();  // a suspend() waiting for this state returns now
    if (milliseconds > 0)
        CSSync::wait(milliseconds);
    else
        CSSync::wait();
    if (iSuspendCount != 0)
        suspended();
    else
        iInWait = false;
}

bool CSDaemon::isInWait() {
    std::lock_guard<CSLock> hold(*this);
    return iInWait;
}

int32 CSDaemon::getSuspendCount() {
    std::lock_guard<CSLock> hold(*this);
    return iSuspendCount;
}
