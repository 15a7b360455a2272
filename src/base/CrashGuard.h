// Turns the process's stop and crash signals into an orderly end: a stop report
// or a backtrace dump (system log and report file), one run of the
// application's exit routine, an optional restart after a crash, then the
// signal again with the action it had before the guard was armed (SIGTSTP,
// when SetEndOnTerminalStop is on: the process ends with kTerminalStopStatus
// instead of stopping).
//
// All state is static: one guard per process. Construction and destruction
// happen on the main thread. FuneralProc runs on whichever thread receives a
// signal, with all signals blocked; mIsDone (an atomic test-and-set) lets only
// the first signal of the process do the work. No lock is used, since a signal
// handler could not take one safely; the handler writes its reports with
// async-signal-safe calls only (see docs/logging.md for the one exception).
#pragma once

#include <signal.h>

#include <atomic>
#include <memory>

class CrashGuard {
  public:
    // Exit routine: gets whether the process crashed (false for a stop
    // signal), the signal number and the user data given with it.
    typedef int (*ExitRoutine)(bool crashed, int signal, void* data);

    static constexpr int kSignalCount = 11;
    static constexpr int kStopSignalCount = 5;  // the first five of the table
    static constexpr size_t kTraceBufSize = 4096;
    static constexpr size_t kCmdLineSize = 256;
    // Exit status after SIGTSTP with SetEndOnTerminalStop on: the process ends
    // rather than stop (its service is gone once the exit routine has run),
    // whatever the signal's earlier action was.
    static constexpr int kTerminalStopStatus = 128 + SIGTSTP;
    // Off (the default): SIGTSTP takes its earlier action like the other stop
    // signals, normally stopping the process. Any thread, any time.
    static void SetEndOnTerminalStop(bool end) { mbEndOnTerminalStop = end; }

    // Arms the guard: installs the handler for the stop and crash signals and
    // keeps their earlier actions. `logFile` receives the reports (appended;
    // null for none); `appName` names the process in reports and in the system
    // log (null: the program file's name); `appPath` is the program (null: the
    // first word of the process's command line). With `autoRestart` a pid file
    // RootPath("/var/run/") + <program file name> + ".pid" is written. While a
    // guard is armed, another construction changes nothing.
    CrashGuard(const char* logFile, const char* appName, const char* appPath, bool syslogOn,
               bool autoRestart);
    // Disarms (no more reports) but leaves the handlers installed: a later
    // signal only runs the exit routine and takes its earlier action.
    ~CrashGuard();
    CrashGuard(const CrashGuard&) = delete;
    CrashGuard& operator=(const CrashGuard&) = delete;

    // Writes a log's lines that are queued but not yet in the file to the
    // descriptor; must be async-signal-safe (base/LogManager.h).
    typedef void (*PendingLogWriter)(int fd, void* data);
    // The handler writes the pending lines into the report file before its
    // report, and again after the exit routine, so the report follows every
    // line logged before the signal. One writer; a later call replaces it.
    static void SetPendingLog(PendingLogWriter writer, void* data);
    // Removes the writer if it was set with `data`.
    static void ClearPendingLog(void* data);

    // Stores the one exit routine; a later call replaces it.
    static void AddExitRoutine(ExitRoutine routine, void* data);
    // Writes an exception dump with `reason` (may be null) and ends the process
    // with exit code 1 at once; the exit routine is not called.
    [[noreturn]] static void Abort(const char* reason);
    static bool IsDebuggerOn();
    // The signal handler.
    static void FuneralProc(int signal);
    // Writes a backtrace dump of the calling thread. With `signalName` the
    // header names the signal; without it, an unhandled exception and `reason`.
    static void DumpStack(int signal, const char* signalName, const char* reason);
    // Starts `path` detached, with `cmdLine` split at blanks as its arguments.
    // Stores the new process's id plus 1 through `pid` when it is not null.
    static bool CreateProcess(const char* path, const char* cmdLine, int* pid);

  private:
    // The report file, opened by path, else the descriptor opened when armed;
    // -1 for none. `opened` says whether CloseReport must close it.
    static int OpenReport(bool& opened);
    static void CloseReport(int fd, bool opened);
    // Writes the pending log lines to `fd`, or to the report file for -1.
    static void WritePendingLog(int fd);

    static std::unique_ptr<char[]> mpLogFile;
    static std::unique_ptr<char[]> mpAppName;
    static std::unique_ptr<char[]> mpAppPath;
    static std::unique_ptr<char[]> mpCmdLine;
    // Non-null while armed; the handler reads it, so it is atomic.
    static std::atomic<char*> mpTraceBuf;
    static std::unique_ptr<char[]> mpTraceStorage;  // owns what mpTraceBuf points to
    static bool mSyslogOn;
    static bool mAutoRestart;
    static std::atomic<bool> mIsDone;
    static std::atomic<bool> mbEndOnTerminalStop;
    static std::atomic<int> mReportFd;  // opened when armed; -1 for none
    static long mUtcOffset;             // seconds east of UTC when armed
    static std::atomic<ExitRoutine> mpUserRoutine;
    static std::atomic<void*> mpUserData;
    static std::atomic<PendingLogWriter> mpPendingLog;
    static std::atomic<void*> mpPendingLogData;
    static struct sigaction mSavedActions[kSignalCount];
    static int mProcessId;

    bool mbArmedHere = false;  // this object armed the guard and disarms it
};
