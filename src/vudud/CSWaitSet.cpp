#include "CSWaitSet.h"

#include <fcntl.h>
#include <unistd.h>

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

#if defined(CS_WAITSET_EPOLL)

CSWaitSet::CSWaitSet() {
    iHandle = ::epoll_create1(EPOLL_CLOEXEC);
    if (iHandle == -1) CSException::throwOSError(CS_CONTEXT, errno);
}

CSWaitSet::~CSWaitSet() { ::close(iHandle); }

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

void* CSWaitSet::wait(int timeoutMs) {
    struct epoll_event event = {};
    int n = ::epoll_wait(iHandle, &event, 1, timeoutMs);
    if (n == -1 && errno != EINTR) CSException::throwOSError(CS_CONTEXT, errno);
    return n == 1 ? event.data.ptr : nullptr;
}

#elif defined(CS_WAITSET_KQUEUE)

CSWaitSet::CSWaitSet() {
    iHandle = ::kqueue();
    if (iHandle == -1) CSException::throwOSError(CS_CONTEXT, errno);
    ::fcntl(iHandle, F_SETFD, FD_CLOEXEC);
}

CSWaitSet::~CSWaitSet() { ::close(iHandle); }

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

void* CSWaitSet::wait(int timeoutMs) {
    struct kevent event;
    struct timespec limit = {timeoutMs / 1000, static_cast<long>(timeoutMs % 1000) * 1000000L};
    int n = ::kevent(iHandle, nullptr, 0, &event, 1, timeoutMs < 0 ? nullptr : &limit);
    if (n == -1 && errno != EINTR) CSException::throwOSError(CS_CONTEXT, errno);
    return n == 1 ? event.udata : nullptr;
}

#else

CSWaitSet::CSWaitSet() {
    if (::pipe(iWake) == -1) CSException::throwOSError(CS_CONTEXT, errno);
    for (int fd : iWake) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
    }
}

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
    char byte = 0;
    (void)::write(iWake[1], &byte, 1);
}

void CSWaitSet::forget(int fd) {
    std::lock_guard<std::mutex> hold(iLock);
    std::erase_if(iArmed, [fd](const Entry& entry) { return entry.fd == fd; });
}

void* CSWaitSet::wait(int timeoutMs) {
    std::vector<struct pollfd> polls;
    {
        std::lock_guard<std::mutex> hold(iLock);
        polls.reserve(iArmed.size() + 1);
        polls.push_back({iWake[0], POLLIN, 0});
        for (const Entry& entry : iArmed) polls.push_back({entry.fd, POLLIN, 0});
    }
    int n = ::poll(polls.data(), polls.size(), timeoutMs);
    if (n == -1 && errno != EINTR) CSException::throwOSError(CS_CONTEXT, errno);
    if (n <= 0) return nullptr;
    if (polls[0].revents) {
        char drain[64];
        while (::read(iWake[0], drain, sizeof(drain)) > 0) {
        }
    }
    std::lock_guard<std::mutex> hold(iLock);
    for (size_t i = 1; i < polls.size(); i++) {
        if (!polls[i].revents) continue;
        for (auto it = iArmed.begin(); it != iArmed.end(); ++it) {
            if (it->fd != polls[i].fd) continue;
            void* tag = it->tag;
            if (!it->always) iArmed.erase(it);
            return tag;
        }
    }
    return nullptr;
}

#endif
