// CSWaitSet: a set of descriptors that one thread waits on until one of them is readable, at the
// cost of a descriptor each rather than a thread (epoll on Linux, kqueue on macOS and the BSDs,
// poll() elsewhere). A descriptor is watched once: when it has been reported it stays disarmed
// until arm() is called for it again, so one report goes to one waiter and nothing is reported
// twice. arm() and forget() may be called from any thread, also while another thread waits; several
// threads may wait at once, and a report of a descriptor armed once goes to one of them.
#pragma once

#include <mutex>
#include <vector>

#include "CSDefs.h"

// The mechanism: epoll or kqueue where the system has it, poll() otherwise (or when CS_WAITSET_POLL
// is defined, which lets the fallback be built and tried anywhere).
#if defined(__linux__) && !defined(CS_WAITSET_POLL)
#define CS_WAITSET_EPOLL 1
#elif (defined(__APPLE__) || defined(__FreeBSD__)) && !defined(CS_WAITSET_POLL)
#define CS_WAITSET_KQUEUE 1
#endif

class CSWaitSet {
public:
    // Raises the OS error when the system refuses the set.
    CSWaitSet();
    ~CSWaitSet();
    CSWaitSet(const CSWaitSet&) = delete;
    CSWaitSet& operator=(const CSWaitSet&) = delete;

    // Reports `fd` with `tag` once when it is readable (at the next wait if it already is), or
    // when its peer has closed. `always`: the descriptor stays armed after a report (a listening
    // socket). Raises the OS error when the system cannot watch one more descriptor.
    void arm(int fd, void* tag, bool always = false);
    // Stops watching `fd`; call it before the descriptor is closed.
    void forget(int fd);
    // Waits up to `timeoutMs` (-1: without limit) for one readable descriptor and returns its tag;
    // null when the time ran out or a signal interrupted the wait.
    void* wait(int timeoutMs);

private:
    int iHandle = -1;  // the epoll or kqueue descriptor
#if !defined(CS_WAITSET_EPOLL) && !defined(CS_WAITSET_KQUEUE)
    struct Entry {
        int fd;
        void* tag;
        bool always;
    };
    // The poll() fallback keeps the armed descriptors itself; a pipe ends a wait when one is armed.
    std::mutex iLock;
    std::vector<Entry> iArmed;  // guarded by iLock
    int iWake[2] = {-1, -1};
#endif
};
