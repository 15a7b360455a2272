#include "base/Thread.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

unsigned long Double(void* arg) {
    return 2 * *static_cast<unsigned long*>(arg);
}

TEST(Thread, JoinableThreadHandsBackItsExitCode) {
    unsigned long input = 21;
    Thread::Handle handle{};
    ASSERT_TRUE(Thread::BeginThread(Double, &input, &handle));
    unsigned long code = 0;
    ASSERT_TRUE(Thread::Join(handle, &code));
    EXPECT_EQ(code, 42u);
}

TEST(Thread, CommandLineNamesTheProgramAndIsCutToTheBuffer) {
    char line[1024];
    int length = Thread::GetCommandLine(line, sizeof(line));
    ASSERT_GT(length, 0);
    EXPECT_EQ(static_cast<size_t>(length), std::strlen(line));
    EXPECT_NE(std::string(line).find("base_tests"), std::string::npos) << line;

    char small[5];
    EXPECT_EQ(Thread::GetCommandLine(small, sizeof(small)), 4);
    EXPECT_EQ(std::string(small), std::string(line, 4));
}

}  // namespace
