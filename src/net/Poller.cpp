#include "net/Poller.h"

#include <unistd.h>

#include <cerrno>

namespace {

constexpr size_t kEventsPerWait = 256;

uint32_t ToEpoll(unsigned events) {
    return ((events & Poller::kRead) != 0 ? EPOLLIN : 0u) |
           ((events & Poller::kWrite) != 0 ? EPOLLOUT : 0u);
}

}  // namespace

Poller::Poller() : mEpollFd(epoll_create1(EPOLL_CLOEXEC)), mEvents(kEventsPerWait) {}

Poller::~Poller() {
    if (mEpollFd >= 0) {
        close(mEpollFd);
    }
}

bool Poller::Watch(int fd, unsigned events) {
    if (fd < 0 || mEpollFd < 0) {
        return false;
    }
    const size_t index = static_cast<size_t>(fd);
    if (index >= mWatched.size()) {
        mWatched.resize(index + 1, 0);
    }
    if (mWatched[index] == events) {
        return true;
    }
    epoll_event event{};
    event.events = ToEpoll(events);
    event.data.fd = fd;
    int op = mWatched[index] == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    if (events == 0) {
        op = EPOLL_CTL_DEL;
    }
    if (epoll_ctl(mEpollFd, op, fd, &event) != 0) {
        // What we knew of the descriptor was stale: ask the other way.
        if (op == EPOLL_CTL_ADD && errno == EEXIST) {
            op = EPOLL_CTL_MOD;
        } else if (op == EPOLL_CTL_MOD && errno == ENOENT) {
            op = EPOLL_CTL_ADD;
        } else if (op != EPOLL_CTL_DEL) {
            return false;
        }
        if (op != EPOLL_CTL_DEL && epoll_ctl(mEpollFd, op, fd, &event) != 0) {
            return false;
        }
    }
    mWatched[index] = static_cast<unsigned char>(events);
    return true;
}

void Poller::Forget(int fd) {
    if (fd < 0) {
        return;
    }
    const size_t index = static_cast<size_t>(fd);
    if (index < mWatched.size() && mWatched[index] != 0) {
        epoll_ctl(mEpollFd, EPOLL_CTL_DEL, fd, nullptr);
        mWatched[index] = 0;
    }
    if (index < mReady.size()) {
        mReady[index] = 0;
    }
}

int Poller::Wait(int timeoutMs) {
    for (const int fd : mReadyFds) {
        mReady[static_cast<size_t>(fd)] = 0;
    }
    mReadyFds.clear();
    if (mEpollFd < 0) {
        errno = EBADF;
        return -1;
    }
    const int n = epoll_wait(mEpollFd, mEvents.data(), static_cast<int>(mEvents.size()), timeoutMs);
    if (n < 0) {
        return errno == EINTR ? 0 : -1;
    }
    for (int i = 0; i < n; ++i) {
        const epoll_event& event = mEvents[static_cast<size_t>(i)];
        unsigned ready = 0;
        if ((event.events & (EPOLLIN | EPOLLRDHUP | EPOLLPRI)) != 0) {
            ready |= kRead;
        }
        if ((event.events & EPOLLOUT) != 0) {
            ready |= kWrite;
        }
        if ((event.events & (EPOLLERR | EPOLLHUP)) != 0) {
            ready |= kRead | kWrite;
        }
        const size_t index = static_cast<size_t>(event.data.fd);
        if (index >= mReady.size()) {
            mReady.resize(index + 1, 0);
        }
        if (mReady[index] == 0) {
            mReadyFds.push_back(event.data.fd);
        }
        mReady[index] = static_cast<unsigned char>(mReady[index] | ready);
    }
    if (static_cast<size_t>(n) == mEvents.size()) {
        mEvents.resize(mEvents.size() * 2);  // more may be ready: take more next time
    }
    return n;
}

unsigned Poller::Ready(int fd) const {
    const size_t index = static_cast<size_t>(fd);
    return fd >= 0 && index < mReady.size() ? mReady[index] : 0;
}
