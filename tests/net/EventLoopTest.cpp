// The event loop: wake-ups from another thread, timers, descriptors forgotten
// and objects destroyed from inside a dispatch pass.
#include "net/EventLoop.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// An eventfd that is readable from the start (until read).
struct Readable {
    Readable() : fd(eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~Readable() { close(fd); }
    int fd;
};

TEST(EventLoop, WakeUpsFromAnotherThreadCoalesceAndNoneIsLostAfterTheDrain) {
    EventLoop loop;
    ASSERT_TRUE(loop.IsOpen());
    int wakes = 0;
    loop.SetWakeHandler([&wakes] { ++wakes; });
    std::thread([&loop] {
        for (int i = 0; i < 1000; ++i) {
            loop.Wake();
        }
    }).join();
    EXPECT_EQ(loop.RunOnce(-1), 1);
    EXPECT_EQ(wakes, 1);
    EXPECT_EQ(loop.RunOnce(0), 0);  // drained: nothing left over
    // A wake-up after the drain writes again: this wait ends.
    std::thread other([&loop] { loop.Wake(); });
    EXPECT_EQ(loop.RunOnce(-1), 1);
    other.join();
    EXPECT_EQ(wakes, 2);
    // Quit from another thread ends Run.
    std::thread quitter([&loop] { loop.Quit(); });
    EXPECT_TRUE(loop.Run());
    quitter.join();
}

TEST(EventLoop, TimersFireByDeadlineAndCancelledOnesNever) {
    EventLoop loop;
    std::vector<int> fired;
    loop.AddTimer(30, [&fired] { fired.push_back(30); });
    loop.AddTimer(10, [&fired] { fired.push_back(10); });
    const EventLoop::TimerId cancelled = loop.AddTimer(15, [&fired] { fired.push_back(15); });
    loop.AddTimer(20, [&fired] { fired.push_back(20); });
    loop.CancelTimer(cancelled);
    int ticks = 0;
    EventLoop::TimerId repeating = 0;
    repeating = loop.AddTimer(
        1,
        [&] {
            if (++ticks == 3) {
                loop.CancelTimer(repeating);
            }
        },
        1);
    while (fired.size() < 3 || ticks < 3) {
        loop.RunOnce(-1);
    }
    EXPECT_EQ(fired, (std::vector<int>{10, 20, 30}));

    // Two timers due in the same pass: the first cancels the second.
    EventLoop::TimerId second = 0;
    loop.AddTimer(0, [&] { loop.CancelTimer(second); });
    second = loop.AddTimer(0, [&fired] { fired.push_back(-1); });
    loop.RunOnce(0);
    EXPECT_EQ(fired.size(), 3u);
    EXPECT_EQ(ticks, 3);  // cancelled from its own handler
}

TEST(EventLoop, DescriptorForgottenInThePassGetsNoCallback) {
    EventLoop loop;
    Readable a, b;
    int calls = 0;
    for (const auto& [self, other] : {std::pair{a.fd, b.fd}, std::pair{b.fd, a.fd}}) {
        ASSERT_TRUE(loop.Watch(self, EventLoop::kRead, [&loop, &calls, other = other](unsigned) {
            ++calls;
            loop.Forget(other);
        }));
    }
    EXPECT_EQ(loop.RunOnce(-1), 2);  // both reported by the one wait
    EXPECT_EQ(calls, 1);
    // Asking for nothing silences a descriptor without forgetting it.
    const int left = loop.IsWatched(a.fd) ? a.fd : b.fd;
    ASSERT_TRUE(loop.SetEvents(left, 0));
    EXPECT_EQ(loop.RunOnce(0), 0);
    ASSERT_TRUE(loop.SetEvents(left, EventLoop::kRead | EventLoop::kWrite));
    EXPECT_EQ(loop.RunOnce(0), 1);
    EXPECT_EQ(calls, 2);
}

// Destroys itself from its own handler: forgets its descriptor, hands itself
// to DeleteLater and still reads its members before returning.
struct Connection {
    Connection(EventLoop& loop, int fd, std::vector<std::string>& log)
        : mLoop(loop), mFd(fd), mLog(log) {}
    ~Connection() { mLog.push_back("destroyed"); }
    static void Serve(std::unique_ptr<Connection> self) {
        Connection* c = self.get();
        c->mLoop.Watch(c->mFd, EventLoop::kRead, [c](unsigned) { c->OnReady(); });
        c->mSelf = std::move(self);
    }
    void OnReady() {
        mLoop.Forget(mFd);
        mLoop.Defer([this] { mLog.push_back("deferred task"); });
        mLoop.DeleteLater(std::move(mSelf));
        mLog.push_back("handler done");
    }
    EventLoop& mLoop;
    int mFd;
    std::vector<std::string>& mLog;
    std::unique_ptr<Connection> mSelf;
};

TEST(EventLoop, HandlerDestroysItsObjectAfterThePass) {
    EventLoop loop;
    Readable readable;
    std::vector<std::string> log;
    Connection::Serve(std::make_unique<Connection>(loop, readable.fd, log));
    EXPECT_EQ(loop.RunOnce(-1), 1);
    EXPECT_EQ(log, (std::vector<std::string>{"handler done", "deferred task", "destroyed"}));
    EXPECT_FALSE(loop.IsWatched(readable.fd));
}

}  // namespace
