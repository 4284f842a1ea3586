#include "CSThread.h"

#include <csignal>

namespace {
thread_local CSThread* tSelf = nullptr;
}

CSThread* CSThread::getSelf() { return tSelf; }

void CSThread::setSelf(CSThread* thread) { tSelf = thread; }

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
