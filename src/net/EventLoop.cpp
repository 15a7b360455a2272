#include "net/EventLoop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

namespace {

constexpr std::size_t kEventsPerWait = 256;
// The epoll tag of the wake-up descriptor. A watched descriptor's tag holds its
// registration's serial above its number, which is never all ones.
constexpr std::uint64_t kWakeTag = ~std::uint64_t{0};
constexpr std::int64_t kNsPerMs = 1000 * 1000;

std::uint32_t ToEpoll(unsigned events) {
    return ((events & EventLoop::kRead) != 0 ? EPOLLIN : 0u) |
           ((events & EventLoop::kWrite) != 0 ? EPOLLOUT : 0u);
}

unsigned FromEpoll(std::uint32_t events) {
    unsigned ready = 0;
    if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLPRI)) != 0) {
        ready |= EventLoop::kRead;
    }
    if ((events & EPOLLOUT) != 0) {
        ready |= EventLoop::kWrite;
    }
    if ((events & (EPOLLERR | EPOLLHUP)) != 0) {
        ready |= EventLoop::kRead | EventLoop::kWrite;
    }
    return ready;
}

std::uint64_t Tag(int fd, std::uint32_t serial) {
    return (std::uint64_t{serial} << 32) | static_cast<std::uint32_t>(fd);
}

}  // namespace

EventLoop::Descriptor::~Descriptor() {
    if (fd >= 0) {
        close(fd);
    }
}

EventLoop::EventLoop()
    : mEpollFd(epoll_create1(EPOLL_CLOEXEC)),
      mWakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      mEvents(kEventsPerWait) {
    if (mEpollFd.fd >= 0 && mWakeFd.fd >= 0) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = kWakeTag;
        epoll_ctl(mEpollFd.fd, EPOLL_CTL_ADD, mWakeFd.fd, &event);
    }
}

EventLoop::~EventLoop() = default;

std::int64_t EventLoop::Now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 * kNsPerMs + now.tv_nsec;
}

bool EventLoop::Watch(int fd, unsigned events, IoHandler handler) {
    if (fd < 0 || mEpollFd.fd < 0 || !handler) {
        return false;
    }
    const auto index = static_cast<std::size_t>(fd);
    if (index >= mWatched.size()) {
        mWatched.resize(index + 1);
    }
    Watched& w = mWatched[index];
    if (!w.handler) {
        w.serial = mnNextSerial++;
    }
    w.handler = std::make_shared<IoHandler>(std::move(handler));
    if (!Apply(fd, w, events)) {
        Forget(fd);
        return false;
    }
    return true;
}

bool EventLoop::SetEvents(int fd, unsigned events) {
    if (!IsWatched(fd)) {
        return false;
    }
    return Apply(fd, mWatched[static_cast<std::size_t>(fd)], events);
}

bool EventLoop::IsWatched(int fd) const {
    const auto index = static_cast<std::size_t>(fd);
    return fd >= 0 && index < mWatched.size() && mWatched[index].handler != nullptr;
}

bool EventLoop::Apply(int fd, Watched& w, unsigned events) {
    events &= kRead | kWrite;
    if (events == w.events && (events == 0) != w.inKernel) {
        return true;
    }
    if (events == 0) {
        // epoll reports errors and hang-ups whatever was asked: a descriptor
        // that asks for nothing leaves the kernel's set.
        epoll_ctl(mEpollFd.fd, EPOLL_CTL_DEL, fd, nullptr);
        w.inKernel = false;
        w.events = 0;
        return true;
    }
    epoll_event event{};
    event.events = ToEpoll(events);
    event.data.u64 = Tag(fd, w.serial);
    int op = w.inKernel ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (epoll_ctl(mEpollFd.fd, op, fd, &event) != 0) {
        // What we knew of the descriptor was stale: ask the other way.
        if (op == EPOLL_CTL_ADD && errno == EEXIST) {
            op = EPOLL_CTL_MOD;
        } else if (op == EPOLL_CTL_MOD && errno == ENOENT) {
            op = EPOLL_CTL_ADD;
        } else {
            return false;
        }
        if (epoll_ctl(mEpollFd.fd, op, fd, &event) != 0) {
            return false;
        }
    }
    w.inKernel = true;
    w.events = events;
    return true;
}

void EventLoop::Forget(int fd) {
    if (!IsWatched(fd)) {
        return;
    }
    Watched& w = mWatched[static_cast<std::size_t>(fd)];
    if (w.inKernel) {
        epoll_ctl(mEpollFd.fd, EPOLL_CTL_DEL, fd, nullptr);
    }
    // A handler running now keeps its own reference until it returns.
    w = Watched{};
}

EventLoop::TimerId EventLoop::AddTimer(long delayMs, Task handler, long periodMs) {
    const TimerId id = mnNextTimer++;
    const std::int64_t due = Now() + std::max(delayMs, 0L) * kNsPerMs;
    mTimers.emplace(id, Timer{due, std::max(periodMs, 0L) * kNsPerMs,
                              std::make_shared<Task>(std::move(handler))});
    mTimerOrder.emplace(due, id);
    return id;
}

void EventLoop::CancelTimer(TimerId id) {
    const auto it = mTimers.find(id);
    if (it != mTimers.end()) {
        mTimerOrder.erase({it->second.due, id});
        mTimers.erase(it);
    }
}

void EventLoop::Defer(Task task) {
    if (task) {
        mTasks.push_back(std::move(task));
    }
}

void EventLoop::Wake() {
    // Only the first wake-up since the loop last drained writes: the others
    // find the flag set and the counter already non-zero.
    if (!mbWakePending.exchange(true, std::memory_order_acq_rel)) {
        const std::uint64_t one = 1;
        ssize_t rc;
        do {
            rc = write(mWakeFd.fd, &one, sizeof(one));
        } while (rc < 0 && errno == EINTR);
    }
}

void EventLoop::DrainWake() {
    std::uint64_t count;
    ssize_t rc;
    do {
        rc = read(mWakeFd.fd, &count, sizeof(count));
    } while (rc < 0 && errno == EINTR);
    // Cleared after the read: a Wake from now on writes again, and one that
    // found the flag still set is seen by this pass (the exchange reads its
    // write of the flag).
    mbWakePending.exchange(false, std::memory_order_acq_rel);
}

int EventLoop::WaitLimit(int maxWaitMs) const {
    if (!mTasks.empty() || !mDoomed.empty()) {
        return 0;
    }
    if (mTimerOrder.empty()) {
        return maxWaitMs;
    }
    const std::int64_t left = mTimerOrder.begin()->first - Now();
    // Rounded up, so that the wait does not end just before the timer is due.
    const std::int64_t ms = left <= 0 ? 0 : (left + kNsPerMs - 1) / kNsPerMs;
    const int timerMs = ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
    return maxWaitMs < 0 ? timerMs : std::min(maxWaitMs, timerMs);
}

void EventLoop::Dispatch(int n) {
    for (int i = 0; i < n; ++i) {
        const epoll_event event = mEvents[static_cast<std::size_t>(i)];
        if (event.data.u64 == kWakeTag) {
            DrainWake();
            if (mWakeHandler) {
                const Task handler = mWakeHandler;
                handler();
            }
            continue;
        }
        const int fd = static_cast<int>(event.data.u64 & 0xffffffffu);
        const auto serial = static_cast<std::uint32_t>(event.data.u64 >> 32);
        if (!IsWatched(fd)) {
            continue;  // forgotten earlier in this pass
        }
        const Watched& w = mWatched[static_cast<std::size_t>(fd)];
        if (w.serial != serial || w.events == 0) {
            continue;  // a later registration, or one that asks for nothing now
        }
        const std::shared_ptr<IoHandler> handler = w.handler;
        (*handler)(FromEpoll(event.events));
    }
    if (n > 0 && static_cast<std::size_t>(n) == mEvents.size()) {
        mEvents.resize(mEvents.size() * 2);  // more may be ready: take more next time
    }
}

void EventLoop::FireTimers() {
    if (mTimerOrder.empty()) {
        return;
    }
    const std::int64_t now = Now();
    std::vector<TimerId> due;
    for (const auto& entry : mTimerOrder) {
        if (entry.first > now) {
            break;
        }
        due.push_back(entry.second);
    }
    for (const TimerId id : due) {
        const auto it = mTimers.find(id);
        if (it == mTimers.end()) {
            continue;  // cancelled by a handler earlier in this pass
        }
        const std::shared_ptr<Task> handler = it->second.handler;
        mTimerOrder.erase({it->second.due, id});
        if (it->second.period > 0) {
            Timer& timer = it->second;
            timer.due += timer.period;
            if (timer.due <= now) {
                timer.due = now + timer.period;  // late: no burst to catch up
            }
            mTimerOrder.emplace(timer.due, id);
        } else {
            mTimers.erase(it);
        }
        (*handler)();
    }
}

void EventLoop::RunDeferred() {
    std::vector<Task> tasks;
    tasks.swap(mTasks);
    for (const Task& task : tasks) {
        task();
    }
    // Destroyed outside the member: a destructor may hand more to DeleteLater,
    // which the next pass destroys.
    std::vector<std::shared_ptr<void>> doomed;
    doomed.swap(mDoomed);
}

int EventLoop::RunOnce(int maxWaitMs) {
    if (!IsOpen()) {
        errno = EBADF;
        return -1;
    }
    int n = epoll_wait(mEpollFd.fd, mEvents.data(), static_cast<int>(mEvents.size()),
                       WaitLimit(maxWaitMs));
    const int error = errno;
    if (n < 0 && error == EINTR) {
        n = 0;
    }
    Dispatch(n);
    FireTimers();
    RunDeferred();
    errno = error;
    return n;
}

bool EventLoop::Run() {
    while (!mbQuit.load(std::memory_order_acquire)) {
        if (RunOnce(-1) < 0) {
            return false;
        }
    }
    mbQuit.store(false, std::memory_order_release);
    return true;
}

void EventLoop::Quit() {
    mbQuit.store(true, std::memory_order_release);
    Wake();
}
