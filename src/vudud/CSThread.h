// CSThread wraps one POSIX thread: its name in the log, the group it belongs to, and the
// pending-signal number that another thread records to make it stop. A pending signal is turned
// into an exception at the thread's next check or failing I/O call.
#pragma once

#include <atomic>
#include <string>

#include "CSDefs.h"
#include "CSObject.h"

class CSThread : public CSRefObject {
public:
    CSThread() = default;
    explicit CSThread(const char* name) : iName(name ? name : "") {}

    // The CSThread bound to the calling POSIX thread, or none.
    static CSThread* getSelf();
    // Binds `thread` to the calling POSIX thread (none unbinds).
    static void setSelf(CSThread* thread);

    const char* getThreadName() const { return iName.c_str(); }
    void setThreadName(const char* name) { iName = name ? name : ""; }

    // Records a signal to raise at the next check. SIGTERM overrides any other; any other signal is
    // kept only if none is pending.
    void setSignalPending(int sig);
    int getSignalPending() const { return iPendingSignal.load(); }
    // Returns and clears the pending signal, unless the no-throw flag is set (then 0).
    int takePendingSignal();
    void setNoThrow(bool noThrow) { iNoThrow = noThrow; }

private:
    std::string iName;
    std::atomic<int32> iPendingSignal{0};
    std::atomic<bool> iNoThrow{false};
};
