#include "base/CrashGuard.h"

#include <execinfo.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "base/LogStream.h"
#include "base/RootPath.h"
#include "base/Thread.h"
#include "base/WriteAll.h"

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

constexpr int kMaxFrames = 64;
constexpr int kMaxRestartArgs = 15;
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

// Builds report text in a fixed buffer with nothing but copies and integer
// arithmetic, so that the signal handler can use it: no locale, no stdio, no
// allocation. What does not fit before the terminating zero is cut.
class SafeText {
  public:
    SafeText(char* buf, size_t size) : mBuf(buf), mSize(size) { mBuf[0] = '\0'; }

    SafeText& Add(const char* text) {
        while (text != nullptr && *text != '\0' && mLength + 1 < mSize) {
            mBuf[mLength++] = *text++;
        }
        mBuf[mLength] = '\0';
        return *this;
    }
    SafeText& AddNumber(unsigned long value, int minDigits = 1) {
        char digits[24];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while ((value != 0 || count < minDigits) && count < static_cast<int>(sizeof(digits)));
        while (count > 0) {
            AddRepeated(digits[--count], 1);
        }
        return *this;
    }
    SafeText& AddHex(uintptr_t value) {
        char digits[2 * sizeof(value)];
        int count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value & 0xf];
            value >>= 4;
        } while (value != 0);
        Add("0x");
        while (count > 0) {
            AddRepeated(digits[--count], 1);
        }
        return *this;
    }
    SafeText& AddRepeated(char c, size_t count) {
        while (count-- > 0 && mLength + 1 < mSize) {
            mBuf[mLength++] = c;
        }
        mBuf[mLength] = '\0';
        return *this;
    }
    const char* Text() const { return mBuf; }
    size_t Length() const { return mLength; }

  private:
    char* mBuf;
    size_t mSize;
    size_t mLength = 0;
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
std::atomic<bool> CrashGuard::mbEndOnTerminalStop{false};
std::atomic<int> CrashGuard::mReportFd{-1};
long CrashGuard::mUtcOffset = 0;
std::atomic<CrashGuard::ExitRoutine> CrashGuard::mpUserRoutine{nullptr};
std::atomic<void*> CrashGuard::mpUserData{nullptr};
std::atomic<CrashGuard::PendingLogWriter> CrashGuard::mpPendingLog{nullptr};
std::atomic<void*> CrashGuard::mpPendingLogData{nullptr};
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

    // The report descriptor, in case the handler cannot open the file itself
    // (descriptors exhausted, directory gone).
    if (mpLogFile && mpLogFile[0] != '\0') {
        mReportFd.store(
            open(mpLogFile.get(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, LogStream::kFileMode));
    }
    // The local time's offset from UTC, since the handler cannot read the time
    // zone safely.
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    mUtcOffset = local.tm_gmtoff;
    // Whatever the handler needs that might allocate on first use is loaded
    // now: the unwinder (which backtrace_symbols_fd also uses).
    void* frame[1];
    int depth = backtrace(frame, 1);
    (void)depth;

    mpTraceBuf.store(mpTraceStorage.get());
}

CrashGuard::~CrashGuard() {
    if (!mbArmedHere) {
        return;
    }
    mpTraceBuf.store(nullptr);
    int fd = mReportFd.exchange(-1);
    if (fd >= 0) {
        close(fd);
    }
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

void CrashGuard::SetPendingLog(PendingLogWriter writer, void* data) {
    mpPendingLog.store(nullptr);
    mpPendingLogData.store(data);
    mpPendingLog.store(writer);
}

void CrashGuard::ClearPendingLog(void* data) {
    if (mpPendingLogData.load() == data) {
        mpPendingLog.store(nullptr);
    }
}

void CrashGuard::WritePendingLog(int fd) {
    PendingLogWriter writer = mpPendingLog.load();
    if (writer == nullptr || mpTraceBuf.load() == nullptr) {
        return;
    }
    bool opened = false;
    const int reportFd = fd >= 0 ? fd : OpenReport(opened);
    if (reportFd >= 0) {
        writer(reportFd, mpPendingLogData.load());
        if (fd < 0) {
            CloseReport(reportFd, opened);
        }
    }
}

bool CrashGuard::IsDebuggerOn() {
    return false;
}

void CrashGuard::Abort(const char* reason) {
    mIsDone.store(true);  // a signal from here on must not run the exit routine
    DumpStack(SIGABRT, nullptr, reason);
    _exit(1);
}

int CrashGuard::OpenReport(bool& opened) {
    opened = false;
    if (!mpLogFile || mpLogFile[0] == '\0') {
        return -1;
    }
    // Opened by path, so that a report follows the log to the file that is
    // current now (the log is rotated by renaming); the descriptor opened when
    // the guard was armed serves when that fails.
    int fd = open(mpLogFile.get(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, LogStream::kFileMode);
    if (fd >= 0) {
        opened = true;
        return fd;
    }
    return mReportFd.load();
}

void CrashGuard::CloseReport(int fd, bool opened) {
    if (opened) {
        close(fd);
    }
    // The log stream counts its file's size: it must read it again.
    LogStream::NoteOutsideAppend();
}

void CrashGuard::FuneralProc(int signal) {
    if (mIsDone.exchange(true)) {
        return;
    }
    int savedErrno = errno;
    int index = SignalIndex(signal);
    bool stopSignal = index >= 0 && index < kStopSignalCount;
    const char* signalName = index >= 0 ? kSignals[index].name : "Unknown";
    char* buf = mpTraceBuf.load();

    if (stopSignal) {
        if (buf != nullptr) {
            // Local time of day from the clock and the offset taken when armed.
            long seconds = static_cast<long>(time(nullptr)) + mUtcOffset;
            seconds = ((seconds % 86400) + 86400) % 86400;
            SafeText text(buf, kTraceBufSize);
            text.Add("\n======= Process ")
                .Add(TextOrEmpty(mpAppPath))
                .Add(" (")
                .Add(TextOrEmpty(mpAppName))
                .Add(") has been stopped by signal ")
                .Add(signalName)
                .Add("(")
                .AddNumber(static_cast<unsigned long>(signal))
                .Add(") at ")
                .AddNumber(static_cast<unsigned long>(seconds / 3600), 2)
                .Add(":")
                .AddNumber(static_cast<unsigned long>(seconds / 60 % 60), 2)
                .Add(":")
                .AddNumber(static_cast<unsigned long>(seconds % 60), 2)
                .Add(" =======\n");
            bool opened = false;
            int fd = OpenReport(opened);
            if (fd >= 0) {
                WritePendingLog(fd);
                WriteAll(fd, text.Text(), text.Length());
                CloseReport(fd, opened);
            }
            if (mSyslogOn) {
                // Not async-signal-safe: last, once the report file is written.
                openlog(TextOrEmpty(mpAppName), LOG_PID, LOG_USER);
                syslog(LOG_WARNING, "%s", buf);
                closelog();
            }
        }
    } else if (!IsDebuggerOn()) {
        DumpStack(signal, signalName, nullptr);
    }

    ExitRoutine routine = mpUserRoutine.load();
    if (routine != nullptr) {
        routine(!stopSignal, signal, mpUserData.load());
        WritePendingLog(-1);  // what the exit routine logged
    }
    if (!stopSignal && mAutoRestart && mpTraceBuf.load() != nullptr) {
        CreateProcess(mpAppPath.get(), mpCmdLine.get(), nullptr);
    }
    if (signal == SIGTSTP && mbEndOnTerminalStop.load()) {
        // The exit routine has stopped the service: stopped now and continued
        // later, the process would be alive and serve nobody. It ends instead,
        // with the status a shell gives a job that this signal ended, so that
        // a supervisor sees the end and can start it again.
        _exit(kTerminalStopStatus);
    }
    // The earlier action is restored only now: a second stop signal taken by
    // another thread while the report is written and the exit routine runs
    // finds this handler, which returns at once, instead of ending the
    // process half-way. All signals are blocked here: the raised one takes
    // its restored action as soon as the handler returns.
    if (index >= 0) {
        // Except "ignore": a daemon started as a shell's background job
        // inherits SIGINT ignored, and re-raising into that would leave it
        // running after its exit routine has already stopped everything.
        struct sigaction action = mSavedActions[index];
        if (action.sa_handler == SIG_IGN) {
            action.sa_handler = SIG_DFL;
        }
        sigaction(signal, &action, nullptr);
    }
    errno = savedErrno;
    raise(signal);
}

void CrashGuard::DumpStack(int signal, const char* signalName, const char* reason) {
    char* buf = mpTraceBuf.load();
    if (buf == nullptr) {
        return;
    }
    const char* path = TextOrEmpty(mpAppPath);
    const char* name = TextOrEmpty(mpAppName);
    // The buffer holds the header, then the footer behind it.
    const size_t headerRoom = kTraceBufSize / 2;
    SafeText header(buf, headerRoom);
    header.Add("\n======= Backtrace dump of the process ").Add(path).Add(" (").Add(name);
    if (signalName != nullptr) {
        header.Add("), got signal ")
            .Add(signalName)
            .Add("(")
            .AddNumber(static_cast<unsigned long>(signal))
            .Add(") =======\n");
    } else {
        header.Add("), caught C++ unhandled exception");
        if (reason != nullptr) {
            header.Add(", reason: ").Add(reason);
        }
        header.Add(" =======\n");
    }

    // The footer is as wide as the header: "=" on both sides of the words.
    SafeText footer(buf + headerRoom, kTraceBufSize - headerRoom);
    const size_t headerLength = header.Length();
    const size_t half = headerLength >= 18 ? (headerLength - 18) / 2 : 0;
    if (half > 1) {
        footer.AddRepeated('=', half).Add(" End of Backtace ").AddRepeated('=', half).Add("\n\n");
    } else {
        footer.Add("========= End of Backtace of the ").Add(name).Add(" =========\n\n");
    }

    void* frames[kMaxFrames];
    int frameCount = backtrace(frames, kMaxFrames);

    bool opened = false;
    int fd = OpenReport(opened);
    if (fd >= 0) {
        WritePendingLog(fd);
        WriteAll(fd, header.Text(), header.Length());
        backtrace_symbols_fd(frames, frameCount, fd);
        WriteAll(fd, footer.Text(), footer.Length());
        CloseReport(fd, opened);
    }

    if (mSyslogOn) {
        // Not async-signal-safe: last, once the report file is written. The
        // system log gets the frames' addresses; their symbols are in the file.
        openlog(name, LOG_PID, LOG_USER);
        syslog(LOG_ERR, "%s", header.Text());
        char line[32];
        for (int i = 0; i < frameCount; ++i) {
            SafeText address(line, sizeof(line));
            address.Add(" ").AddHex(reinterpret_cast<uintptr_t>(frames[i]));
            syslog(LOG_ERR, "%s", address.Text());
        }
        syslog(LOG_ERR, "========= End of Backtace of the %s =========\n", name);
        closelog();
    }
}

bool CrashGuard::CreateProcess(const char* path, const char* cmdLine, int* pid) {
    if (path == nullptr || path[0] == '\0') {
        return false;
    }
    char line[kCmdLineSize];
    SafeText(line, sizeof(line)).Add(cmdLine);
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
