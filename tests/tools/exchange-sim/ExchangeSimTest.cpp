// Runs the exchange-sim executable (next to this test binary) against the
// daemon's side of the exchange link, for what the end-to-end tests, which
// drive it through the daemon, cannot see: its error reports, values at the
// edge of their range, and how it ends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "TempRoot.h"
#include "exchange/ExchangeLink.h"
#include "exchange/Messaging.h"

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

    // The shell notes its process ID and becomes the simulator (under the
    // emulator in a cross build), its output going to files of the root.
    void Start() {
        const std::string sim =
            (fs::read_symlink("/proc/self/exe").parent_path() / "exchange-sim").string();
        mRead = 0;
        fs::remove(mRoot / "sim.out");
        fs::remove(mRoot / "pid");
        mIn = popen(("echo $$ >'" + (mRoot / "pid") + "'; exec " VALTD_TEST_EMULATOR " '" + sim +
                     "' >'" + (mRoot / "sim.out") + "' 2>'" + (mRoot / "sim.err") + "'")
                        .c_str(),
                    "w");
        ASSERT_NE(mIn, nullptr);
        ASSERT_EQ(ReadLine(), json({{"ready", true}}));
        mPid = std::stoi(ReadFile(mRoot / "pid"));
    }
    // Ends the simulator (killed unless it ended already); its exit status.
    int Stop(int signal = SIGKILL) {
        if (mIn == nullptr) {
            return -1;
        }
        if (signal != 0) {
            kill(mPid, signal);
        }
        const int status = pclose(mIn);
        mIn = nullptr;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    void Write(const std::string& line) {
        ASSERT_GE(fprintf(mIn, "%s\n", line.c_str()), 0);
        fflush(mIn);
    }
    // The next output line as JSON; null after 3 s without one.
    json ReadLine() {
        for (int waited = 0; waited < 3000; waited += 5) {
            const std::string out = ReadFile(mRoot / "sim.out");
            const std::size_t newline = out.find('\n', mRead);
            if (newline != std::string::npos) {
                const std::string line = out.substr(mRead, newline - mRead);
                mRead = newline + 1;
                return json::parse(line);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return nullptr;
    }

    TempRoot mRoot;
    FILE* mIn = nullptr;
    pid_t mPid = -1;
    std::size_t mRead = 0;
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
    for (int signal : {0, SIGTERM}) {
        SCOPED_TRACE(signal == 0 ? "end of input" : "SIGTERM");
        if (signal != 0) {
            Start();
        }
        const std::string socket = exlink::LinkSocketPath(exlink::kCallManagerSocketName);
        EXPECT_TRUE(fs::exists(socket));
        EXPECT_EQ(Stop(signal), 0);
        EXPECT_FALSE(fs::exists(socket));
    }
}
