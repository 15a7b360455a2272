#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "TempRoot.h"
#include "exchange/ExchangeCodec.h"
#include "exchange/ExchangeLink.h"
#include "exchange/LinkOutbox.h"
#include "exchange/Messaging.h"

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
    return std::any_of(gLogLines.begin(), gLogLines.end(), [&text](const std::string& line) {
        return line.find(text) != std::string::npos;
    });
}

struct RecordingCm : CmRemControlMessenger {
    std::vector<std::string> events;
    bool hadStatistics = false;
    void CDRArrived(int type, const RcCDR&, const CallStatistics* statistics) override {
        events.push_back("CDRArrived " + std::to_string(type));
        hadStatistics = statistics != nullptr;
    }
};

struct Ns : AppNotificationMessenger {
    Ns() : AppNotificationMessenger(nullptr) {}
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
    Ns ns;
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

TEST_F(ExchangeLinkTest, BusyPeerQueuesCommandsInOrderUpToABound) {
    ASSERT_TRUE(EnsureLinkDirectory());
    UniqueFd cmSocket = BindDatagramSocket(LinkSocketPath(kCallManagerSocketName));
    RecordingCm cm;
    // The peer reads nothing: past its socket's few datagrams the commands
    // wait in the link's queue, and past the queue's bound they fail at once.
    int sent = 0;
    while (cm.RejectCall(static_cast<unsigned long long>(sent)) == 1 && sent < 100000) {
        ++sent;
    }
    EXPECT_GT(sent, static_cast<int>(exlink::LinkOutbox::kMaxQueuedCommands));
    EXPECT_LT(sent, 100000);
    EXPECT_TRUE(LogContains("queue full"));
    // As the peer reads, every queued command arrives, in order.
    std::string payload;
    for (int expected = 0; expected < sent; ++expected) {
        pollfd p{cmSocket.Get(), POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1) << "command " << expected;
        ASSERT_EQ(ReceiveDatagram(cmSocket.Get(), payload), ReceiveResult::kMessage);
        ASSERT_EQ(payload, "EXL1 RejectCall " + std::to_string(expected)) << expected;
    }
}

// Events reaching their callbacks through the poller is what every end-to-end
// test and ExchangeSimTest do; an event on the wrong queue is not.
TEST_F(ExchangeLinkTest, EventOnTheWrongQueueIsNotDispatched) {
    Ns ns;
    EXPECT_EQ(ns.ProcessMessageFromQueue(1), 0);  // never selected: nothing to do
    CyclicQueuePoller poller(45);
    ASSERT_TRUE(poller.SelectQueue(kNotificationQueue, kQueuePath, true, true));
    ASSERT_TRUE(SendToQueue(88, CallStateChangedEv{1, ExtCallState_Disconnected}));
    EXPECT_EQ(poller.WaitForEvents(), 88);
    EXPECT_EQ(ns.ProcessMessageFromQueue(1), 1);
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
