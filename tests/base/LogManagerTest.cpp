#include "base/LogManager.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <map>
#include <regex>

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TempRoot.h"
#include "base/CrashGuard.h"

namespace {

struct FakeClock {
    time_t seconds = 1700000000;
    unsigned short milliseconds = 0;
    static LogManager::Moment Read(void* data) {
        auto* clock = static_cast<FakeClock*>(data);
        return LogManager::Moment{clock->seconds, clock->milliseconds};
    }
};

class TestLog : public LogManager {
  public:
    TestLog(const std::string& path, unsigned queueLength, unsigned lineSize, FakeClock* clock)
        : LogManager(path.c_str(), true, true, queueLength, lineSize) {
        if (clock != nullptr) {
            SetClock(FakeClock::Read, clock);
        }
    }
    using LogManager::PauseWriter;
};

// Passes a format that the compiler cannot check (the empty one) through va_list.
void TraceV(LogManager& log, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log.TRACE(format, args);
    va_end(args);
}

void PanicV(LogManager& log, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log.PANIC(level, format, args);
    va_end(args);
}

std::string Clock(time_t seconds, const char* format) {
    struct tm local;
    localtime_r(&seconds, &local);
    char text[64];
    strftime(text, sizeof(text), format, &local);
    return text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class LogManagerTest : public ::testing::Test {
  protected:
    std::string Contents() const { return ReadFile(mPath); }

    TempRoot mTemp{false};
    std::string mPath = mTemp / "test.log";
    FakeClock mClock;
};

TEST_F(LogManagerTest, LineWithinTheSameSecondShowsBlanksInPlaceOfTheClock) {
    {
        TestLog log(mPath, 0, 8192, &mClock);
        mClock.milliseconds = 7;
        log.TRACE("first %d\n", 1);
        mClock.milliseconds = 250;
        log.TRACE("second\n");
        mClock.seconds += 1;
        mClock.milliseconds = 3;
        log.TRACE("third\n");
    }
    std::string clock = Clock(mClock.seconds - 1, "%H:%M:%S.");
    std::string next = Clock(mClock.seconds, "%H:%M:%S.");
    EXPECT_EQ(Contents(),
              clock + "007  first 1\n" + "        .250  second\n" + next + "003  third\n");
}

TEST_F(LogManagerTest, DateBannerPrecedesEveryThirtySecondNewSecond) {
    // The clock passes 2^31 seconds (January 2038) on the way: a 32-bit time_t
    // would turn the banner's date to 1901.
    mClock.seconds = static_cast<time_t>(INT32_MAX) - 20;
    {
        TestLog log(mPath, 0, 8192, &mClock);
        for (int second = 1; second <= 64; ++second) {
            log.TRACE("line %d\n", second);
            log.TRACE("same second %d\n", second);  // does not count as a new second
            mClock.seconds += 1;
        }
    }
    std::vector<std::string> lines = Lines(Contents());
    ASSERT_EQ(lines.size(), 128u + 2u);
    std::vector<size_t> banners;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find("<---- Date ----<<<") != std::string::npos) {
            banners.push_back(i);
        }
    }
    // 31 new seconds with two lines each come before the first banner.
    ASSERT_EQ(banners, (std::vector<size_t>{62, 62 + 1 + 64}));
    EXPECT_EQ(lines[62] + "\n", Clock(mClock.seconds - 64 + 31, "%d  %b %Y  <---- Date ----<<<\n"));
    EXPECT_NE(lines[62].find("Jan 2038"), std::string::npos) << lines[62];
    EXPECT_NE(lines[63].find("line 32"), std::string::npos);
    EXPECT_NE(lines[128].find("line 64"), std::string::npos);
}

// Empty messages write nothing, whichever way they come; a panic tags its level.
TEST_F(LogManagerTest, EmptyMessageWritesNothingAndPanicTagsErrorsAndWarnings) {
    {
        TestLog log(mPath, 0, 8192, &mClock);
        TraceV(log, "");
        TraceV(log, "%s", "");
        PanicV(log, 1, "");
        log.PANIC(0, "disk %s\n", "gone");
        log.PANIC(2, "slow\n");
    }
    std::vector<std::string> lines = Lines(Contents());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(14), "<<ERROR>> disk gone");
    EXPECT_EQ(lines[1], "        .000  <WARNING> slow");
}

TEST_F(LogManagerTest, LongMessageIsCutSoThatTheLineFitsTheLineSize) {
    {
        TestLog log(mPath, 0, 8192, &mClock);
        std::string message(10000, 'x');
        log.TRACE("%s\n", message.c_str());
    }
    std::string text = Contents();
    // Stamp and message fill the line but for its terminating zero.
    ASSERT_EQ(text.size(), 8191u);
    EXPECT_EQ(text.substr(0, 9), Clock(mClock.seconds, "%H:%M:%S."));
    EXPECT_EQ(text.substr(9, 5), "000  ");
    EXPECT_EQ(text.find_first_not_of('x', 14), std::string::npos);
}

TEST_F(LogManagerTest, QueuedModeWritesEveryLineOfEachThreadInOrder) {
    constexpr int kThreads = 4;
    constexpr int kLines = 250;
    {
        TestLog log(mPath, kThreads * kLines, 128, nullptr);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&log, t] {
                for (int i = 0; i < kLines; ++i) {
                    log.TRACE("thread %d line %d\n", t, i);
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }  // the destructor lets the writer finish the queue
    int next[kThreads] = {};
    int total = 0;
    for (const std::string& line : Lines(Contents())) {
        int thread = -1;
        int index = -1;
        if (line.find("<---- Date") != std::string::npos) {
            continue;
        }
        ASSERT_EQ(sscanf(line.c_str() + 14, "thread %d line %d", &thread, &index), 2) << line;
        ASSERT_EQ(index, next[thread]++) << "thread " << thread;
        ++total;
    }
    EXPECT_EQ(total, kThreads * kLines);
}

TEST_F(LogManagerTest, FullQueueIsWrittenByThePosterAndNoLineIsDropped) {
    // Every line below takes 63 bytes, so the ring (4 lines of 64) holds four.
    const std::string body(63 - 14 - 3, 'm');
    {
        TestLog log(mPath, 4, 64, &mClock);
        log.PauseWriter(true);  // the writer thread does not write
        for (int i = 0; i < 10; ++i) {
            log.TRACE("%02d%s\n", i, body.c_str());
        }
        // This thread wrote what waited each time the ring was full.
        EXPECT_GE(Lines(Contents()).size(), 6u);
        log.PauseWriter(false);
    }
    std::vector<std::string> lines = Lines(Contents());
    ASSERT_EQ(lines.size(), 10u) << Contents();
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].substr(14), "0" + std::to_string(i) + body);
    }
}

// Logs "main N" (and "other N" on a second thread) as fast as it can; for a
// crash signal, stops the writer at line 1000 and crashes at line 1100, so
// the last lines are only in the queue; for SIGTERM, reports its progress.
[[noreturn]] void LogUntilSignal(const std::string& path, int signal, int progressFd) {
    for (int guarded : {SIGTERM, SIGSEGV, SIGABRT}) {
        ::signal(guarded, SIG_DFL);  // the sanitizers' own handlers
    }
    CrashGuard guard(path.c_str(), "Corvane", "/usr/sbin/valtd", false, false);
    TestLog log(path, 64, 128, nullptr);
    if (signal == SIGTERM) {
        std::thread([&log] {
            for (int i = 0;; ++i) {
                log.TRACE("other %d\n", i);
            }
        }).detach();
    }
    for (int i = 0;; ++i) {
        log.TRACE("main %d\n", i);
        if (signal == SIGTERM && i % 100 == 0) {
            (void)!write(progressFd, &i, sizeof(i));
        } else if (signal != SIGTERM && i == 1000) {
            log.PauseWriter(true);
        } else if (i == 1100) {
            raise(signal);
        }
    }
}

// The crash guard's report comes after every line logged before the signal,
// whole and in order, also those the writer thread had not written.
TEST_F(LogManagerTest, ReportOfACrashOrStopFollowsEveryQueuedLine) {
    const std::regex stamp("(\\d\\d:\\d\\d:\\d\\d|        )\\.\\d{3}  (main|other) (\\d+)");
    for (int signal : {SIGSEGV, SIGABRT, SIGTERM}) {
        SCOPED_TRACE(signal);
        if (signal != SIGTERM && VALTD_TEST_EMULATOR[0] != '\0') {
            continue;  // the crash dump's backtrace() aborts under user-mode emulation
        }
        std::remove(mPath.c_str());
        int progress[2];
        ASSERT_EQ(pipe(progress), 0);
        pid_t pid = fork();
        if (pid == 0) {
            LogUntilSignal(mPath, signal, progress[1]);
        }
        close(progress[1]);
        int logged = 1100;
        if (signal == SIGTERM) {
            while (read(progress[0], &logged, sizeof(logged)) == sizeof(logged) && logged < 3000) {
            }
            kill(pid, SIGTERM);
        }
        close(progress[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;

        std::map<std::string, int> next;
        bool reported = false;
        for (const std::string& line : Lines(Contents())) {
            std::smatch match;
            if (line.find("======= ") != std::string::npos) {
                reported = true;
                ASSERT_GT(next["main"], logged) << line;
            } else if (std::regex_match(line, match, stamp)) {
                ASSERT_EQ(std::stoi(match[3]), next[match[2]]++) << line;
            } else if (!line.empty() && line.find("<---- Date") == std::string::npos && !reported) {
                FAIL() << line;  // the dump's frames come after its header
            }
        }
        EXPECT_TRUE(reported);
    }
}

}  // namespace
