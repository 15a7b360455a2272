// Runs the exchange-sim executable (next to this test binary) against the
// daemon side of the exchange link.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/ExchangeLink.h"
#include "platform/Messaging.h"

extern char** environ;

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

struct Cm : CmRemControlMessenger {
    long data = -1;
    std::string ext;
    void CallArrived(const unsigned long long&, ExtCallType, const std::string& e,
                     const CallParams&, const CallParams&, const unsigned long long&,
                     long d) override {
        ext = e;
        data = d;
    }
};

// Records the call manager's call events as short texts.
struct CallEvents : CmRemControlMessenger {
    std::vector<std::string> events;
    RcCDR cdr;
    void CallStateChanged(const unsigned long long& id, ExtCallState state) override {
        events.push_back("state " + std::to_string(id) + " " + std::to_string(state));
    }
    void MessagePlayed(const unsigned long long& id) override {
        events.push_back("played " + std::to_string(id));
    }
    void DTMFInjected(const unsigned long long& id) override {
        events.push_back("dtmf " + std::to_string(id));
    }
    void CDRArrived(int, const RcCDR& record, const CallStatistics*) override {
        events.push_back("cdr");
        cdr = record;
    }
};

struct Ns : AppNotificationMessenger {
    Ns() : AppNotificationMessenger(nullptr) {}
    std::vector<unsigned long long> confirmed;
    std::list<DialogParams> dialogs;
    int OnConfirm(const unsigned long long& id) override {
        confirmed.push_back(id);
        return 1;
    }
    int OnDialogNotify(const unsigned long long&, const std::list<DialogParams>& d) override {
        dialogs = d;
        return 1;
    }
};

template <class M>
bool ProcessWithin(M& messenger, int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    do {
        if (messenger.ProcessMessageFromQueue(1) == 1) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

class ExchangeSimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        mSimPath = fs::read_symlink("/proc/self/exe").parent_path() / "exchange-sim";
        if (!fs::exists(mSimPath)) {
            GTEST_SKIP() << "exchange-sim not built";
        }
        char pattern[] = "/tmp/vx.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        mRoot = pattern;
        setenv("VALTD_ROOT", mRoot.c_str(), 1);

        int in[2], out[2];
        ASSERT_EQ(pipe(in), 0);
        ASSERT_EQ(pipe(out), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::string errPath = mRoot + "/sim.err";
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT, 0644);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        // The emulator's words (none natively), then the simulator.
        std::vector<std::string> words;
        std::istringstream emulator(VALTD_TEST_EMULATOR);
        for (std::string word; emulator >> word;) {
            words.push_back(word);
        }
        words.push_back(mSimPath.string());
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
    void TearDown() override {
        if (mIn >= 0) {
            close(mIn);
        }
        if (mPid > 0) {
            kill(mPid, SIGKILL);
            waitpid(mPid, nullptr, 0);
        }
        if (mOut >= 0) {
            close(mOut);
        }
        unsetenv("VALTD_ROOT");
        if (!mRoot.empty()) {
            fs::remove_all(mRoot);
        }
    }

    void Write(const std::string& line) {
        std::string text = line + "\n";
        ASSERT_EQ(write(mIn, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // The next output line as JSON; null after 3 s without one.
    json ReadLine() {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        for (;;) {
            std::size_t newline = mBuffer.find('\n');
            if (newline != std::string::npos) {
                std::string line = mBuffer.substr(0, newline);
                mBuffer.erase(0, newline + 1);
                return json::parse(line);
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd pfd{mOut, POLLIN, 0};
            if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
                return nullptr;
            }
            char chunk[4096];
            ssize_t n = read(mOut, chunk, sizeof(chunk));
            if (n <= 0) {
                return nullptr;
            }
            mBuffer.append(chunk, static_cast<std::size_t>(n));
        }
    }
    int WaitExit() {
        int status = 0;
        for (int i = 0; i < 300; ++i) {
            if (waitpid(mPid, &status, WNOHANG) == mPid) {
                mPid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
    std::string Stderr() {
        std::ifstream file(mRoot + "/sim.err");
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    fs::path mSimPath;
    std::string mRoot;
    pid_t mPid = -1;
    int mIn = -1;
    int mOut = -1;
    std::string mBuffer;
};

}  // namespace

TEST_F(ExchangeSimTest, PrintsEveryCommandAsJson) {
    Cm cm;
    Ns ns;
    CallParams target;
    target.user = "202";
    target.host = "10.0.0.7";
    target.type = kCallParamsMsgTakerBit | 5;
    ASSERT_EQ(cm.ForwardCall(18446744073709551615ull, {target}, "200", "Desk"), 1);
    ASSERT_EQ(cm.CreateCall(7, "sip:200@h", target, "D"), 1);
    ASSERT_EQ(ns.ANUnsubscribe(9), 1);

    json forward = ReadLine();
    EXPECT_EQ(forward["cmd"], "ForwardCall");
    EXPECT_EQ(forward["callId"], "18446744073709551615");
    EXPECT_EQ(forward["targets"][0]["user"], "202");
    EXPECT_EQ(forward["targets"][0]["type"], 5);
    EXPECT_EQ(forward["targets"][0]["msgTaker"], true);
    EXPECT_EQ(forward["displayName"], "Desk");
    json create = ReadLine();
    EXPECT_EQ(create["from"], "sip:200@h");
    EXPECT_EQ(create["to"]["host"], "10.0.0.7");
    EXPECT_EQ(create["to"]["type"], 0x80000005u);
    EXPECT_EQ(ReadLine(), json({{"cmd", "ANUnsubscribe"}, {"subscriptionId", "9"}}));
}

TEST_F(ExchangeSimTest, BehavesLikeTheExchangeTowardsTheDaemon) {
    CyclicQueuePoller poller(45);
    ASSERT_TRUE(poller.SelectQueue(kCallManagerQueue, kQueuePath, true, true));
    ASSERT_TRUE(poller.SelectQueue(kNotificationQueue, kQueuePath, true, true));
    Cm cm;
    Ns ns;

    // The registered requester (a serial beyond the signed range of a 32-bit
    // long) comes back unchanged with the extension's arriving calls.
    ASSERT_EQ(cm.IncomingCallHandling("201", 1, 3000000000ul), 1);
    EXPECT_EQ(ReadLine()["requester"], "3000000000");
    Write(R"({"event":"CallArrived","callId":"5","ext":"201"})");
    ASSERT_TRUE(ProcessWithin(cm, 2000));
    EXPECT_EQ(static_cast<unsigned long>(cm.data), 3000000000ul);
    Write(R"({"event":"CallArrived","callId":"6","ext":"202"})");
    ASSERT_TRUE(ProcessWithin(cm, 2000));
    EXPECT_EQ(cm.data, 0);
    ASSERT_EQ(cm.IncomingCallHandling("201", 0, 0), 1);
    ReadLine();
    Write(R"({"event":"CallArrived","callId":"7","ext":"201"})");
    ASSERT_TRUE(ProcessWithin(cm, 2000));
    EXPECT_EQ(cm.data, 0);

    // Subscriptions are confirmed unless switched off.
    ASSERT_EQ(ns.ANSubscribe(PUAPackageType_Dialog, CallParams(), CallParams(), 31), 1);
    EXPECT_EQ(ReadLine()["cmd"], "ANSubscribe");
    ASSERT_TRUE(ProcessWithin(ns, 2000));
    EXPECT_EQ(ns.confirmed, std::vector<unsigned long long>{31});
    Write(R"({"control":"autoConfirm","value":false})");
    EXPECT_EQ(ReadLine(), json({{"ack", "autoConfirm"}}));
    ASSERT_EQ(ns.ANSubscribe(PUAPackageType_Dialog, CallParams(), CallParams(), 32), 1);
    EXPECT_EQ(ReadLine()["subscriptionId"], "32");
    EXPECT_FALSE(ProcessWithin(ns, 100));

    // Bad lines are reported and do not stop the simulator.
    Write("not json");
    Write(R"({"event":"NoSuchEvent"})");
    Write(R"({"event":"OnDialogNotify","subscriptionId":"32","dialogs":[)"
          R"({"callId":"18446744073709551615","local":"\"Front Desk\" <sip:201@10.0.0.5:5060>",)"
          R"("remote":"sip:300@pbx","duration":-1}]})");
    ASSERT_TRUE(ProcessWithin(ns, 2000));
    ASSERT_EQ(ns.dialogs.size(), 1u);
    const DialogParams& dialog = ns.dialogs.front();
    EXPECT_EQ(dialog.callId, 18446744073709551615ull);
    EXPECT_EQ(dialog.local, (NameAddr{"Front Desk", "201", "10.0.0.5", "5060"}));
    EXPECT_EQ(dialog.remote, (NameAddr{"", "300", "pbx", ""}));
    EXPECT_EQ(dialog.duration, -1);
    std::string errors = Stderr();
    EXPECT_NE(errors.find("not json"), std::string::npos);
    EXPECT_NE(errors.find("unknown event \"NoSuchEvent\""), std::string::npos);

    Write(R"({"event":"ForcedAlert"})");
    EXPECT_EQ(poller.WaitForEvents(), -1);
}

TEST_F(ExchangeSimTest, EndsCleanlyOnEndOfInputAndOnSigterm) {
    std::string cmSock = exlink::LinkSocketPath(exlink::kCallManagerSocketName);
    EXPECT_TRUE(fs::exists(cmSock));
    close(mIn);
    mIn = -1;
    EXPECT_EQ(WaitExit(), 0);
    EXPECT_FALSE(fs::exists(cmSock));

    TearDown();
    SetUp();
    cmSock = exlink::LinkSocketPath(exlink::kCallManagerSocketName);
    EXPECT_TRUE(fs::exists(cmSock));
    kill(mPid, SIGTERM);
    EXPECT_EQ(WaitExit(), 0);
    EXPECT_FALSE(fs::exists(cmSock));
}

TEST_F(ExchangeSimTest, CallManagerModeAnswersCallCommandsWithEvents) {
    CyclicQueuePoller poller(45);
    ASSERT_TRUE(poller.SelectQueue(kCallManagerQueue, kQueuePath, true, true));
    CallEvents cm;
    auto next = [&cm]() -> std::string {
        size_t before = cm.events.size();
        if (!ProcessWithin(cm, 2000) || cm.events.size() == before) {
            return "nothing";
        }
        return cm.events.back();
    };
    CallParams to;
    to.user = "300";
    to.type = ExtCallType_TEL;

    // Off by default: a created call stays silent.
    ASSERT_EQ(cm.CreateCall(10, "pbx:201", to, ""), 1);
    EXPECT_EQ(ReadLine()["cmd"], "CreateCall");
    EXPECT_FALSE(ProcessWithin(cm, 400));

    Write(R"({"control":"callManager","value":true})");
    EXPECT_EQ(ReadLine(), json({{"ack", "callManager"}}));
    const auto created = std::chrono::steady_clock::now();
    ASSERT_EQ(cm.CreateCall(11, "pbx:201", to, ""), 1);
    EXPECT_EQ(next(), "state 11 1");
    EXPECT_EQ(next(), "state 11 2");
    EXPECT_GE(std::chrono::steady_clock::now() - created, std::chrono::milliseconds(150));

    ASSERT_EQ(cm.PlayMessage(11, "hello.wav", 1), 1);
    ASSERT_EQ(cm.InjectDTMF(11, "12#"), 1);
    // The DTMF confirmation comes at once, the played message after a delay.
    EXPECT_EQ(next(), "dtmf 11");
    EXPECT_EQ(next(), "played 11");

    // Closing before the call connected drops the pending "connected".
    ASSERT_EQ(cm.CreateCall(12, "pbx:202", to, ""), 1);
    ASSERT_EQ(cm.CloseCall(12), 1);
    EXPECT_EQ(next(), "state 12 1");
    EXPECT_EQ(next(), "state 12 3");
    EXPECT_EQ(next(), "cdr");
    EXPECT_EQ(cm.cdr.duration, 0);
    EXPECT_FALSE(ProcessWithin(cm, 400));

    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ASSERT_EQ(cm.CloseCall(11), 1);
    EXPECT_EQ(next(), "state 11 3");
    EXPECT_EQ(next(), "cdr");
    EXPECT_EQ(cm.cdr.callingUser, "pbx:201");
    EXPECT_EQ(cm.cdr.calledUser, "300");
    EXPECT_EQ(cm.cdr.callGuid, "sim-11");
    EXPECT_GE(cm.cdr.duration, 1);
    EXPECT_NEAR(static_cast<double>(cm.cdr.startTime), static_cast<double>(std::time(nullptr)),
                10.0);
}
