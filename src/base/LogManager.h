// The process log: puts a time stamp in front of each line, serialises lines
// from all threads and hands them to the LogStream.
//
// Any thread may log. `lock` (in State) guards the line buffer, the time-stamp
// state and the banner counter, and is held while a line is formatted and
// written. In queued mode (queue length > 0) callers only copy finished lines
// into a ring of bytes; the writer thread (LogWriteProc) takes `writerLock`,
// never `lock`, while it writes every line waiting with one writev. A poster
// that finds the ring full writes what waits itself, under `writerLock`, and
// then queues its line: no line is dropped. Lock order: `lock`, then
// `writerLock`. The ring's indices are atomics and one atomic word says who
// writes (writer, poster or the crash guard's handler), so the handler can
// write the lines not yet written without a lock (WritePendingLines).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <ctime>
#include <memory>

class LogStream;

class LogManager {
  public:
    // A moment of the log's clock: whole seconds and milliseconds.
    struct Moment {
        time_t seconds;
        unsigned short milliseconds;
    };
    typedef Moment (*ClockProc)(void* data);

    // Opens the log `name` (see LogStream) with the two flags. A queue length
    // of 0 writes every line synchronously on the calling thread; otherwise a
    // ring of lineSize * queueLength bytes and a writer thread are created,
    // and the ring is registered with the crash guard (CrashGuard::SetPendingLog).
    // lineSize is the longest line with its time stamp and terminating zero.
    LogManager(const char* name, bool append, bool createDir, unsigned queueLength,
               unsigned lineSize);
    // Unregisters the ring, ends the writer thread after it has written every
    // queued line, then closes the log.
    virtual ~LogManager();
    LogManager(const LogManager&) = delete;
    LogManager& operator=(const LogManager&) = delete;

    // Writes one time-stamped line; an empty message writes nothing.
    void TRACE(const char* format, va_list& args);
    void TRACE(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Writes one line tagged "<<ERROR>> " (level 0) or "<WARNING> " (any other).
    // It is flushed at once, and error lines also go to standard error.
    void PANIC(int level, const char* format, va_list& args);
    void PANIC(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Body of the writer thread; `manager` is the LogManager.
    static unsigned long LogWriteProc(void* manager);
    // Writes the queued lines that no one has written yet to `fd` with
    // write(2) alone; async-signal-safe. The crash guard calls it (through
    // CrashGuard::SetPendingLog) before its report and after the exit routine.
    static void WritePendingLines(int fd, void* manager);

  protected:
    // Replaces the system clock, so that tests control the time stamps.
    // Call before the manager is shared between threads.
    void SetClock(ClockProc clock, void* data);
    // Number of bytes of the time stamp in front of each message.
    unsigned StampWidth() const;
    // Tests: while paused, the writer thread writes nothing (a poster that
    // finds the ring full still writes what waits; the end writes the rest).
    void PauseWriter(bool paused);

  private:
    struct State;

    // Fills the time stamp at the start of the line; writes the date banner
    // first when it is due. Called with `lock` held.
    void FormatTime();
    // Queues the line in the line buffer (its text up to the zero); when the
    // ring has no room, first writes what waits. Called with `lock` held.
    void PostLogMsg(long id);
    // Writes every queued byte not yet written through the stream; the number
    // of bytes. Called by the writer and by a poster, with `writerLock` held.
    size_t WriteQueued();

    std::unique_ptr<LogStream> mpStream;
    std::unique_ptr<State> mpState;
};
