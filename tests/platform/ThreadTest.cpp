#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

namespace {

unsigned long Double(void* arg) {
    return 2 * *static_cast<unsigned long*>(arg);
}

unsigned long SetFlag(void* arg) {
    static_cast<std::atomic<bool>*>(arg)->store(true);
    return 0;
}

TEST(Thread, JoinableThreadHandsBackItsExitCode) {
    unsigned long input = 21;
    Thread::Handle handle{};
    ASSERT_TRUE(Thread::BeginThread(Double, &input, &handle));
    unsigned long code = 0;
    ASSERT_TRUE(Thread::Join(handle, &code));
    EXPECT_EQ(code, 42u);
}

TEST(Thread, DetachedThreadRuns) {
    static std::atomic<bool> ran{false};
    ASSERT_TRUE(Thread::BeginThread(SetFlag, &ran));
    for (int i = 0; i < 1000 && !ran.load(); ++i) {
        Thread::Sleep(1);
    }
    EXPECT_TRUE(ran.load());
}

TEST(Thread, CommandLineNamesTheProgramAndIsCutToTheBuffer) {
    char line[1024];
    int length = Thread::GetCommandLine(line, sizeof(line));
    ASSERT_GT(length, 0);
    EXPECT_EQ(static_cast<size_t>(length), std::strlen(line));
    EXPECT_NE(std::string(line).find("platform_tests"), std::string::npos) << line;

    char small[5];
    EXPECT_EQ(Thread::GetCommandLine(small, sizeof(small)), 4);
    EXPECT_EQ(std::string(small), std::string(line, 4));
}

}  // namespace
