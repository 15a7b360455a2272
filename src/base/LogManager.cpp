#include "base/LogManager.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/CyclicQueue.h"
#include "base/LogStream.h"
#include "base/Metrics.h"
#include "base/Thread.h"
#include "base/ThreadMutex.h"

namespace {

// Id of a line posted by TRACE and of the date banner; PANIC posts its level.
constexpr long kLineId = -1;
// Id that tells the writer thread to end; no level of PANIC can take it.
constexpr long kStopWriterId = LONG_MIN;
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

LogManager::Moment SystemClock(void*) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return LogManager::Moment{ts.tv_sec, static_cast<unsigned short>(ts.tv_nsec / 1000000)};
}

}  // namespace

struct LogManager::State {
    ThreadMutex lock;
    std::unique_ptr<ThreadMutex> writerLock;  // queued mode only
    std::unique_ptr<CyclicQueue> queue;       // queued mode only
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
    unsigned retries = 0;
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
        st.queue =
            std::make_unique<CyclicQueue>(static_cast<unsigned long>(st.lineSize) * queueLength);
        st.writerRunning = Thread::BeginThread(LogWriteProc, this, &st.writer);
    }
}

LogManager::~LogManager() {
    State& st = *mpState;
    if (st.writerRunning) {
        // The stop message queues behind every line posted so far, so the
        // writer writes them all before it ends.
        while (st.queue->SendMessage(kStopWriterId, nullptr, 0) == 0) {
            Thread::Sleep(1);
        }
        Thread::Join(st.writer);
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

void LogManager::LockWriter() {
    if (mpState->writerLock) {
        mpState->writerLock->Lock();
    }
}

void LogManager::UnlockWriter() {
    if (mpState->writerLock) {
        mpState->writerLock->Unlock();
    }
}

void LogManager::FormatTime() {
    State& st = *mpState;
    st.now = st.clock(st.clockData);
    size_t room = st.line.data() + st.lineSize - st.text;

    if (st.now.seconds == st.lastSecond) {
        std::memset(st.text, ' ', st.stampLength - 1);
        st.text[st.stampLength - 1] = '.';
        snprintf(st.text + st.stampLength, room - st.stampLength, "%03hu  ", st.now.milliseconds);
        return;
    }

    st.lastSecond = st.now.seconds;
    struct tm local;
    localtime_r(&st.now.seconds, &local);
    if (++st.secondsCounter == kBannerEvery) {
        st.secondsCounter = 0;
        size_t banner = strftime(st.text, room, "%d  %b %Y  <---- Date ----<<<\n", &local);
        if (banner > 0) {
            if (st.queue) {
                st.length = banner + 1;
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
    snprintf(st.text + st.stampLength, room - st.stampLength, "%03hu  ", st.now.milliseconds);
}

void LogManager::PostLogMsg(long id) {
    State& st = *mpState;
    st.retries = 0;
    while (st.queue->SendMessage(id, st.line.data(), st.length) == 0) {
        if (st.retries >= st.queueLength) {
            return;  // still full after the writer finished queue-length lines: drop
        }
        ++st.retries;
        // Waits until the writer has finished the line it is writing.
        st.writerLock->Lock();
        st.writerLock->Unlock();
    }
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
        int length = vsnprintf(message, st.lineSize - offset, format, args);
        st.length = length < 0 ? 0 : static_cast<unsigned long>(length);
        if (length <= 0) {
            return;
        }
        if (st.queue && st.text == st.line.data()) {
            st.length = offset + std::strlen(message) + 1;
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
    int length = vsnprintf(message, st.lineSize - offset - kTagLength, format, args);
    st.length = length < 0 ? 0 : static_cast<unsigned long>(length);
    if (length <= 0) {
        return;
    }
    if (st.queue && st.text == st.line.data()) {
        st.length = offset + kTagLength + std::strlen(message) + 1;
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
    std::vector<char> buffer(st.lineSize + 1, '\0');
    for (;;) {
        long id = 0;
        unsigned long length = st.queue->GetMessage(&id, buffer.data(), st.lineSize);
        if (id == kStopWriterId) {
            break;
        }
        buffer[length] = '\0';  // a posted line carries its zero; this guards a cut one
        ThreadMutexLock guard(*st.writerLock);
        self->mpStream->TRACE(buffer.data(), 3, 0);
        if (st.flushEach) {
            self->mpStream->Flush();
            if (id == 0) {
                fputs(buffer.data(), stderr);
            }
        }
    }
    return 0;
}
