// CSWaitSet: a set of descriptors that one thread waits on until one of them is readable, at the
// cost of a descriptor each rather than a thread (epoll on Linux, kqueue on macOS and the BSDs,
// poll() elsewhere). A descriptor is watched once: when it has been reported it stays disarmed
// until arm() is called for it again, so one report goes to one waiter and nothing is reported
// twice. arm() and forget() may be called from any thread, also while another thread waits; several
// threads may wait at once, and a report of a descriptor armed once goes to one of them. One wait
// may take several reports, so that a busy server spends one system call on many of them.
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
    // Waits up to `timeoutMs` (-1: without limit, 0: only looks) until descriptors are readable
    // and puts the tags of up to `max` (at least 1) of them into `tags`; the number put. 0 when the
    // time ran out, a signal interrupted the wait or interrupt() ended it.
    size_t wait(int timeoutMs, void** tags, size_t max);
    // The tag of one readable descriptor, or null (as above).
    void* wait(int timeoutMs);
    // Ends a wait with a time-out that is in progress, or else the next one, without a report.
    // Waits that only look (time-out 0) leave it for such a wait.
    void interrupt();

    // The most reports one wait takes.
    static constexpr size_t kMaxReports = 64;

private:
    int iHandle = -1;  // the epoll or kqueue descriptor
    // A pipe whose read end is always watched: a byte in it ends a waiting wait.
    int iWake[2] = {-1, -1};
    void openWakePipe();
    // Empties the wake pipe once a wait has been ended by it.
    void drainWakePipe();
#if !defined(CS_WAITSET_EPOLL) && !defined(CS_WAITSET_KQUEUE)
    struct Entry {
        int fd;
        void* tag;
        bool always;
    };
    // The poll() fallback keeps the armed descriptors itself; arming one also ends a wait, so that
    // the waiter watches it too.
    std::mutex iLock;
    std::vector<Entry> iArmed;  // guarded by iLock
#endif
};
