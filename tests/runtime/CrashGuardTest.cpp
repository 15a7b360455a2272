#include "runtime/CrashGuard.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace {

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

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

class CrashGuardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/crashguard-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        mRoot = pattern;
        ASSERT_EQ(std::system(("mkdir -p '" + mRoot + "/var/run'").c_str()), 0);
        mReport = mRoot + "/valtd.log";
        mMarker = mRoot + "/exit-routine";
    }
    void TearDown() override { std::system(("rm -rf '" + mRoot + "'").c_str()); }

    // Runs `body` in a child whose guarded signals start with their default
    // actions (the sanitizers install handlers of their own); returns its status.
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
        waitpid(pid, &status, 0);
        return status;
    }

    std::string mRoot;
    std::string mReport;
    std::string mMarker;
};

TEST_F(CrashGuardTest, TerminateWritesOneStopReportAndRunsTheExitRoutineOnce) {
    int status = InChild([this] {
        CrashGuard guard(mReport.c_str(), "Corvane", "/usr/sbin/valtd", false, false);
        CrashGuard::AddExitRoutine(MarkExit, const_cast<char*>(mMarker.c_str()));
        raise(SIGTERM);
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_TRUE(std::regex_match(
        ReadFile(mReport),
        std::regex("\n======= Process /usr/sbin/valtd \\(Corvane\\) has been stopped by signal "
                   "SIGTERM\\(15\\) at \\d\\d:\\d\\d:\\d\\d =======\n")))
        << ReadFile(mReport);
    EXPECT_EQ(ReadFile(mMarker), "crashed=0 signal=15\n");
    EXPECT_FALSE(Exists(mRoot + "/var/run/valtd.pid"));  // no pid file without restart
}

TEST_F(CrashGuardTest, SegmentationFaultWritesBacktraceWithFooterAsWideAsTheHeader) {
    if (VALTD_TEST_EMULATOR[0] != '\0') {
        // User-mode emulation lays out signal frames its own way; the unwinder
        // behind backtrace() aborts on them. Only real hardware can test this.
        GTEST_SKIP() << "backtrace from a signal handler under " VALTD_TEST_EMULATOR;
    }
    int status = InChild([this] {
        CrashGuard guard(mReport.c_str(), "Corvane", "/usr/sbin/valtd", false, false);
        CrashGuard::AddExitRoutine(MarkExit, const_cast<char*>(mMarker.c_str()));
        raise(SIGSEGV);
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);
    EXPECT_EQ(ReadFile(mMarker), "crashed=1 signal=11\n");

    std::string report = ReadFile(mReport);
    const std::string header =
        "\n======= Backtrace dump of the process /usr/sbin/valtd (Corvane), got signal "
        "SIGSEGV(11) =======\n";
    ASSERT_EQ(report.compare(0, header.size(), header), 0) << report;
    // At least one frame, "module(symbol+offset)[address]", between header and footer.
    EXPECT_NE(report.find(")[0x", header.size()), std::string::npos) << report;

    ASSERT_GE(report.size(), 3u);
    ASSERT_EQ(report.substr(report.size() - 2), "\n\n");
    size_t footerStart = report.rfind('\n', report.size() - 3) + 1;
    std::string footer = report.substr(footerStart, report.size() - 2 - footerStart);
    EXPECT_NE(footer.find("= End of Backtace ="), std::string::npos) << footer;
    size_t headerWidth = header.size() - 2;
    EXPECT_LE(footer.size(), headerWidth + 1);
    EXPECT_GE(footer.size() + 1, headerWidth);
}

TEST_F(CrashGuardTest, AbortWritesAnExceptionDumpAndExitsWithOneWithoutTheExitRoutine) {
    int status = InChild([this] {
        CrashGuard guard(mReport.c_str(), "Corvane", "/usr/sbin/valtd", false, false);
        CrashGuard::AddExitRoutine(MarkExit, const_cast<char*>(mMarker.c_str()));
        CrashGuard::Abort("bad config");
    });
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_FALSE(Exists(mMarker));
    EXPECT_EQ(ReadFile(mReport).find("\n======= Backtrace dump of the process /usr/sbin/valtd "
                                     "(Corvane), caught C++ unhandled exception, reason: bad "
                                     "config =======\n"),
              0u);

    std::remove(mReport.c_str());
    status = InChild([this] {
        CrashGuard guard(mReport.c_str(), "Corvane", "/usr/sbin/valtd", false, false);
        CrashGuard::Abort(nullptr);
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(ReadFile(mReport).find("\n======= Backtrace dump of the process /usr/sbin/valtd "
                                     "(Corvane), caught C++ unhandled exception =======\n"),
              0u);
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
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 42);
    EXPECT_NE(ReadFile(mReport).find("stopped by signal SIGINT(2)"), std::string::npos);
}

TEST_F(CrashGuardTest, AfterDestructionOnlyTheExitRoutineRuns) {
    int status = InChild([this] {
        { CrashGuard guard(mReport.c_str(), "Corvane", "/usr/sbin/valtd", false, false); }
        CrashGuard::AddExitRoutine(MarkExit, const_cast<char*>(mMarker.c_str()));
        raise(SIGSEGV);
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);
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
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
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
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);
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
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_NE(ReadFile(mReport).find("(Corvane)"), std::string::npos);
    EXPECT_FALSE(Exists(otherReport));
    EXPECT_FALSE(Exists(mRoot + "/var/run/other.pid"));
}

TEST_F(CrashGuardTest, AutomaticRestartWritesThePidFile) {
    int status = InChild([this] {
        CrashGuard guard(mReport.c_str(), nullptr, "/opt/bin/valtd", false, true);
        _exit(0);
    });
    ASSERT_TRUE(WIFEXITED(status));
    std::string pidText = ReadFile(mRoot + "/var/run/valtd.pid");
    EXPECT_TRUE(std::regex_match(pidText, std::regex("[1-9][0-9]*\n"))) << pidText;
}

TEST_F(CrashGuardTest, CreateProcessStartsTheProgramDetachedWithItsArguments) {
    std::string first = mRoot + "/first";
    std::string second = mRoot + "/second";
    int pid = 0;
    ASSERT_TRUE(CrashGuard::CreateProcess("/usr/bin/touch", (first + " " + second).c_str(), &pid));
    EXPECT_GT(pid, 1);
    for (int wait = 0; wait < 500 && !(Exists(first) && Exists(second)); ++wait) {
        usleep(10000);
    }
    EXPECT_TRUE(Exists(first));
    EXPECT_TRUE(Exists(second));
}

}  // namespace
