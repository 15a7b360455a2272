#include "runtime/CrashGuard.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/LogStream.h"
#include "platform/RootPath.h"
#include "platform/Thread.h"
#include "platform/WriteAll.h"

namespace {

struct SignalInfo {
    int number;
    const char* name;
};

// Stop signals first, then crash signals; the index is that of the saved action.
constexpr SignalInfo kSignals[CrashGuard::kSignalCount] = {
    {SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"},     {SIGTERM, "SIGTERM"},
    {SIGTSTP, "SIGTSTP"}, {SIGILL, "SIGILL"},   {SIGABRT, "SIGABRT"},     {SIGBUS, "SIGBUS"},
    {SIGFPE, "SIGFPE"},   {SIGSEGV, "SIGSEGV"}, {SIGSTKFLT, "SIGSTKFLT"},
};

constexpr int kMaxFrames = 128;
constexpr int kMaxRestartArgs = 15;
constexpr size_t kFrameTextSize = 512;
constexpr size_t kProgramPathSize = 1024;

int SignalIndex(int signal) {
    for (int i = 0; i < CrashGuard::kSignalCount; ++i) {
        if (kSignals[i].number == signal) {
            return i;
        }
    }
    return -1;
}

std::unique_ptr<char[]> CopyText(const char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    size_t size = std::strlen(text) + 1;
    std::unique_ptr<char[]> copy(new char[size]);
    std::memcpy(copy.get(), text, size);
    return copy;
}

const char* TextOrEmpty(const std::unique_ptr<char[]>& text) {
    return text ? text.get() : "";
}

const char* FileNameOf(const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        slash = std::strrchr(path, '\\');
    }
    return slash != nullptr ? slash + 1 : path;
}

// Appends formatted text to a fixed buffer, cutting what does not fit before
// `limit` (which includes the terminating zero).
class ReportText {
  public:
    ReportText(char* buf, size_t limit) : mBuf(buf), mLimit(limit) { mBuf[0] = '\0'; }

    void Add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, format);
        AddV(format, args);
        va_end(args);
    }
    void AddV(const char* format, va_list args) {
        if (mPos + 1 >= mLimit) {
            return;
        }
        int n = vsnprintf(mBuf + mPos, mLimit - mPos, format, args);
        if (n > 0) {
            mPos +=
                static_cast<size_t>(n) < mLimit - mPos ? static_cast<size_t>(n) : mLimit - mPos - 1;
        }
    }
    void AddRepeated(char c, size_t count) {
        while (count-- > 0 && mPos + 1 < mLimit) {
            mBuf[mPos++] = c;
        }
        mBuf[mPos] = '\0';
    }
    size_t Length() const { return mPos; }
    size_t Room() const { return mLimit - 1 - mPos; }
    void SetLimit(size_t limit) { mLimit = limit; }

  private:
    char* mBuf;
    size_t mLimit;
    size_t mPos = 0;
};

}  // namespace

std::unique_ptr<char[]> CrashGuard::mpLogFile;
std::unique_ptr<char[]> CrashGuard::mpAppName;
std::unique_ptr<char[]> CrashGuard::mpAppPath;
std::unique_ptr<char[]> CrashGuard::mpCmdLine;
std::atomic<char*> CrashGuard::mpTraceBuf{nullptr};
std::unique_ptr<char[]> CrashGuard::mpTraceStorage;
bool CrashGuard::mSyslogOn = false;
bool CrashGuard::mAutoRestart = false;
std::atomic<bool> CrashGuard::mIsDone{false};
std::atomic<CrashGuard::ExitRoutine> CrashGuard::mpUserRoutine{nullptr};
std::atomic<void*> CrashGuard::mpUserData{nullptr};
struct sigaction CrashGuard::mSavedActions[CrashGuard::kSignalCount];
int CrashGuard::mProcessId = 0;

CrashGuard::CrashGuard(const char* logFile, const char* appName, const char* appPath, bool syslogOn,
                       bool autoRestart) {
    if (mpTraceBuf.load() != nullptr) {
        return;
    }
    mbArmedHere = true;

    for (int i = 0; i < kSignalCount; ++i) {
        struct sigaction action {};
        action.sa_handler = FuneralProc;
        sigfillset(&action.sa_mask);
        action.sa_flags = 0;
        struct sigaction previous {};
        if (sigaction(kSignals[i].number, &action, &previous) != 0) {
            continue;
        }
        // Armed again after a destruction: the handler is still installed, and
        // the action saved the first time is the one to restore.
        bool ours = (previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == FuneralProc;
        if (!ours) {
            mSavedActions[i] = previous;
        }
    }

    mSyslogOn = syslogOn;
    mAutoRestart = autoRestart;
    mProcessId = static_cast<int>(getpid());
    mpLogFile = CopyText(logFile);
    mpTraceStorage.reset(new char[kTraceBufSize]());
    mpCmdLine.reset(new char[kCmdLineSize]());

    // Restarting runs the program path with the arguments of this process.
    char commandLine[kProgramPathSize];
    if (Thread::GetCommandLine(commandLine, sizeof(commandLine)) < 0) {
        commandLine[0] = '\0';
    }
    char* arguments = std::strchr(commandLine, ' ');
    if (arguments != nullptr) {
        *arguments++ = '\0';
        std::snprintf(mpCmdLine.get(), kCmdLineSize, "%s", arguments);
    }
    mpAppPath = CopyText(appPath != nullptr ? appPath : commandLine);
    mpAppName = CopyText(appName != nullptr ? appName : FileNameOf(mpAppPath.get()));

    if (autoRestart) {
        std::string pidFile =
            RootPath("/var/run/") + FileNameOf(mpAppPath.get()) + std::string(".pid");
        int fd = open(pidFile.c_str(), O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0666);
        if (fd >= 0) {
            char text[32];
            int length = std::snprintf(text, sizeof(text), "%d\n", mProcessId);
            WriteAll(fd, text, static_cast<size_t>(length));
            close(fd);
        }
    }

    // Whatever the handler needs that might allocate on first use is loaded now:
    // the unwinder and the time zone.
    void* frame[1];
    backtrace(frame, 1);
    tzset();

    mpTraceBuf.store(mpTraceStorage.get());
}

CrashGuard::~CrashGuard() {
    if (!mbArmedHere) {
        return;
    }
    mpTraceBuf.store(nullptr);
    mpTraceStorage.reset();
    mpCmdLine.reset();
    mpLogFile.reset();
    mpAppPath.reset();
    mpAppName.reset();
}

void CrashGuard::AddExitRoutine(ExitRoutine routine, void* data) {
    mpUserData.store(data);
    mpUserRoutine.store(routine);
}

bool CrashGuard::IsDebuggerOn() {
    return false;
}

void CrashGuard::Abort(const char* reason) {
    mIsDone.store(true);  // a signal from here on must not run the exit routine
    DumpStack(SIGABRT, nullptr, reason);
    _exit(1);
}

void CrashGuard::AppendToReport(const char* text, size_t length) {
    if (!mpLogFile || mpLogFile[0] == '\0') {
        return;
    }
    int fd = open(mpLogFile.get(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    WriteAll(fd, text, length);
    close(fd);
    // The log stream counts its file's size: it must read it again.
    LogStream::NoteOutsideAppend();
}

void CrashGuard::FuneralProc(int signal) {
    if (mIsDone.exchange(true)) {
        return;
    }
    int index = SignalIndex(signal);
    if (index >= 0) {
        sigaction(signal, &mSavedActions[index], nullptr);
    }
    bool stopSignal = index >= 0 && index < kStopSignalCount;
    const char* signalName = index >= 0 ? kSignals[index].name : "Unknown";
    char* buf = mpTraceBuf.load();

    if (stopSignal) {
        if (buf != nullptr) {
            time_t now = time(nullptr);
            struct tm local {};
            localtime_r(&now, &local);
            int length =
                std::snprintf(buf, kTraceBufSize,
                              "\n======= Process %s (%s) has been stopped by signal %s(%d) at "
                              "%02d:%02d:%02d =======\n",
                              TextOrEmpty(mpAppPath), TextOrEmpty(mpAppName), signalName, signal,
                              local.tm_hour, local.tm_min, local.tm_sec);
            if (length > 0) {
                size_t size = static_cast<size_t>(length) < kTraceBufSize
                                  ? static_cast<size_t>(length)
                                  : kTraceBufSize - 1;
                if (mSyslogOn) {
                    openlog(TextOrEmpty(mpAppName), LOG_PID, LOG_USER);
                    syslog(LOG_WARNING, "%s", buf);
                    closelog();
                }
                AppendToReport(buf, size);
            }
        }
    } else if (!IsDebuggerOn()) {
        DumpStack(signal, signalName, nullptr);
    }

    ExitRoutine routine = mpUserRoutine.load();
    if (routine != nullptr) {
        routine(!stopSignal, signal, mpUserData.load());
    }
    if (!stopSignal && mAutoRestart && mpTraceBuf.load() != nullptr) {
        CreateProcess(mpAppPath.get(), mpCmdLine.get(), nullptr);
    }
    // All signals are blocked here: it takes its restored action as soon as
    // the handler returns.
    raise(signal);
}

void CrashGuard::DumpStack(int signal, const char* signalName, const char* reason) {
    char* buf = mpTraceBuf.load();
    if (buf == nullptr) {
        return;
    }
    const char* path = TextOrEmpty(mpAppPath);
    const char* name = TextOrEmpty(mpAppName);
    ReportText report(buf, kTraceBufSize);
    if (signalName != nullptr) {
        report.Add("\n======= Backtrace dump of the process %s (%s), got signal %s(%d) =======\n",
                   path, name, signalName, signal);
    } else {
        report.Add(
            "\n======= Backtrace dump of the process %s (%s), caught C++ unhandled "
            "exception%s%s =======\n",
            path, name, reason != nullptr ? ", reason: " : "", reason != nullptr ? reason : "");
    }
    size_t headerLength = report.Length();

    void* frames[kMaxFrames];
    int frameCount = backtrace(frames, kMaxFrames);

    if (mSyslogOn) {
        openlog(name, LOG_PID, LOG_USER);
        syslog(LOG_ERR, "%s", buf);
    }

    // The footer is laid out first, so that its room can be kept free: frames
    // that do not fit are left out whole rather than cutting the footer off.
    size_t half = headerLength >= 18 ? (headerLength - 18) / 2 : 0;
    char footerName[kFrameTextSize];
    size_t footerLength;
    if (half > 1) {
        footerLength = 2 * half + std::strlen(" End of Backtace ") + 2;
    } else {
        footerLength = static_cast<size_t>(
            std::snprintf(footerName, sizeof(footerName),
                          "========= End of Backtace of the %s =========\n\n", name));
    }
    if (footerLength < report.Room()) {
        report.SetLimit(kTraceBufSize - footerLength);
    }

    char symbol[kFrameTextSize];
    for (int i = 0; i < frameCount; ++i) {
        Dl_info info{};
        if (dladdr(frames[i], &info) != 0 && info.dli_fname != nullptr) {
            const char* base = static_cast<const char*>(info.dli_saddr != nullptr ? info.dli_saddr
                                                                                  : info.dli_fbase);
            std::snprintf(symbol, sizeof(symbol), "%s(%s+0x%lx)", info.dli_fname,
                          info.dli_sname != nullptr ? info.dli_sname : "",
                          static_cast<unsigned long>(static_cast<const char*>(frames[i]) - base));
        } else {
            std::snprintf(symbol, sizeof(symbol), "??");
        }
        if (mSyslogOn) {
            syslog(LOG_ERR, " %p: %s", frames[i], symbol);
        }
        char line[kFrameTextSize + 32];
        int lineLength = std::snprintf(line, sizeof(line), " %p: %s\n", frames[i], symbol);
        if (lineLength > 0 && static_cast<size_t>(lineLength) <= report.Room()) {
            report.Add("%s", line);
        }
    }

    if (mSyslogOn) {
        syslog(LOG_ERR, "========= End of Backtace of the %s =========\n", name);
        closelog();
    }

    report.SetLimit(kTraceBufSize);
    if (half > 1) {
        report.AddRepeated('=', half);
        report.Add(" End of Backtace ");
        report.AddRepeated('=', half);
        report.Add("\n\n");
    } else {
        report.Add("%s", footerName);
    }
    AppendToReport(buf, report.Length());
}

bool CrashGuard::CreateProcess(const char* path, const char* cmdLine, int* pid) {
    if (path == nullptr || path[0] == '\0') {
        return false;
    }
    char line[kCmdLineSize];
    std::snprintf(line, sizeof(line), "%s", cmdLine != nullptr ? cmdLine : "");
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        return false;
    }

    char* argv[kMaxRestartArgs + 2] = {};
    int argc = 0;
    argv[argc++] = const_cast<char*>(path);
    char* rest = line[0] != '\0' ? line : nullptr;
    while (rest != nullptr && argc < kMaxRestartArgs + 1) {
        argv[argc++] = rest;
        if (argc == kMaxRestartArgs + 1) {
            break;  // the last argument keeps the remaining blanks
        }
        rest = std::strchr(rest, ' ');
        if (rest != nullptr) {
            *rest++ = '\0';
        }
    }
    argv[argc] = nullptr;

    pid_t child = fork();
    if (child < 0) {
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        return false;
    }
    if (child > 0) {
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        waitpid(child, nullptr, WNOHANG);
        if (pid != nullptr) {
            *pid = static_cast<int>(child) + 1;
        }
        return true;
    }

    // The intermediate child ends at once, so the new process is nobody's child.
    if (fork() != 0) {
        _exit(0);
    }
    setsid();
    dup2(pipeEnds[0], STDIN_FILENO);
    dup2(pipeEnds[1], STDOUT_FILENO);
    close(STDERR_FILENO);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    execv(path, argv);
    _exit(1);
}
