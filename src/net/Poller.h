// Readiness of many descriptors at once through epoll: no ceiling on
// descriptor numbers (select stops at 1,024), and a wait that costs what is
// ready rather than what is watched.
//
// Threads: one thread owns an instance and makes every call (its loop); not
// safe to share. A descriptor must be forgotten before it is closed, so that
// a later descriptor with the same number starts unwatched.
#pragma once

#include <sys/epoll.h>

#include <vector>

class Poller {
  public:
    static constexpr unsigned kRead = 1;
    static constexpr unsigned kWrite = 2;

    Poller();
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // False when the kernel gave no epoll instance (out of descriptors).
    bool IsOpen() const { return mEpollFd >= 0; }

    // Watches `fd` for `events` (kRead, kWrite or both); a change of events
    // costs one system call, the same events again none. False on failure.
    bool Watch(int fd, unsigned events);
    // Stops watching `fd` and drops what the last wait reported for it.
    void Forget(int fd);

    // Waits up to `timeoutMs` (negative: no limit) for a watched descriptor
    // to become ready. Returns how many are ready (0 on time-out or when a
    // signal interrupted the wait), or -1 with errno on another failure.
    int Wait(int timeoutMs);
    // What the last wait reported for `fd`: kRead and kWrite bits (an error
    // or hang-up reports both, so that the next read or write sees it).
    unsigned Ready(int fd) const;

  private:
    int mEpollFd = -1;
    std::vector<unsigned char> mWatched;  // by descriptor: events asked for
    std::vector<unsigned char> mReady;    // by descriptor: events of the last wait
    std::vector<int> mReadyFds;           // descriptors set in mReady
    std::vector<epoll_event> mEvents;     // the kernel's answer
};
