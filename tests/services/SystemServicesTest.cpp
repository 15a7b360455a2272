// The system-service handlers against real databases written by valtconf, a
// sandbox root, and a scripted upload channel.
#include "services/SystemServices.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "ConfigSandbox.h"

namespace {

namespace fs = std::filesystem;

using SystemServices::UploadJob;
using Job = std::unique_ptr<UploadJob>;

// Counts the "OK"s.
class FakeChannel : public IUploadChannel {
  public:
    bool SendOk() override { return ++oks > 0; }
    int oks = 0;
};

// Feeds `body` to `job` in pieces of `piece` bytes, as a client's writes
// arrive; returns what the job left of them.
std::string FeedAll(UploadJob& job, const std::string& body, size_t piece, FakeChannel& channel) {
    std::string left;
    for (size_t at = 0; at < body.size(); at += piece) {
        left += body.substr(at, piece);
        job.Feed(left, 0, channel);
    }
    return left;
}

std::string Body(size_t size) {
    std::string body(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        body[i] = static_cast<char>(i * 7 + i / 1024);
    }
    return body;
}

class SystemServicesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("VALTD_ROOT", sb.Root().c_str(), 1);
        user = sb.Root() + "/prompts/201";
        aa = sb.Root() + "/prompts/aa/";
        system = sb.Root() + "/prompts/sys";
        for (const std::string& dir : {user, aa + "custom", system}) {
            fs::create_directories(dir);
        }
        ASSERT_EQ(sb.Ok({"add-extension", "201", "--kind", "user", "--no-password", "--prompt-dir",
                         user, "--prompt-share", "50"}),
                  "");
        ASSERT_EQ(sb.Ok({"add-extension", "500", "--kind", "aa", "--prompt-dir", aa,
                         "--prompt-share", "50"}),
                  "");
        ASSERT_EQ(sb.Ok({"add-extension", "0", "--kind", "system", "--prompt-dir", system}), "");
        ASSERT_EQ(sb.Ok({"set", "vm-total-space-kb", "10000"}), "");  // 50%: 5000 KB
    }
    void TearDown() override { unsetenv("VALTD_ROOT"); }

    ConfigSandbox sb;
    std::string user, aa, system;
};

TEST_F(SystemServicesTest, ListsRegularFilesOfTheDirectoryChosenByType) {
    for (const char* name : {"intro.wav", "intro.wav.bak", "X.WAV"}) {
        WriteFile(user + "/" + name, "x");
    }
    fs::create_directory(user + "/dir.wav");
    WriteFile(aa + "custom/c.wav", "x");
    WriteFile(aa + "a.wav", "x");
    using Names = std::list<std::string>;
    Names names;
    EXPECT_TRUE(SystemServices::GetWAVList(0, "201", &names));
    EXPECT_EQ(names, (Names{"X.WAV", "intro.wav", "intro.wav.bak"}));
    names.clear();
    EXPECT_TRUE(SystemServices::GetWAVList(1, "500", &names));
    EXPECT_EQ(names, (Names{"a.wav"}));
    names.clear();
    EXPECT_TRUE(SystemServices::GetWAVList(2, "500", &names));
    EXPECT_EQ(names, (Names{"c.wav"}));
    // No extension: the system extension, whatever the type.
    WriteFile(system + "/s.wav", "x");
    names.clear();
    EXPECT_TRUE(SystemServices::GetWAVList(7, "", &names));
    EXPECT_EQ(names, (Names{"s.wav"}));

    EXPECT_FALSE(SystemServices::GetWAVList(0, "500", &names));  // 500 is no user
    EXPECT_FALSE(SystemServices::GetWAVList(1, "201", &names));  // nor 201 an AA
    EXPECT_FALSE(SystemServices::GetWAVList(3, "201", &names));
}

TEST_F(SystemServicesTest, InterruptedOrRefusedUploadsLeaveNoFile) {
    FakeChannel channel;
    std::string message;
    Job job;
    ASSERT_TRUE(SystemServices::FileTransfer(0, "201", "cut.wav", 3000, true, message, job));
    EXPECT_EQ(FeedAll(*job, Body(1500), 1500, channel), "");
    EXPECT_EQ(channel.oks, 1);
    job->Interrupt();
    EXPECT_FALSE(job->Receiving());
    EXPECT_EQ(job->Message(), "File transfer interrupted.");
    EXPECT_FALSE(fs::exists(user + "/cut.wav"));
    // Space for "custom" counts the whole prompt folder: 2 of 5000 KB used.
    WriteFile(aa + "used.wav", std::string(2048, 'u'));
    job.reset();
    SystemServices::FileTransfer(2, "500", "n.wav", 4999 * 1024, false, message, job);
    EXPECT_EQ(message, "There is not sufficient available space for file upload.");

    ASSERT_EQ(sb.Ok({"set", "upload-max-bytes", "4096"}), "");
    EXPECT_FALSE(SystemServices::FileTransfer(0, "201", "big.wav", 4097, true, message, job));
    EXPECT_EQ(message, "File size out of range.");
    EXPECT_FALSE(SystemServices::FileTransfer(0, "201", "neg.wav", -1, false, message, job));
    EXPECT_FALSE(SystemServices::FileTransfer(0, "201", "../x.wav", 10, true, message, job));
    EXPECT_EQ(message, "Invalid file name.");
    EXPECT_FALSE(SystemServices::FileTransfer(4, "201", "x.wav", 10, true, message, job));
    EXPECT_EQ(message, "Unknown prompt type.");
    EXPECT_FALSE(SystemServices::FileTransfer(0, "999", "x.wav", 10, true, message, job));
    EXPECT_EQ(message, "Failed to load extension.");
    EXPECT_FALSE(SystemServices::ConfigurationUpdate("c.cfg", 4097, false, message, job, nullptr));
    EXPECT_FALSE(SystemServices::ConfigurationUpdate("../c.cfg", 1, false, message, job, nullptr));
    EXPECT_EQ(job, nullptr);
    EXPECT_TRUE(fs::is_empty(user));
}

TEST_F(SystemServicesTest, BodyArrivingInAnyPiecesIsStoredWholeWithOneOkPerChunk) {
    for (const size_t piece : {1ul, 7ul, 1024ul, 5000ul}) {
        SCOPED_TRACE(piece);
        FakeChannel channel;
        std::string message;
        Job job;
        const std::string name = "p" + std::to_string(piece) + ".wav";
        ASSERT_TRUE(SystemServices::FileTransfer(0, "201", name, 2049, true, message, job));
        // The bytes after the body are the client's next request.
        EXPECT_EQ(FeedAll(*job, Body(2049) + "next", piece, channel), "next");
        EXPECT_EQ(channel.oks, 3);
        ASSERT_TRUE(job->Done());
        EXPECT_TRUE(job->Result());
        EXPECT_EQ(job->Message(), "File transfered successfully!");
        EXPECT_EQ(ReadFile(user + "/" + name), Body(2049));
    }
    // An empty body ends at its first feed.
    FakeChannel channel;
    std::string message, none;
    Job job;
    ASSERT_TRUE(SystemServices::FileTransfer(0, "201", "empty.wav", 0, true, message, job));
    job->Feed(none, 0, channel);
    EXPECT_TRUE(job->Done() && job->Result());
    EXPECT_EQ(channel.oks, 0);
}

// A file-size limit (as on a full disk) that makes writes past `bytes` fail with
// EFBIG instead of raising SIGXFSZ; restored when it goes out of scope.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &mOld);
        mOldHandler = signal(SIGXFSZ, SIG_IGN);
        rlimit limit{bytes, mOld.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &mOld);
        signal(SIGXFSZ, mOldHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    rlimit mOld{};
    sighandler_t mOldHandler;
};

TEST_F(SystemServicesTest, ChunkThatCannotBeWrittenGetsNoOkAndLeavesNoFile) {
    const std::string record = sb.Root() + "/tmp/fcgiclient.record";
    FileSizeLimit limit(2048);
    for (const bool config : {false, true}) {
        SCOPED_TRACE(config);
        FakeChannel channel;
        std::string message;
        Job job;
        ASSERT_TRUE(
            config
                ? SystemServices::ConfigurationUpdate("full.cfg", 5000, true, message, job, nullptr)
                : SystemServices::FileTransfer(0, "201", "full.wav", 5000, true, message, job));
        // Two chunks were stored and acknowledged; the third failed and is
        // not, and what follows it is left as ordinary input.
        EXPECT_EQ(FeedAll(*job, Body(5000), 5000, channel).size(), 5000u - 3072u);
        EXPECT_EQ(channel.oks, 2);
        ASSERT_TRUE(job->Done());
        EXPECT_FALSE(job->Result());
        EXPECT_EQ(job->Message(), "Cannot write the file.");
    }
    EXPECT_TRUE(fs::is_empty(user));
    EXPECT_FALSE(fs::exists(sb.Root() + "/tmp/full.cfg"));
    EXPECT_FALSE(fs::exists(record));  // the configuration tool did not run
}

TEST(UploadJobTest, OverdueAtItsDeadlineOrWhenAPieceTakesTooLong) {
    class Job : public UploadJob {
      public:
        Job() : UploadJob(nullptr, "/nonexistent/x", 10000, 100) {}
        void Received() override {}
        void Failed(SystemServices::BodyResult) override {}
    } job;
    using Stall = UploadJob::Stall;
    FakeChannel channel;
    const auto feedByte = [&](unsigned long now) {
        std::string byte = "x";
        job.Feed(byte, now, channel);
    };
    EXPECT_EQ(job.Overdue(109, 10), Stall::kNone);
    EXPECT_EQ(job.Overdue(110, 10), Stall::kPieceTimeOut);  // nothing since the start
    feedByte(108);
    EXPECT_EQ(job.Overdue(117, 10), Stall::kNone);
    EXPECT_EQ(job.DueAt(10), 118u);
    // A trickle keeps every piece in time but not the whole body: 30 s and
    // one per 4096 bytes.
    for (unsigned long now = 113; now <= 130; now += 5) {
        feedByte(now);
        EXPECT_EQ(job.Overdue(now + 1, 10), Stall::kNone);
    }
    EXPECT_EQ(job.DueAt(10), 132u);
    EXPECT_EQ(job.Overdue(132, 10), Stall::kDeadline);
    EXPECT_EQ(job.Overdue(132, 300), Stall::kDeadline);
    EXPECT_EQ(job.ChunkReceived(), 5);
    EXPECT_EQ(job.ChunkLength(), 1024);
}

TEST_F(SystemServicesTest, EveryFileMethodRefusesNamesThatLeaveTheDirectory) {
    WriteFile(sb.Root() + "/prompts/victim.wav", "v");
    const std::string longest(255, 'n');
    for (const std::string& name :
         {std::string("a/b.wav"), std::string("../victim.wav"), std::string(".."),
          std::string("x.."), std::string("a\0b.wav", 7), longest + "x", std::string("."),
          std::string()}) {
        SCOPED_TRACE(name);
        std::string message;
        Job job;
        EXPECT_FALSE(SystemServices::FileTransfer(0, "201", name, 10, true, message, job));
        EXPECT_EQ(message, "Invalid file name.");
        EXPECT_FALSE(SystemServices::ConfigurationUpdate(name, 10, true, message, job, nullptr));
        EXPECT_EQ(message, "Invalid file name.");
        EXPECT_FALSE(SystemServices::WAVFileDelete(0, "201", name));
        EXPECT_EQ(job, nullptr);
    }
    EXPECT_TRUE(fs::exists(sb.Root() + "/prompts/victim.wav"));
    EXPECT_TRUE(fs::is_empty(user));
    EXPECT_FALSE(SystemServices::WAVFileDelete(1, "500", "custom"));  // a folder, not a prompt
    EXPECT_TRUE(fs::is_directory(aa + "custom"));
    // The longest name a file system takes is still accepted.
    std::string message;
    Job job;
    EXPECT_TRUE(SystemServices::FileTransfer(0, "201", longest, 10, true, message, job));
}

std::atomic<int> gWakes{0};

TEST_F(SystemServicesTest, ConfigurationUploadRunsTheToolAndRemovesTheFile) {
    fs::create_directories(sb.Root() + "/bin");
    fs::copy_file(FCGICLIENT_SCRIPT, sb.Root() + "/bin/fcgiclient");
    FakeChannel channel;
    std::string message;
    Job job;
    ASSERT_TRUE(
        SystemServices::ConfigurationUpdate("a.cfg", 2100, true, message, job, [] { ++gWakes; }));
    testing::internal::CaptureStdout();
    FeedAll(*job, Body(2100), 2100, channel);
    // The tool runs on its own thread; the answer waits for it, and the
    // thread says when it has ended.
    while (!job->Done()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(gWakes, 1);
    EXPECT_TRUE(job->Result());
    // The tool's markers are written out as plain text.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Configuration. saved=2100 bytes\n\n");
    EXPECT_FALSE(fs::exists(sb.Root() + "/tmp/a.cfg"));
}

TEST(SameSecretTest, EqualOnlyForTheSameBytesInTheSameCase) {
    using SystemServices::SameSecret;
    const std::string digest = "0123456789abcdef0123456789abcdef";
    EXPECT_TRUE(SameSecret(digest, digest));
    EXPECT_TRUE(SameSecret("", ""));
    std::string upper = digest;
    for (char& c : upper) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    // A difference at the first byte, at the last, in case only, or in length
    // (longer, shorter, a prefix, empty on either side) is a mismatch.
    for (const std::string& received :
         {std::string("1123456789abcdef0123456789abcdef"),
          std::string("0123456789abcdef0123456789abcdee"), upper, digest + "0",
          digest.substr(0, 31), digest + digest, std::string(), std::string("\0", 1)}) {
        SCOPED_TRACE(received);
        EXPECT_FALSE(SameSecret(received, digest));
    }
    EXPECT_FALSE(SameSecret("x", ""));
    // A text that repeats the expected one is not taken for it.
    EXPECT_FALSE(SameSecret("abab", "ab"));
}

}  // namespace
