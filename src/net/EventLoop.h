// One thread's event loop: descriptors watched through epoll (no ceiling on
// descriptor numbers), one coalesced wake-up through an eventfd, timers on the
// monotonic clock, and work deferred to the end of the dispatch pass.
//
// A pass (RunOnce) waits for the first of: a watched descriptor ready, a wake-up,
// the nearest timer, the caller's limit; then runs, in this order, the handlers
// of the ready descriptors, the handlers of the due timers, the deferred tasks,
// and destroys the objects handed to DeleteLater. A handler never runs for a
// descriptor forgotten or a timer cancelled earlier in the same pass, so a
// handler may forget, cancel or hand to DeleteLater any object of the loop,
// itself included.
//
// Threads: the instance may be constructed on any thread; from then on one
// owner thread makes every call, except Wake and Quit, which any thread may
// call. Every member but mbWakePending and mbQuit is the owner's alone; those
// two are atomics and guard nothing else. A descriptor must be forgotten before
// it is closed, so that a later descriptor with the same number starts
// unwatched.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

class EventLoop {
  public:
    static constexpr unsigned kRead = 1;
    static constexpr unsigned kWrite = 2;

    // Gets what the wait reported for its descriptor: kRead and kWrite bits
    // (an error or hang-up reports both, so that the next read or write sees it).
    using IoHandler = std::function<void(unsigned ready)>;
    using Task = std::function<void()>;
    using TimerId = std::uint64_t;  // never 0

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // False when the kernel gave no epoll instance or no eventfd (out of
    // descriptors); every wait then fails.
    bool IsOpen() const { return mEpollFd.fd >= 0 && mWakeFd.fd >= 0; }
    // The eventfd that carries the wake-ups (-1 when none).
    int WakeDescriptor() const { return mWakeFd.fd; }

    // Watches `fd` for `events` (kRead, kWrite, both, or 0: registered but
    // asking for nothing) with `handler`. An `fd` watched already gets the new
    // handler and events. False on failure (the descriptor is then unwatched).
    bool Watch(int fd, unsigned events, IoHandler handler);
    // Changes what a watched `fd` waits for; the same events again cost no
    // system call. False when `fd` is not watched or the kernel refuses.
    bool SetEvents(int fd, unsigned events);
    bool IsWatched(int fd) const;
    // Stops watching `fd`; its handler does not run again, not even for what
    // the current pass has already reported.
    void Forget(int fd);

    // Runs `handler` once, `delayMs` from now (0: in the next pass), and then
    // every `periodMs` when that is above 0, until cancelled.
    TimerId AddTimer(long delayMs, Task handler, long periodMs = 0);
    // Cancels a timer; its handler does not run again. An unknown or spent id
    // is ignored.
    void CancelTimer(TimerId id);

    // Runs `task` at the end of the current pass (or of the next one, when
    // called outside a pass, which then does not wait).
    void Defer(Task task);
    // Destroys `object` at the end of the current pass, after the deferred
    // tasks: the way for a handler to destroy the object it belongs to.
    template <class T>
    void DeleteLater(std::unique_ptr<T> object) {
        if (object) {
            mDoomed.emplace_back(std::move(object));
        }
    }

    // Any thread: ends the current or next wait. Wake-ups before the loop
    // looks cost one write and one wake; the loop drains them. The handler
    // set by SetWakeHandler then runs once in that pass.
    void Wake();
    void SetWakeHandler(Task handler) { mWakeHandler = std::move(handler); }

    // One pass. Waits up to `maxWaitMs` (negative: until something happens)
    // and dispatches. Returns how many descriptors the wait reported (the
    // wake-up's included; 0 on time-out or when a signal interrupted the
    // wait), or -1 with errno on another failure.
    int RunOnce(int maxWaitMs);
    // Passes until Quit; false when a wait failed (see RunOnce).
    bool Run();
    // Any thread: makes Run return after its current pass.
    void Quit();

  private:
    struct Descriptor {
        int fd = -1;
        explicit Descriptor(int f) : fd(f) {}
        ~Descriptor();
        Descriptor(const Descriptor&) = delete;
        Descriptor& operator=(const Descriptor&) = delete;
    };
    struct Watched {
        std::shared_ptr<IoHandler> handler;  // null: not watched
        std::uint32_t serial = 0;            // tells a registration from a later one
        unsigned events = 0;                 // asked for
        bool inKernel = false;               // registered with epoll (events != 0)
    };
    struct Timer {
        std::int64_t due;  // monotonic nanoseconds
        std::int64_t period;
        std::shared_ptr<Task> handler;
    };

    static std::int64_t Now();
    bool Apply(int fd, Watched& w, unsigned events);
    int WaitLimit(int maxWaitMs) const;
    void DrainWake();
    void Dispatch(int n);
    void FireTimers();
    void RunDeferred();

    Descriptor mEpollFd;
    Descriptor mWakeFd;
    std::atomic<bool> mbWakePending{false};
    std::atomic<bool> mbQuit{false};
    Task mWakeHandler;
    std::vector<Watched> mWatched;  // by descriptor
    std::uint32_t mnNextSerial = 1;
    std::vector<epoll_event> mEvents;                        // the kernel's answer
    std::set<std::pair<std::int64_t, TimerId>> mTimerOrder;  // (due, id), soonest first
    std::unordered_map<TimerId, Timer> mTimers;
    TimerId mnNextTimer = 1;
    std::vector<Task> mTasks;
    std::vector<std::shared_ptr<void>> mDoomed;
};
