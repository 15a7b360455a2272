// The platform's file log stream: appends finished lines to one log file and
// keeps its size bounded by rotating it to a single older copy.
//
// Any thread may call it; mMutex guards the file descriptor, the format
// buffer and the size count, so each line is written whole. Other writers (the crash guard) may
// append to the same file by path at any time; the file is opened with O_APPEND.
#pragma once

#include <atomic>
#include <cstdarg>
#include <string>
#include <vector>

#include "base/ThreadMutex.h"

class LogStream {
  public:
    // /tmp lives in RAM on the unit, so no log file grows beyond this size,
    // whatever the caller asks for.
    static constexpr unsigned long kMaxFileSize = 4UL * 1024 * 1024;
    // Modes of a log file and a log directory the daemon creates: the log
    // names users and numbers and tells how the exchange is used, so others
    // than the daemon's user and group do not read it. Files and directories
    // that exist keep their modes.
    static constexpr unsigned kFileMode = 0640;
    static constexpr unsigned kDirectoryMode = 0750;

    // Opens the log `name` for appending lines. A relative name is placed in
    // RootPath("/tmp/logs/"); an absolute one is taken as given.
    //  append         keep the file's contents (false: empty it when opening)
    //  createDir      create the log directory when it is missing
    //  maxFileSize    rotate before a write would take the file past this many
    //                 bytes (capped at kMaxFileSize)
    //  keepCopies     older copies kept: <name>.1 is the newest, then <name>.2...;
    //                 0 empties the file instead of keeping a copy
    //  lineSize       longest line that TRACE with a format produces, with its zero
    //  echoToStderr   also copy every line to standard error
    LogStream(const char* name, bool append, bool createDir, long maxFileSize, int keepCopies,
              unsigned lineSize, bool echoToStderr);
    ~LogStream();
    LogStream(const LogStream&) = delete;
    LogStream& operator=(const LogStream&) = delete;

    // Writes `line` unchanged. The level and flags are accepted for the
    // library's interface; this stream writes lines of every level alike.
    void TRACE(const char* line, unsigned char level, unsigned char flags);
    // Formats the line itself (cut to the line size) and writes it.
    void TRACE(unsigned char level, const char* format, va_list& args, unsigned char flags);
    // Writes whole lines, `first` then `second` (the two parts of a ring),
    // with one writev; when the file reaches its limit inside them, it is
    // rotated before the line that would pass it, as line by line.
    void WriteLines(const char* first, size_t firstLength, const char* second, size_t secondLength);
    // Lines are not buffered: each reaches the file with one write(2) when it
    // is traced. Flush is kept for the library's interface and does nothing.
    void Flush() {}

    const std::string& Path() const { return mPath; }

    // Removing the copy that a rotation drops frees megabytes in one system
    // call, half a millisecond in which no other thread runs on that
    // processor. So the rotation only renames it to <name>.drop. Without
    // DeferDrops the rotating thread removes it at once; with it (set before
    // the stream is shared) DropSetAside, called by a background thread
    // outside the loggers' locks, shortens it by at least `pace` bytes (and
    // at least kDropStep) a call, kDropStep bytes a system call, and removes
    // it once empty. The writer passes what it has just written: the copy
    // is gone before the file fills again. Any thread.
    static constexpr unsigned long kDropStep = 64 * 1024;
    void DeferDrops() { mbDeferDrops = true; }
    void DropSetAside(unsigned long pace = 0);

    // Tells every stream that something else appended to a log file (the
    // crash guard's reports): each stream reads its file's size again before
    // its next line. Async-signal-safe (one lock-free atomic increment).
    static void NoteOutsideAppend();

  private:
    void WriteLocked(const char* data, size_t length);
    // Opens the file if needed and learns its size; false when it cannot be opened.
    bool ReadyLocked();
    void RotateLocked();
    void OpenLocked(bool truncate);

    const std::string mPath;
    const unsigned long mnMaxFileSize;
    const int mnKeepCopies;
    const bool mbEchoToStderr;
    const std::string mDropPath;  // <name>.drop
    bool mbDeferDrops = false;
    std::atomic<bool> mbDropPending{false};
    ThreadMutex mDropMutex;  // inside mMutex when both are held
    int mDropFd = -1;        // guarded by mDropMutex: the copy being shortened
    ThreadMutex mMutex;
    int mFd = -1;                  // guarded by mMutex
    std::vector<char> mFormatBuf;  // guarded by mMutex
    // The file's size as counted by this stream (mMutex); read from the file
    // after each open and after an outside append, and counted from then on.
    unsigned long mnSize = 0;
    bool mbSizeKnown = false;
    unsigned mnSeenOutsideAppends = 0;
    static std::atomic<unsigned> msOutsideAppends;
};
