#include "CSWaitSet.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "CSException.h"

#if defined(CS_WAITSET_EPOLL)
#include <sys/epoll.h>
#elif defined(CS_WAITSET_KQUEUE)
#include <sys/event.h>
#include <sys/time.h>
#else
#include <poll.h>
#endif

// --- Common to every mechanism.

void CSWaitSet::openWakePipe() {
    if (::pipe(iWake) == -1) CSException::throwOSError(CS_CONTEXT, errno);
    for (int fd : iWake) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
    }
}

void CSWaitSet::drainWakePipe() {
    char drain[64];
    while (::read(iWake[0], drain, sizeof(drain)) > 0) {
    }
}

void CSWaitSet::interrupt() {
    // The pipe is not emptied by waits that only look, so one byte ends the next real wait.
    char byte = 0;
    (void)::write(iWake[1], &byte, 1);
}

void* CSWaitSet::wait(int timeoutMs) {
    void* tag = nullptr;
    return wait(timeoutMs, &tag, 1) == 1 ? tag : nullptr;
}

#if defined(CS_WAITSET_EPOLL)

CSWaitSet::CSWaitSet() {
    openWakePipe();
    iHandle = ::epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event event = {};
    event.events = EPOLLIN;
    event.data.ptr = iWake;
    if (iHandle == -1 || ::epoll_ctl(iHandle, EPOLL_CTL_ADD, iWake[0], &event) == -1) {
        const int error = errno;
        if (iHandle != -1) ::close(iHandle);
        ::close(iWake[0]);
        ::close(iWake[1]);
        CSException::throwOSError(CS_CONTEXT, error);
    }
}

CSWaitSet::~CSWaitSet() {
    ::close(iHandle);
    ::close(iWake[0]);
    ::close(iWake[1]);
}

void CSWaitSet::arm(int fd, void* tag, bool always) {
    struct epoll_event event = {};
    event.events = EPOLLIN | EPOLLRDHUP | (always ? 0u : static_cast<uint32>(EPOLLONESHOT));
    event.data.ptr = tag;
    // A descriptor armed before is only disarmed: modify it; a new one is added.
    if (::epoll_ctl(iHandle, EPOLL_CTL_MOD, fd, &event) == 0) return;
    if (errno != ENOENT || ::epoll_ctl(iHandle, EPOLL_CTL_ADD, fd, &event) == -1)
        CSException::throwOSError(CS_CONTEXT, errno);
}

void CSWaitSet::forget(int fd) { ::epoll_ctl(iHandle, EPOLL_CTL_DEL, fd, nullptr); }

size_t CSWaitSet::wait(int timeoutMs, void** tags, size_t max) {
    // Every report taken is handed out (a one-shot descriptor stays disarmed after it), so no more
    // are taken than there is room for; the wake pipe may take one of the places.
    struct epoll_event events[kMaxReports];
    const int room = static_cast<int>(std::min(max, kMaxReports));
    int n = ::epoll_wait(iHandle, events, room, timeoutMs);
    if (n == -1 && errno != EINTR) CSException::throwOSError(CS_CONTEXT, errno);
    size_t count = 0;
    for (int i = 0; i < n; i++) {
        if (events[i].data.ptr == iWake) {
            if (timeoutMs != 0) drainWakePipe();
        } else {
            tags[count++] = events[i].data.ptr;
        }
    }
    return count;
}

#elif defined(CS_WAITSET_KQUEUE)

CSWaitSet::CSWaitSet() {
    openWakePipe();
    iHandle = ::kqueue();
    struct kevent change;
    EV_SET(&change, iWake[0], EVFILT_READ, EV_ADD | EV_ENABLE, 0, 0, iWake);
    if (iHandle == -1 || ::kevent(iHandle, &change, 1, nullptr, 0, nullptr) == -1) {
        const int error = errno;
        if (iHandle != -1) ::close(iHandle);
        ::close(iWake[0]);
        ::close(iWake[1]);
        CSException::throwOSError(CS_CONTEXT, error);
    }
    ::fcntl(iHandle, F_SETFD, FD_CLOEXEC);
}

CSWaitSet::~CSWaitSet() {
    ::close(iHandle);
    ::close(iWake[0]);
    ::close(iWake[1]);
}

void CSWaitSet::arm(int fd, void* tag, bool always) {
    struct kevent change;
    EV_SET(&change, fd, EVFILT_READ, EV_ADD | EV_ENABLE | (always ? 0 : EV_DISPATCH), 0, 0, tag);
    if (::kevent(iHandle, &change, 1, nullptr, 0, nullptr) == -1)
        CSException::throwOSError(CS_CONTEXT, errno);
}

void CSWaitSet::forget(int fd) {
    struct kevent change;
    EV_SET(&change, fd, EVFILT_READ, EV_DELETE, 0, 0, nullptr);
    ::kevent(iHandle, &change, 1, nullptr, 0, nullptr);
}

size_t CSWaitSet::wait(int timeoutMs, void** tags, size_t max) {
    // As many as there is room for: a dispatched report stays disabled after it.
    struct kevent events[kMaxReports];
    const int room = static_cast<int>(std::min(max, kMaxReports));
    struct timespec limit = {timeoutMs / 1000, static_cast<long>(timeoutMs % 1000) * 1000000L};
    int n = ::kevent(iHandle, nullptr, 0, events, room, timeoutMs < 0 ? nullptr : &limit);
    if (n == -1 && errno != EINTR) CSException::throwOSError(CS_CONTEXT, errno);
    size_t count = 0;
    for (int i = 0; i < n; i++) {
        if (events[i].udata == iWake) {
            if (timeoutMs != 0) drainWakePipe();
        } else {
            tags[count++] = events[i].udata;
        }
    }
    return count;
}

#else

CSWaitSet::CSWaitSet() { openWakePipe(); }

CSWaitSet::~CSWaitSet() {
    ::close(iWake[0]);
    ::close(iWake[1]);
}

void CSWaitSet::arm(int fd, void* tag, bool always) {
    {
        // Arming an armed descriptor again changes its entry rather than adding a second one.
        std::lock_guard<std::mutex> hold(iLock);
        std::erase_if(iArmed, [fd](const Entry& entry) { return entry.fd == fd; });
        iArmed.push_back({fd, tag, always});
    }
    interrupt();
}

void CSWaitSet::forget(int fd) {
    std::lock_guard<std::mutex> hold(iLock);
    std::erase_if(iArmed, [fd](const Entry& entry) { return entry.fd == fd; });
}

size_t CSWaitSet::wait(int timeoutMs, void** tags, size_t max) {
    std::vector<struct pollfd> polls;
    {
        std::lock_guard<std::mutex> hold(iLock);
        polls.reserve(iArmed.size() + 1);
        polls.push_back({iWake[0], POLLIN, 0});
        for (const Entry& entry : iArmed) polls.push_back({entry.fd, POLLIN, 0});
    }
    int n = ::poll(polls.data(), polls.size(), timeoutMs);
    if (n == -1 && errno != EINTR) CSException::throwOSError(CS_CONTEXT, errno);
    if (n <= 0) return 0;
    if (polls[0].revents && timeoutMs != 0) drainWakePipe();
    size_t count = 0;
    std::lock_guard<std::mutex> hold(iLock);
    for (size_t i = 1; i < polls.size() && count < max; i++) {
        if (!polls[i].revents) continue;
        // Looked up again: another thread may have taken or forgotten it meanwhile.
        auto it = std::find_if(iArmed.begin(), iArmed.end(),
                               [&](const Entry& entry) { return entry.fd == polls[i].fd; });
        if (it == iArmed.end()) continue;
        tags[count++] = it->tag;
        if (!it->always) iArmed.erase(it);
    }
    return count;
}

#endif
