#include "base/LogManager.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/CrashGuard.h"
#include "base/LogStream.h"
#include "base/Metrics.h"
#include "base/StringUtils.h"
#include "base/Thread.h"
#include "base/ThreadMutex.h"
#include "base/WriteAll.h"

namespace {

// Id of a line posted by TRACE and of the date banner; PANIC posts its level.
constexpr long kLineId = -1;
// Who writes the ring's waiting bytes (State::owner): no one, the writer thread
// or a poster (under writerLock), or the crash guard's handler.
constexpr int kNoWriter = 0;
constexpr int kLineWriter = 1;
constexpr int kHandlerWriter = 2;
// Sleeps of a poster or of the crash guard's handler waiting for a write.
constexpr long kGatherNanos = 1000000;
// The writer lets the lines of a millisecond gather before it writes them,
// or fewer once this many bytes wait: one write then stays a few tens of
// microseconds. (Under a busy fan-out a millisecond is over 100 KiB, a write
// that held up one event in eight on the processor the threads share; a
// shorter gather for every load put a write inside most single requests.)
constexpr size_t kGatherBytes = 32 * 1024;
// The writer thread's scheduling niceness (lower priority than the others).
constexpr int kWriterNice = 10;
// How long the crash guard's handler waits for a write in progress (1 ms steps).
constexpr int kHandlerWaitSteps = 2000;

// The crash guard's handler reads the ring's indices and write turn.
static_assert(std::atomic<size_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the ring's atomics must be lock-free");

// Set on the thread that holds the ring's write turn: its handler must not
// wait for itself.
thread_local bool tWritingQueue = false;

void SleepNanos(long nanos) {
    struct timespec pause {
        0, nanos
    };
    nanosleep(&pause, nullptr);
}

// Enough for the time stamp, a tag and the date banner.
constexpr unsigned kMinLineSize = 64;
// Length of the clock part "%H:%M:%S." before it is first formatted.
constexpr unsigned kClockLength = 9;
// Width of the milliseconds part "%03hu  ".
constexpr unsigned kMillisLength = 5;
// Width of the tags of PANIC.
constexpr unsigned kTagLength = 10;
// Every this many new seconds a date banner precedes the line.
constexpr unsigned short kBannerEvery = 32;

// The milliseconds part as "%03hu  " writes it; by hand for the usual three
// digits, since every line has one.
void FormatMillis(char* at, size_t room, unsigned short milliseconds) {
    if (milliseconds >= 1000 || room < kMillisLength + 1) {
        snprintf(at, room, "%03hu  ", milliseconds);
        return;
    }
    at[0] = static_cast<char>('0' + milliseconds / 100);
    at[1] = static_cast<char>('0' + milliseconds / 10 % 10);
    at[2] = static_cast<char>('0' + milliseconds % 10);
    at[3] = ' ';
    at[4] = ' ';
    at[5] = '\0';
}

LogManager::Moment SystemClock(void*) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return LogManager::Moment{ts.tv_sec, static_cast<unsigned short>(ts.tv_nsec / 1000000)};
}

}  // namespace

struct LogManager::State {
    ThreadMutex lock;
    std::unique_ptr<ThreadMutex> writerLock;  // queued mode only
    // Queued mode: the ring of line bytes. Posters append under `lock` and
    // then publish `head`; whoever holds the write turn (`owner`) writes
    // [tail, head) and then advances `tail`. Both count bytes modulo twice
    // the ring's size (so full and empty differ), in words that are
    // lock-free on the 32-bit unit too, as the signal handler needs.
    std::unique_ptr<char[]> ring;
    size_t ringSize = 0;
    std::atomic<size_t> head{0};
    std::atomic<size_t> tail{0};

    size_t Waiting(size_t h, size_t t) const { return (h + 2 * ringSize - t) % (2 * ringSize); }
    size_t Advance(size_t at, size_t n) const { return (at + n) % (2 * ringSize); }
    std::atomic<int> owner{kNoWriter};
    // The idle writer sleeps on `wake`; the first poster that finds it asleep wakes it.
    std::mutex wakeMutex;
    std::condition_variable wake;
    std::atomic<bool> writerSleeping{false};
    // The writer gathers lines; the poster that makes kGatherBytes wait wakes it.
    std::atomic<bool> writerGathering{false};
    std::atomic<bool> stopping{false};
    std::atomic<bool> writerPaused{false};  // tests: the writer thread leaves the ring alone
    Thread::Handle writer{};
    bool writerRunning = false;

    ClockProc clock = SystemClock;
    void* clockData = nullptr;
    Moment now{};
    std::vector<char> line;
    char* text = nullptr;  // where the time stamp starts (no fixed prefix: the line's start)
    bool flushEach = true;
    bool stampTime = true;
    time_t lastSecond = 0;
    unsigned lineSize = 0;
    unsigned queueLength = 0;
    unsigned stampLength = kClockLength;
    unsigned long length = 0;
    unsigned short secondsCounter = 0;
};

LogManager::LogManager(const char* name, bool append, bool createDir, unsigned queueLength,
                       unsigned lineSize)
    : mpState(std::make_unique<State>()) {
    State& st = *mpState;
    st.lineSize = lineSize < kMinLineSize ? kMinLineSize : lineSize;
    st.queueLength = queueLength;
    st.line.assign(st.lineSize, '\0');
    st.text = st.line.data();
    mpStream =
        std::make_unique<LogStream>(name, append, createDir, 2147483647L, 1, st.lineSize, false);
    if (queueLength != 0) {
        st.writerLock = std::make_unique<ThreadMutex>();
        st.ringSize = static_cast<size_t>(st.lineSize) * queueLength;
        st.ring.reset(new char[st.ringSize]);
        mpStream->DeferDrops();
        st.writerRunning = Thread::BeginThread(LogWriteProc, this, &st.writer);
        CrashGuard::SetPendingLog(WritePendingLines, this);
    }
}

LogManager::~LogManager() {
    State& st = *mpState;
    if (st.ring) {
        CrashGuard::ClearPendingLog(this);
    }
    if (st.writerRunning) {
        // The writer ends once it has written every line posted so far.
        {
            std::lock_guard<std::mutex> guard(st.wakeMutex);
            st.stopping.store(true);
        }
        st.wake.notify_one();
        Thread::Join(st.writer);
    }
    if (st.ring) {
        ThreadMutexLock guard(*st.writerLock);
        WriteQueued();  // lines posted while no writer ran
    }
    mpStream->Flush();
}

void LogManager::SetClock(ClockProc clock, void* data) {
    ThreadMutexLock guard(mpState->lock);
    mpState->clock = clock != nullptr ? clock : SystemClock;
    mpState->clockData = data;
}

unsigned LogManager::StampWidth() const {
    return mpState->stampLength + kMillisLength;
}

void LogManager::PauseWriter(bool paused) {
    mpState->writerPaused.store(paused);
}

void LogManager::FormatTime() {
    State& st = *mpState;
    st.now = st.clock(st.clockData);
    size_t room = st.line.data() + st.lineSize - st.text;

    if (st.now.seconds == st.lastSecond) {
        std::memset(st.text, ' ', st.stampLength - 1);
        st.text[st.stampLength - 1] = '.';
        FormatMillis(st.text + st.stampLength, room - st.stampLength, st.now.milliseconds);
        return;
    }

    st.lastSecond = st.now.seconds;
    struct tm local;
    localtime_r(&st.now.seconds, &local);
    if (++st.secondsCounter == kBannerEvery) {
        st.secondsCounter = 0;
        size_t banner = strftime(st.text, room, "%d  %b %Y  <---- Date ----<<<\n", &local);
        if (banner > 0) {
            if (st.ring) {
                st.length = banner;
                PostLogMsg(kLineId);
            } else {
                mpStream->TRACE(st.line.data(), 3, 0);
            }
        }
    }
    st.stampLength = static_cast<unsigned>(strftime(st.text, room, "%H:%M:%S.", &local));
    if (st.stampLength == 0) {
        // Cannot happen with a sane clock; keep the layout's width anyway.
        std::memset(st.text, ' ', kClockLength - 1);
        st.text[kClockLength - 1] = '.';
        st.stampLength = kClockLength;
    }
    FormatMillis(st.text + st.stampLength, room - st.stampLength, st.now.milliseconds);
}

void LogManager::PostLogMsg(long id) {
    State& st = *mpState;
    const size_t length = st.length;
    const size_t head = st.head.load(std::memory_order_relaxed);
    while (length > st.ringSize - st.Waiting(head, st.tail.load(std::memory_order_acquire))) {
        // Full: this thread writes what waits, in order, and then queues its
        // line; memory stays bounded and no line is lost.
        ThreadMutexLock guard(*st.writerLock);
        WriteQueued();
        if (st.owner.load() == kHandlerWriter) {
            SleepNanos(kGatherNanos);  // the crash guard is writing the ring
        }
    }
    const size_t at = head % st.ringSize;
    const size_t first = std::min(length, st.ringSize - at);
    std::memcpy(st.ring.get() + at, st.line.data(), first);
    std::memcpy(st.ring.get(), st.line.data() + first, length - first);
    const size_t next = st.Advance(head, length);
    st.head.store(next);
    if (st.writerSleeping.exchange(false) ||
        (st.Waiting(next, st.tail.load()) >= kGatherBytes && st.writerGathering.exchange(false))) {
        std::lock_guard<std::mutex> guard(st.wakeMutex);
        st.wake.notify_one();
    }
    if (id == 0 && st.flushEach) {
        fputs(st.line.data(), stderr);
    }
}

size_t LogManager::WriteQueued() {
    State& st = *mpState;
    int expected = kNoWriter;
    if (!st.owner.compare_exchange_strong(expected, kLineWriter)) {
        return 0;  // the crash guard's handler writes them
    }
    tWritingQueue = true;
    const size_t head = st.head.load(std::memory_order_acquire);
    const size_t tail = st.tail.load(std::memory_order_relaxed);
    const size_t at = tail % st.ringSize;
    const size_t length = st.Waiting(head, tail);
    const size_t first = std::min(length, st.ringSize - at);
    if (length > 0) {
        mpStream->WriteLines(st.ring.get() + at, first, st.ring.get(), length - first);
    }
    st.tail.store(head, std::memory_order_release);
    tWritingQueue = false;
    st.owner.store(kNoWriter);
    return length;
}

void LogManager::WritePendingLines(int fd, void* manager) {
    State& st = *static_cast<LogManager*>(manager)->mpState;
    if (tWritingQueue) {
        return;  // interrupted its own write: what it was writing may be in the file
    }
    int expected = kNoWriter;
    for (int step = 0; !st.owner.compare_exchange_strong(expected, kHandlerWriter); ++step) {
        if (step == kHandlerWaitSteps) {
            return;
        }
        expected = kNoWriter;
        SleepNanos(kGatherNanos);  // another thread is writing a batch
    }
    const size_t head = st.head.load(std::memory_order_acquire);
    const size_t tail = st.tail.load(std::memory_order_relaxed);
    const size_t at = tail % st.ringSize;
    const size_t length = st.Waiting(head, tail);
    const size_t first = std::min(length, st.ringSize - at);
    WriteAll(fd, st.ring.get() + at, first);
    WriteAll(fd, st.ring.get(), length - first);
    st.tail.store(head, std::memory_order_release);
    st.owner.store(kNoWriter);
}

void LogManager::TRACE(const char* format, va_list& args) {
    metrics::LogMetrics().lines.Add();
    State& st = *mpState;
    ThreadMutexLock guard(st.lock);
    if (!st.stampTime) {
        mpStream->TRACE(3, format, args, 0);
    } else {
        FormatTime();
        size_t offset = st.text - st.line.data() + st.stampLength + kMillisLength;
        char* message = st.line.data() + offset;
        int length = StringUtils::FormatText(message, st.lineSize - offset, format, args);
        st.length = length < 0 ? 0 : static_cast<unsigned long>(length);
        if (length <= 0) {
            return;
        }
        if (st.ring && st.text == st.line.data()) {
            st.length = offset + std::strlen(message);
            PostLogMsg(kLineId);
            return;
        }
        mpStream->TRACE(st.line.data(), 3, 0);
    }
    if (st.flushEach) {
        mpStream->Flush();
    }
}

void LogManager::TRACE(const char* format, ...) {
    va_list args;
    va_start(args, format);
    TRACE(format, args);
    va_end(args);
}

void LogManager::PANIC(int level, const char* format, va_list& args) {
    metrics::LogMetrics().lines.Add();
    State& st = *mpState;
    ThreadMutexLock guard(st.lock);
    if (!st.stampTime) {
        mpStream->TRACE(static_cast<unsigned char>(level), format, args, 0);
        mpStream->Flush();
        return;
    }
    FormatTime();
    size_t offset = st.text - st.line.data() + st.stampLength + kMillisLength;
    std::memcpy(st.line.data() + offset, level == 0 ? "<<ERROR>> " : "<WARNING> ", kTagLength);
    char* message = st.line.data() + offset + kTagLength;
    int length = StringUtils::FormatText(message, st.lineSize - offset - kTagLength, format, args);
    st.length = length < 0 ? 0 : static_cast<unsigned long>(length);
    if (length <= 0) {
        return;
    }
    if (st.ring && st.text == st.line.data()) {
        st.length = offset + kTagLength + std::strlen(message);
        PostLogMsg(level);
        return;
    }
    mpStream->TRACE(st.line.data(), 3, 0);
    mpStream->Flush();
    if (st.flushEach && level == 0) {
        fputs(st.line.data(), stderr);
    }
}

void LogManager::PANIC(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PANIC(level, format, args);
    va_end(args);
}

unsigned long LogManager::LogWriteProc(void* manager) {
    LogManager* self = static_cast<LogManager*>(manager);
    State& st = *self->mpState;
    // Stop signals go to the other threads, so that the crash guard's handler
    // never interrupts a write of the ring on this one.
    sigset_t signals;
    sigfillset(&signals);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
        sigdelset(&signals, fault);
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // Background work: a thread with a client or a call to serve goes first
    // when both are ready on one processor. The ring bounds how far the file
    // may lag; a full ring is written by the thread that logs.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kWriterNice);
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(st.wakeMutex);
            st.writerSleeping.store(true);
            st.wake.wait(guard,
                         [&st] { return st.head.load() != st.tail.load() || st.stopping.load(); });
            st.writerSleeping.store(false);
        }
        if (st.stopping.load() && st.head.load() == st.tail.load()) {
            break;
        }
        if (st.writerPaused.load() && !st.stopping.load()) {
            SleepNanos(kGatherNanos);
            continue;
        }
        if (!st.stopping.load()) {
            // Let the lines of this moment gather.
            std::unique_lock<std::mutex> guard(st.wakeMutex);
            st.writerGathering.store(true);
            st.wake.wait_for(guard, std::chrono::nanoseconds(kGatherNanos), [&st] {
                return st.stopping.load() ||
                       st.Waiting(st.head.load(), st.tail.load()) >= kGatherBytes;
            });
            st.writerGathering.store(false);
        }
        size_t written = 0;
        {
            ThreadMutexLock guard(*st.writerLock);
            written = self->WriteQueued();
        }
        // A copy that a rotation set aside is removed here, while the
        // loggers go on filling the ring, as fast as the file fills.
        self->mpStream->DropSetAside(written);
    }
    self->mpStream->DropSetAside();
    return 0;
}
