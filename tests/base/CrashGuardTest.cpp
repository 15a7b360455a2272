#include "base/CrashGuard.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>

#include "TempRoot.h"

namespace {

namespace fs = std::filesystem;

constexpr int kGuardedSignals[] = {SIGHUP,  SIGINT, SIGQUIT, SIGTERM, SIGTSTP,  SIGILL,
                                   SIGABRT, SIGBUS, SIGFPE,  SIGSEGV, SIGSTKFLT};

// Exit routine of the tests: appends one line to the marker file given as user
// data, then tries to start the handler a second time in both possible ways.
int MarkExit(bool crashed, int signal, void* data) {
    char line[64];
    int length = snprintf(line, sizeof(line), "crashed=%d signal=%d\n", crashed ? 1 : 0, signal);
    int fd = open(static_cast<const char*>(data), O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd >= 0) {
        ssize_t ignored = write(fd, line, static_cast<size_t>(length));
        (void)ignored;
        close(fd);
    }
    CrashGuard::FuneralProc(SIGQUIT);
    kill(getpid(), SIGHUP);  // blocked now; delivered after the handler, then ignored
    return 0;
}

class CrashGuardTest : public ::testing::Test {
  protected:
    void SetUp() override { std::filesystem::create_directories(mRoot + "/var/run"); }

    // Runs `body` in a child whose guarded signals start with their default
    // actions (the sanitizers install handlers of their own); returns its exit
    // code, or 128 + the signal that ended it; -1 (and the child killed) when
    // it stopped instead of ending.
    template <typename Body>
    int InChild(Body body) {
        pid_t pid = fork();
        if (pid == 0) {
            setenv("VALTD_ROOT", mRoot.c_str(), 1);
            for (int signal : kGuardedSignals) {
                ::signal(signal, SIG_DFL);
            }
            body();
            _exit(99);
        }
        int status = 0;
        waitpid(pid, &status, WUNTRACED);
        if (WIFSTOPPED(status)) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    TempRoot mTemp{false};
    std::string mRoot = mTemp.Path();
    std::string mReport = mRoot + "/valtd.log";
    std::string mMarker = mRoot + "/exit-routine";
};

TEST_F(CrashGuardTest, AbortWritesAnExceptionDumpAndExitsWithOneWithoutTheExitRoutine) {
    int status = InChild([this] {
        CrashGuard guard(mReport.c_str(), "Corvane", "/usr/sbin/valtd", false, false);
        CrashGuard::AddExitRoutine(MarkExit, const_cast<char*>(mMarker.c_str()));
        CrashGuard::Abort("bad config");
    });
    EXPECT_EQ(status, 1);
    EXPECT_FALSE(fs::exists(mMarker));
    const std::string dump =
        "\n======= Backtrace dump of the process /usr/sbin/valtd (Corvane), caught C++ unhandled "
        "exception";
    EXPECT_EQ(ReadFile(mReport).find(dump + ", reason: bad config =======\n"), 0u);

    std::remove(mReport.c_str());
    status = InChild([this] {
        CrashGuard guard(mReport.c_str(), "Corvane", "/usr/sbin/valtd", false, false);
        CrashGuard::Abort(nullptr);
    });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(ReadFile(mReport).find(dump + " =======\n"), 0u);
}

void ExitWith42(int) {
    _exit(42);
}

TEST_F(CrashGuardTest, SignalIsRaisedAgainWithTheActionItHadBeforeTheGuard) {
    int status = InChild([this] {
        ::signal(SIGINT, ExitWith42);
        CrashGuard guard(mReport.c_str(), "Corvane", "/usr/sbin/valtd", false, false);
        raise(SIGINT);
    });
    EXPECT_EQ(status, 42);
    EXPECT_NE(ReadFile(mReport).find("stopped by signal SIGINT(2)"), std::string::npos);
}

// Stopped, the process would serve nobody once continued: it ends instead.
TEST_F(CrashGuardTest, TerminalStopEndsTheProcessAfterTheExitRoutine) {
    int status = InChild([this] {
        CrashGuard guard(mReport.c_str(), "Corvane", "/usr/sbin/valtd", false, false);
        CrashGuard::AddExitRoutine(MarkExit, const_cast<char*>(mMarker.c_str()));
        CrashGuard::SetEndOnTerminalStop(true);
        raise(SIGTSTP);
    });
    EXPECT_EQ(status, CrashGuard::kTerminalStopStatus);
    EXPECT_EQ(ReadFile(mMarker), "crashed=0 signal=20\n");
    EXPECT_NE(ReadFile(mReport).find("stopped by signal SIGTSTP(20)"), std::string::npos);
}

TEST_F(CrashGuardTest, AfterDestructionOnlyTheExitRoutineRuns) {
    int status = InChild([this] {
        { CrashGuard guard(mReport.c_str(), "Corvane", "/usr/sbin/valtd", false, false); }
        CrashGuard::AddExitRoutine(MarkExit, const_cast<char*>(mMarker.c_str()));
        raise(SIGSEGV);
    });
    EXPECT_EQ(status, 128 + SIGSEGV);
    EXPECT_EQ(ReadFile(mReport), "");  // created when armed, never written
    EXPECT_EQ(ReadFile(mMarker), "crashed=1 signal=11\n");
}

// The report goes to the file that is at the path when the signal comes (the
// log rotates by renaming), and still reaches the file when the process has no
// descriptor left to open it with.
TEST_F(CrashGuardTest, ReportFollowsTheRotatedLogAndSurvivesExhaustedDescriptors) {
    const std::string rotated = mReport + ".1";
    int status = InChild([&] {
        CrashGuard guard(mReport.c_str(), "Corvane", "/usr/sbin/valtd", false, false);
        std::rename(mReport.c_str(), rotated.c_str());
        raise(SIGTERM);
    });
    EXPECT_EQ(status, 128 + SIGTERM);
    EXPECT_NE(ReadFile(mReport).find("stopped by signal SIGTERM(15)"), std::string::npos);
    EXPECT_EQ(ReadFile(rotated), "");

    if (VALTD_TEST_EMULATOR[0] != '\0') {
        // The dump's backtrace() aborts under user-mode emulation (above).
        GTEST_SKIP() << "backtrace from a signal handler under " VALTD_TEST_EMULATOR;
    }
    std::remove(mReport.c_str());
    status = InChild([&] {
        CrashGuard guard(mReport.c_str(), "Corvane", "/usr/sbin/valtd", false, false);
        while (open("/dev/null", O_RDONLY) >= 0) {
        }
        raise(SIGSEGV);
    });
    EXPECT_EQ(status, 128 + SIGSEGV);
    const std::string report = ReadFile(mReport);
    EXPECT_NE(report.find("got signal SIGSEGV(11) ======="), std::string::npos) << report;
    EXPECT_NE(report.find(" End of Backtace "), std::string::npos) << report;
}

TEST_F(CrashGuardTest, SecondGuardChangesNothingNorDisarmsTheFirst) {
    std::string otherReport = mRoot + "/other.log";
    int status = InChild([this, &otherReport] {
        CrashGuard guard(mReport.c_str(), "Corvane", "/usr/sbin/valtd", false, false);
        { CrashGuard second(otherReport.c_str(), "Other", "/bin/other", false, true); }
        raise(SIGTERM);
    });
    EXPECT_EQ(status, 128 + SIGTERM);
    EXPECT_NE(ReadFile(mReport).find("(Corvane)"), std::string::npos);
    EXPECT_FALSE(fs::exists(otherReport));
    EXPECT_FALSE(fs::exists(mRoot + "/var/run/other.pid"));
}

TEST_F(CrashGuardTest, AutomaticRestartWritesThePidFile) {
    int status = InChild([this] {
        CrashGuard guard(mReport.c_str(), nullptr, "/opt/bin/valtd", false, true);
        _exit(0);
    });
    EXPECT_EQ(status, 0);
    std::string pidText = ReadFile(mRoot + "/var/run/valtd.pid");
    EXPECT_TRUE(std::regex_match(pidText, std::regex("[1-9][0-9]*\n"))) << pidText;
}

TEST_F(CrashGuardTest, CreateProcessStartsTheProgramDetachedWithItsArguments) {
    std::string first = mRoot + "/first";
    std::string second = mRoot + "/second";
    int pid = 0;
    ASSERT_TRUE(CrashGuard::CreateProcess("/usr/bin/touch", (first + " " + second).c_str(), &pid));
    EXPECT_GT(pid, 1);
    for (int wait = 0; wait < 500 && !(fs::exists(first) && fs::exists(second)); ++wait) {
        usleep(10000);
    }
    EXPECT_TRUE(fs::exists(first));
    EXPECT_TRUE(fs::exists(second));
}

}  // namespace
