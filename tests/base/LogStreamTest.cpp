#include "base/LogStream.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "TempRoot.h"

namespace {

namespace fs = std::filesystem;

void TraceFormat(LogStream& stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    stream.TRACE(3, format, args, 0);
    va_end(args);
}

class LogStreamTest : public ::testing::Test {
  protected:
    TempRoot mTemp{false};
    std::string mDir = mTemp.Path();
    std::string mPath = mDir + "/app.log";
};

// What the stream creates is private to the daemon's user and group; what
// exists keeps its mode.
TEST_F(LogStreamTest, CreatesAPrivateDirectoryAndFile) {
    const std::string dir = mDir + "/logs/sub";
    ::umask(022);
    { LogStream stream((dir + "/app.log").c_str(), true, true, 100, 1, 8192, false); }
    EXPECT_EQ(fs::status(dir).permissions(), fs::perms(0750));
    EXPECT_EQ(fs::status(dir + "/app.log").permissions(), fs::perms(0640));
    fs::permissions(mDir, fs::perms(0755));
    { LogStream stream(mPath.c_str(), true, true, 100, 1, 8192, false); }
    EXPECT_EQ(fs::status(mDir).permissions(), fs::perms(0755));
}

TEST_F(LogStreamTest, RotatesBeforeTheLimitKeepingOneOlderCopy) {
    const std::string line(29, 'a');
    LogStream stream(mPath.c_str(), true, true, 100, 1, 8192, false);
    for (int i = 0; i < 3; ++i) {
        stream.TRACE((line + std::to_string(i) + "\n").c_str(), 3, 0);  // 31 bytes each
    }
    EXPECT_FALSE(fs::exists(mPath + ".1"));
    stream.TRACE((line + "3\n").c_str(), 3, 0);  // 124 > 100: rotate first
    EXPECT_EQ(ReadFile(mPath + ".1").size(), 93u);
    EXPECT_EQ(ReadFile(mPath), line + "3\n");

    for (int i = 4; i < 7; ++i) {
        stream.TRACE((line + std::to_string(i) + "\n").c_str(), 3, 0);
    }
    // The older copy is replaced, never multiplied.
    EXPECT_EQ(ReadFile(mPath + ".1"), line + "3\n" + line + "4\n" + line + "5\n");
    EXPECT_EQ(ReadFile(mPath), line + "6\n");
    EXPECT_FALSE(fs::exists(mPath + ".2"));

    // Lines written together (the two parts of a ring, a line across them)
    // rotate where they would have one by one.
    const std::string seven = line + "7\n", eight = line + "8\n", all = seven + eight + seven;
    stream.WriteLines(all.data(), 41, all.data() + 41, all.size() - 41);
    EXPECT_EQ(ReadFile(mPath + ".1"), line + "6\n" + seven + eight);
    EXPECT_EQ(ReadFile(mPath), seven);
    EXPECT_FALSE(fs::exists(mPath + ".drop"));
}

// With deferred drops the copy a rotation drops waits aside until the
// background call removes it; the copies kept are the same.
TEST_F(LogStreamTest, DeferredDropSetsTheOldCopyAsideUntilRemoved) {
    const std::string line(49, 'b');
    LogStream stream(mPath.c_str(), true, true, 100, 1, 8192, false);
    stream.DeferDrops();
    for (int i = 0; i < 5; ++i) {
        stream.TRACE((line + std::to_string(i) + "\n").c_str(), 3, 0);  // 51 bytes: one a file
    }
    EXPECT_EQ(ReadFile(mPath + ".drop"), line + "2\n");
    EXPECT_EQ(ReadFile(mPath + ".1"), line + "3\n");
    EXPECT_EQ(ReadFile(mPath), line + "4\n");
    stream.DropSetAside();
    EXPECT_FALSE(fs::exists(mPath + ".drop"));
    // A large copy goes a step a call, or as fast as the writer says it writes.
    LogStream big(mPath.c_str(), false, true, 640 * 1024, 1, 8192, false);
    big.DeferDrops();
    const std::string piece(8191, 'c');
    for (int i = 0; i < 200; ++i) {
        big.TRACE((piece + "\n").c_str(), 3, 0);
    }
    const auto dropSize = [this] { return fs::file_size(mPath + ".drop"); };
    const auto full = dropSize();
    ASSERT_GT(full, 600u * 1024);
    big.DropSetAside();
    EXPECT_EQ(full - dropSize(), full - (full - 1) / LogStream::kDropStep * LogStream::kDropStep);
    const auto before = dropSize();
    big.DropSetAside(150 * 1024);
    EXPECT_GE(before - dropSize(), 150u * 1024);
    EXPECT_TRUE(fs::exists(mPath + ".drop"));
    big.DropSetAside(1 << 20);
    EXPECT_FALSE(fs::exists(mPath + ".drop"));
    // One left by an earlier process goes when the log is opened.
    { std::ofstream(mPath + ".drop") << "old"; }
    LogStream again(mPath.c_str(), true, true, 100, 1, 8192, false);
    EXPECT_FALSE(fs::exists(mPath + ".drop"));
}

TEST_F(LogStreamTest, OtherWritersCountTowardsTheLimitAndFollowTheNewFile) {
    LogStream stream(mPath.c_str(), true, true, 100, 1, 8192, false);
    stream.TRACE("first\n", 3, 0);
    {
        std::ofstream other(mPath, std::ios::app);  // as the crash guard appends
        other << std::string(89, 'r') << "\n";
    }
    LogStream::NoteOutsideAppend();
    stream.TRACE("second\n", 3, 0);
    EXPECT_EQ(ReadFile(mPath + ".1"), "first\n" + std::string(89, 'r') + "\n");
    EXPECT_EQ(ReadFile(mPath), "second\n");
    {
        std::ofstream other(mPath, std::ios::app);
        other << "report\n";
    }
    LogStream::NoteOutsideAppend();
    stream.TRACE("third\n", 3, 0);
    EXPECT_EQ(ReadFile(mPath), "second\nreport\nthird\n");
}

// A relative name lives in tmp/logs under the root: every end-to-end test
// reads the daemon's log there.
TEST_F(LogStreamTest, FormattedLineIsCutToTheLineSize) {
    LogStream stream(mPath.c_str(), true, true, 2147483647, 1, 16, false);
    TraceFormat(stream, "%s-%d\n", "abcdefghijklmnop", 7);
    TraceFormat(stream, "");
    EXPECT_EQ(ReadFile(mPath), "abcdefghijklmno");
}

}  // namespace
