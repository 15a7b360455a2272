// Runs the exchange-sim executable (next to this test binary) against the
// daemon's side of the exchange link, for what the end-to-end tests, which
// drive it through the daemon, cannot see: its error reports, values at the
// edge of their range, and how it ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <vector>

#include "TempRoot.h"
#include "platform/ExchangeLink.h"
#include "platform/Messaging.h"

extern char** environ;

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

struct Cm : CmRemControlMessenger {
    long data = -1;
    void CallArrived(const unsigned long long&, ExtCallType, const std::string&, const CallParams&,
                     const CallParams&, const unsigned long long&, long d) override {
        data = d;
    }
};

struct Ns : AppNotificationMessenger {
    Ns() : AppNotificationMessenger(nullptr) {}
    std::list<DialogParams> dialogs;
    int OnDialogNotify(const unsigned long long&, const std::list<DialogParams>& d) override {
        dialogs = d;
        return 1;
    }
};

template <class M>
bool ProcessWithin(M& messenger, int ms) {
    for (int waited = 0; waited < ms; waited += 2) {
        if (messenger.ProcessMessageFromQueue(1) == 1) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

class ExchangeSimTest : public ::testing::Test {
  protected:
    void SetUp() override { Start(); }
    void TearDown() override { Stop(); }

    void Start() {
        mBuffer.clear();
        const fs::path sim = fs::read_symlink("/proc/self/exe").parent_path() / "exchange-sim";
        int in[2], out[2];
        ASSERT_TRUE(pipe(in) == 0 && pipe(out) == 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        const std::string err = mRoot / "sim.err";
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT, 0644);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        // The emulator's words (none natively), then the simulator.
        std::vector<std::string> words;
        std::istringstream emulator(VALTD_TEST_EMULATOR " " + sim.string());
        for (std::string word; emulator >> word;) {
            words.push_back(word);
        }
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawnp(&mPid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        mIn = in[1];
        mOut = out[0];
        ASSERT_EQ(ReadLine(), json({{"ready", true}}));
    }
    void Stop() {
        for (int* fd : {&mIn, &mOut}) {
            if (*fd >= 0) {
                close(*fd);
                *fd = -1;
            }
        }
        if (mPid > 0) {
            kill(mPid, SIGKILL);
            waitpid(mPid, nullptr, 0);
            mPid = -1;
        }
    }

    void Write(const std::string& line) {
        const std::string text = line + "\n";
        ASSERT_EQ(write(mIn, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // The next output line as JSON; null after 3 s without one.
    json ReadLine() {
        for (;;) {
            const std::size_t newline = mBuffer.find('\n');
            if (newline != std::string::npos) {
                const std::string line = mBuffer.substr(0, newline);
                mBuffer.erase(0, newline + 1);
                return json::parse(line);
            }
            pollfd pfd{mOut, POLLIN, 0};
            char chunk[4096];
            ssize_t n = 0;
            if (poll(&pfd, 1, 3000) <= 0 || (n = read(mOut, chunk, sizeof(chunk))) <= 0) {
                return nullptr;
            }
            mBuffer.append(chunk, static_cast<std::size_t>(n));
        }
    }
    // The simulator's exit status once it ended by itself; -1 after 3 s.
    int WaitExit() {
        int status = 0;
        for (int i = 0; i < 300; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
            if (waitpid(mPid, &status, WNOHANG) == mPid) {
                mPid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
        }
        return -1;
    }

    TempRoot mRoot;
    pid_t mPid = -1;
    int mIn = -1;
    int mOut = -1;
    std::string mBuffer;
};

}  // namespace

TEST_F(ExchangeSimTest, ReportsBadLinesAndKeepsValuesAtTheEdgeOfTheirRange) {
    CyclicQueuePoller poller(45);
    ASSERT_TRUE(poller.SelectQueue(kCallManagerQueue, kQueuePath, true, true));
    ASSERT_TRUE(poller.SelectQueue(kNotificationQueue, kQueuePath, true, true));
    Cm cm;
    Ns ns;
    // The requester (a serial beyond the signed range of a 32-bit long) comes
    // back unchanged with the extension's arriving calls.
    ASSERT_EQ(cm.IncomingCallHandling("201", 1, 3000000000ul), 1);
    EXPECT_EQ(ReadLine()["requester"], "3000000000");
    Write(R"({"event":"CallArrived","callId":"5","ext":"201"})");
    ASSERT_TRUE(ProcessWithin(cm, 2000));
    EXPECT_EQ(static_cast<unsigned long>(cm.data), 3000000000ul);

    Write("not json");
    Write(R"({"event":"NoSuchEvent"})");
    Write(R"({"event":"OnDialogNotify","subscriptionId":"32","dialogs":[)"
          R"({"callId":"18446744073709551615","local":"\"Front Desk\" <sip:201@10.0.0.5:5060>",)"
          R"("duration":-1}]})");
    ASSERT_TRUE(ProcessWithin(ns, 2000));
    ASSERT_EQ(ns.dialogs.size(), 1u);
    EXPECT_EQ(ns.dialogs.front().callId, 18446744073709551615ull);
    EXPECT_EQ(ns.dialogs.front().local, (NameAddr{"Front Desk", "201", "10.0.0.5", "5060"}));
    EXPECT_EQ(ns.dialogs.front().duration, -1);
    const std::string errors = ReadFile(mRoot / "sim.err");
    EXPECT_NE(errors.find("not json"), std::string::npos);
    EXPECT_NE(errors.find("unknown event \"NoSuchEvent\""), std::string::npos);
}

TEST_F(ExchangeSimTest, EndsCleanlyOnEndOfInputAndOnSigterm) {
    for (bool bySignal : {false, true}) {
        SCOPED_TRACE(bySignal ? "SIGTERM" : "end of input");
        if (bySignal) {
            Start();
        }
        const std::string socket = exlink::LinkSocketPath(exlink::kCallManagerSocketName);
        EXPECT_TRUE(fs::exists(socket));
        if (bySignal) {
            kill(mPid, SIGTERM);
        } else {
            close(mIn);
            mIn = -1;
        }
        EXPECT_EQ(WaitExit(), 0);
        EXPECT_FALSE(fs::exists(socket));
        Stop();
    }
}
