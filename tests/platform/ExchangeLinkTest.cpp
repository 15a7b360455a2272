#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "TempRoot.h"
#include "platform/ExchangeCodec.h"
#include "platform/ExchangeLink.h"
#include "platform/Messaging.h"

using namespace exlink;
using Clock = std::chrono::steady_clock;

namespace {

std::mutex gLogMutex;
std::vector<std::string> gLogLines;

void CaptureLog(const char* line) {
    std::lock_guard<std::mutex> lock(gLogMutex);
    gLogLines.emplace_back(line);
}

bool LogContains(const std::string& text) {
    std::lock_guard<std::mutex> lock(gLogMutex);
    for (const auto& line : gLogLines) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

struct RecordingCm : CmRemControlMessenger {
    std::vector<std::string> events;
    CallParams from;
    long data = 0;
    bool hadStatistics = false;
    void CallArrived(const unsigned long long& callId, ExtCallType, const std::string& ext,
                     const CallParams& f, const CallParams&, const unsigned long long&,
                     long d) override {
        events.push_back("CallArrived " + std::to_string(callId) + " " + ext);
        from = f;
        data = d;
    }
    void CallStateChanged(const unsigned long long& callId, ExtCallState state) override {
        events.push_back("CallStateChanged " + std::to_string(callId) + " " +
                         std::to_string(state));
    }
    void CDRArrived(int type, const RcCDR&, const CallStatistics* statistics) override {
        events.push_back("CDRArrived " + std::to_string(type));
        hadStatistics = statistics != nullptr;
    }
};

struct RecordingNs : AppNotificationMessenger {
    RecordingNs() : AppNotificationMessenger(nullptr) {}
    std::vector<std::string> events;
    std::list<DialogParams> dialogs;
    int OnDialogNotify(const unsigned long long& id, const std::list<DialogParams>& d) override {
        events.push_back("OnDialogNotify " + std::to_string(id));
        dialogs = d;
        return 1;
    }
    int OnConfirm(const unsigned long long& id) override {
        events.push_back("OnConfirm " + std::to_string(id));
        return 1;
    }
};

class ExchangeLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetMessagingLog(&CaptureLog);
        std::lock_guard<std::mutex> lock(gLogMutex);
        gLogLines.clear();
    }
    void TearDown() override { SetMessagingLog(nullptr); }
    static bool SendToQueue(int number, const ExchangeMessage& message) {
        return SendDatagram(LinkSocketPath(QueueSocketName(kQueuePath, number)),
                            EncodeMessage(message));
    }

    TempRoot mTemp;
    std::string mRoot = mTemp.Path();
};

}  // namespace

TEST_F(ExchangeLinkTest, CommandsToAnAbsentPeerFailAtOnce) {
    RecordingCm cm;
    RecordingNs ns;
    auto start = Clock::now();
    EXPECT_EQ(cm.AcceptCall(1, "", "", 0), 0);
    EXPECT_EQ(cm.SubscribeToCDR(1), 0);
    EXPECT_EQ(ns.ANSubscribe(PUAPackageType_MN, CallParams(), CallParams(), 5), 0);
    EXPECT_FALSE(ns.IsPartyOnline());

    // A stale socket file with nobody bound behind it fails just as fast.
    ASSERT_TRUE(EnsureLinkDirectory());
    { UniqueFd stale = BindDatagramSocket(LinkSocketPath(kCallManagerSocketName)); }
    EXPECT_EQ(cm.CloseCall(1), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
}

TEST_F(ExchangeLinkTest, FullPeerQueueFailsWithinABoundedTime) {
    ASSERT_TRUE(EnsureLinkDirectory());
    UniqueFd cmSocket = BindDatagramSocket(LinkSocketPath(kCallManagerSocketName));
    RecordingCm cm;
    int sent = 0;
    auto start = Clock::now();
    while (cm.RejectCall(1) == 1 && sent < 100000) {
        ++sent;
    }
    EXPECT_LT(sent, 100000);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(LogContains("peer queue full"));
}

TEST_F(ExchangeLinkTest, EventsReachTheirCallbacksThroughThePoller) {
    RecordingCm cm;
    RecordingNs ns;
    EXPECT_EQ(cm.ProcessMessageFromQueue(1), 0);  // never selected: nothing to do

    CyclicQueuePoller poller(45);
    ASSERT_TRUE(poller.SelectQueue(kCallManagerQueue, kQueuePath, true, true));
    ASSERT_TRUE(poller.SelectQueue(kNotificationQueue, kQueuePath, true, true));
    EXPECT_TRUE(std::filesystem::exists(mRoot + "/tmp/exlink/q-bin_ping-12.sock"));
    EXPECT_EQ(cm.ProcessMessageFromQueue(1), 0);

    CallParams from;
    from.user = "201";
    from.host = "10.0.0.5";
    // The call manager hands back the requester's serial as the call's data;
    // through a pointer it comes out as the same serial on every word size.
    const unsigned long serial = std::numeric_limits<unsigned long>::max();
    ASSERT_TRUE(SendToQueue(
        12, CallArrivedEv{42, 1, "201", from, CallParams(), 0, static_cast<long long>(serial)}));
    EXPECT_EQ(poller.WaitForEvents(), 12);
    EXPECT_EQ(cm.ProcessMessageFromQueue(1), 1);
    ASSERT_EQ(cm.events, std::vector<std::string>{"CallArrived 42 201"});
    EXPECT_EQ(cm.from, from);
    const void* target = reinterpret_cast<const void*>(cm.data);
    EXPECT_EQ(static_cast<unsigned long>(reinterpret_cast<uintptr_t>(target)), serial);

    DialogParams dialog;
    dialog.callId = 5;
    dialog.local.name = "Front Desk";
    ASSERT_TRUE(SendToQueue(88, DialogNotifyEv{9, {dialog}}));
    EXPECT_EQ(poller.WaitForEvents(), 88);
    EXPECT_EQ(ns.ProcessMessageFromQueue(1), 1);
    ASSERT_EQ(ns.events, std::vector<std::string>{"OnDialogNotify 9"});
    EXPECT_EQ(ns.dialogs.front(), dialog);

    // A call-manager event on the notification queue is not dispatched there.
    ASSERT_TRUE(SendToQueue(88, CallStateChangedEv{1, ExtCallState_Disconnected}));
    EXPECT_EQ(ns.ProcessMessageFromQueue(1), 1);
    EXPECT_EQ(ns.events.size(), 1u);
    EXPECT_TRUE(LogContains("unexpected CallStateChanged message on queue 88"));
}

TEST_F(ExchangeLinkTest, MalformedDatagramIsDroppedAndTheNextOneProcessed) {
    CyclicQueuePoller poller(45);
    ASSERT_TRUE(poller.SelectQueue(kCallManagerQueue, kQueuePath, true, true));
    const std::string path = LinkSocketPath(QueueSocketName(kQueuePath, 12));
    ASSERT_TRUE(SendDatagram(path, std::string("\x00\xff garbage", 10)));
    ASSERT_TRUE(SendDatagram(path, "EXL1 CDRArrived 1"));  // truncated
    ASSERT_TRUE(SendToQueue(12, CDRArrivedEv{7, RcCDR(), CallStatistics()}));

    RecordingCm cm;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(poller.WaitForEvents(), 12);
        EXPECT_EQ(cm.ProcessMessageFromQueue(1), 1);
    }
    EXPECT_EQ(cm.events, std::vector<std::string>{"CDRArrived 7"});
    EXPECT_TRUE(cm.hadStatistics);
    EXPECT_TRUE(LogContains("malformed message on queue 12"));
}

TEST_F(ExchangeLinkTest, ForcedAlertEndsTheWait) {
    CyclicQueuePoller poller(45);
    ASSERT_TRUE(poller.SelectQueue(kCallManagerQueue, kQueuePath, true, true));

    // From outside, as the simulator sends it; a stray datagram before it is ignored.
    const std::string alertPath = LinkSocketPath(PollerSocketName(45));
    ASSERT_TRUE(SendDatagram(alertPath, "hello"));
    ASSERT_TRUE(SendDatagram(alertPath, EncodeMessage(ForcedAlertEv{})));
    EXPECT_EQ(poller.WaitForEvents(), -1);
    EXPECT_TRUE(LogContains("not a forced alert"));

    // From another thread while the main thread waits.
    std::thread alerter([&poller] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        poller.ForceAlert();
    });
    EXPECT_EQ(poller.WaitForEvents(), -1);
    alerter.join();

    // Before the wait: the next wait returns at once, and only that one.
    poller.ForceAlert();
    EXPECT_EQ(poller.WaitForEvents(), -1);
    ASSERT_TRUE(SendToQueue(12, MessagePlayedEv{1}));
    EXPECT_EQ(poller.WaitForEvents(), 12);
}

TEST_F(ExchangeLinkTest, TooLongRootFailsClearly) {
    std::string deep = mRoot + "/" + std::string(100, 'd');
    setenv("VALTD_ROOT", deep.c_str(), 1);
    CyclicQueuePoller poller(45);
    EXPECT_FALSE(poller.SelectQueue(kCallManagerQueue, kQueuePath, true, true));
    EXPECT_TRUE(LogContains("Socket path too long"));
    RecordingCm cm;
    EXPECT_EQ(cm.CloseCall(1), 0);
    poller.ForceAlert();  // still usable without its socket
    EXPECT_EQ(poller.WaitForEvents(), -1);
}
