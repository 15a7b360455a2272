#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "TempRoot.h"
#include "exchange/ExchangeCodec.h"
#include "exchange/ExchangeLink.h"
#include "exchange/LinkOutbox.h"
#include "exchange/Messaging.h"
#include "exchange/QueueRing.h"

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
        return AppendToQueue(kQueuePath, number, EncodeMessage(message));
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
    ASSERT_TRUE(AppendToQueue(kQueuePath, 12, std::string("\x00\xff garbage", 10)));
    ASSERT_TRUE(AppendToQueue(kQueuePath, 12, "EXL1 CDRArrived 1"));  // truncated
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

// ---- The queues' ring files ----

namespace {

std::string Text(const QueueRing::Message& m) {
    return std::string(m.data, m.size);
}

// Takes every waiting message, completing each (held when `hold` says so).
std::vector<std::string> TakeAll(QueueRing& ring, bool (*hold)(const std::string&) = nullptr) {
    std::vector<std::string> taken;
    QueueRing::Message m;
    while (ring.TryTake(m)) {
        taken.push_back(Text(m));
        ring.Complete(m, hold != nullptr && hold(taken.back()));
    }
    return taken;
}

bool Append(QueueRing& ring, const std::string& text) {
    bool full = false, wake = false;
    return ring.Append(text.data(), text.size(), full, wake);
}

}  // namespace

TEST_F(ExchangeLinkTest, RingWrapsAroundInOrderAndRefusesWhenFull) {
    const std::string path = mRoot + "/small.ring";
    QueueRing writer(path, 64 * 1024), reader(path, 64 * 1024);
    ASSERT_TRUE(writer.Valid() && reader.Valid());
    int next = 0, expected = 0;
    for (int round = 0; round < 20; ++round) {
        // Sizes that do not divide the ring, so that the end is padded at ever other places.
        int appended = 0;
        bool full = false, wake = false;
        for (;; ++next, ++appended) {
            const std::string text = std::to_string(next) + std::string(next % 3000, 'x');
            if (!writer.Append(text.data(), text.size(), full, wake)) {
                break;
            }
            ASSERT_FALSE(wake);  // the reader is not asleep
        }
        EXPECT_TRUE(full);
        ASSERT_GT(appended, 0) << round;
        for (const std::string& text : TakeAll(reader)) {
            ASSERT_EQ(text, std::to_string(expected) + std::string(expected % 3000, 'x'));
            ++expected;
        }
        ASSERT_EQ(expected, next);
    }
    // The sleeping flag: a message appended before the reader sets it is found by
    // its second look; one appended after it asks for a wake-up; none once awake.
    QueueRing::Message m;
    ASSERT_TRUE(Append(writer, "before"));
    EXPECT_FALSE(reader.PrepareSleep());
    ASSERT_TRUE(reader.TryTake(m));
    reader.Complete(m, false);
    EXPECT_TRUE(reader.PrepareSleep());
    bool full = false, wake = false;
    ASSERT_TRUE(writer.Append("after", 5, full, wake));
    EXPECT_TRUE(wake);
    reader.EndSleep();
    ASSERT_TRUE(writer.Append("awake", 5, full, wake));
    EXPECT_FALSE(wake);
    const std::string huge(kMaxDatagram + 1, 'h');
    EXPECT_FALSE(writer.Append(huge.data(), huge.size(), full, wake));
    EXPECT_FALSE(full);

    // Through the writers' entry point: 4 MiB hold fifteen messages of the largest size.
    const std::string largest(kMaxDatagram, 'l');
    int fitted = 0;
    while (AppendToQueue(kQueuePath, 12, largest, false, 0)) {
        ++fitted;
    }
    EXPECT_EQ(fitted, 15);
    EXPECT_TRUE(LogContains("the queue is full"));
    EXPECT_FALSE(AppendToQueue(kQueuePath, 12, huge));
    EXPECT_TRUE(LogContains("refused (limit 262144)"));
}

TEST_F(ExchangeLinkTest, CorruptRingIsInitialisedAgainAndLogged) {
    const std::string path = mRoot + "/bad.ring";
    {
        std::ofstream out(path);
        out << std::string(100, 'z');
    }
    QueueRing ring(path, 64 * 1024);
    ASSERT_TRUE(ring.Valid());
    EXPECT_TRUE(LogContains("had no valid queue header"));
    ASSERT_TRUE(Append(ring, "one"));
    ASSERT_TRUE(Append(ring, "two"));
    // A record whose length runs past the end: everything queued is dropped, the next one read.
    {
        std::fstream io(path, std::ios::in | std::ios::out | std::ios::binary);
        io.seekp(64);
        const std::uint32_t length = 0x7fffffff;
        io.write(reinterpret_cast<const char*>(&length), sizeof(length));
    }
    QueueRing reader(path, 64 * 1024);
    EXPECT_TRUE(TakeAll(reader).empty());
    EXPECT_TRUE(LogContains("a malformed record"));
    ASSERT_TRUE(Append(ring, "three"));
    EXPECT_EQ(TakeAll(reader), std::vector<std::string>{"three"});
}

TEST_F(ExchangeLinkTest, HeldMessagesAndOnlyThoseAreTakenAgainByTheNextReader) {
    const std::string path = mRoot + "/held.ring";
    QueueRing writer(path, 64 * 1024);
    for (const char* text : {"a", "held-b", "c", "held-d", "e"}) {
        ASSERT_TRUE(Append(writer, text));
    }
    auto holdMarked = [](const std::string& text) { return text.rfind("held", 0) == 0; };
    {
        QueueRing reader(path, 64 * 1024);
        EXPECT_EQ(TakeAll(reader, holdMarked).size(), 5u);
        EXPECT_EQ(reader.HeldCount(), 2u);
    }  // the reader ends (as in a crash) without releasing
    {
        QueueRing reader(path, 64 * 1024);
        EXPECT_EQ(TakeAll(reader, holdMarked), (std::vector<std::string>{"held-b", "held-d"}));
        ASSERT_TRUE(Append(writer, "f"));
        EXPECT_EQ(TakeAll(reader), std::vector<std::string>{"f"});
        reader.ReleaseHeld();
    }
    QueueRing reader(path, 64 * 1024);
    EXPECT_TRUE(TakeAll(reader).empty());

    // Through the messenger: a callback holds a record; a poller that selects the
    // queue after the first one is gone processes it again, and messages sent
    // while no poller existed.
    struct HoldingCm : RecordingCm {
        void CDRArrived(int type, const RcCDR& cdr, const CallStatistics* statistics) override {
            RecordingCm::CDRArrived(type, cdr, statistics);
            if (type == 2) {
                HoldCurrentMessage();
            }
        }
    } cm;
    for (int round = 0; round < 3; ++round) {
        CyclicQueuePoller poller(45);
        ASSERT_TRUE(poller.SelectQueue(kCallManagerQueue, kQueuePath, true, true));
        if (round == 0) {
            ASSERT_TRUE(SendToQueue(12, CDRArrivedEv{1, RcCDR(), std::nullopt}));
            ASSERT_TRUE(SendToQueue(12, CDRArrivedEv{2, RcCDR(), std::nullopt}));
        }
        while (poller.WaitForEvents(0) == 12) {
            cm.ProcessMessageFromQueue(1);
        }
        if (round == 1) {
            cm.ReleaseHeld();
            ASSERT_TRUE(SendToQueue(12, CDRArrivedEv{3, RcCDR(), std::nullopt}));
        }
    }
    EXPECT_EQ(cm.events, (std::vector<std::string>{"CDRArrived 1", "CDRArrived 2", "CDRArrived 2",
                                                   "CDRArrived 3"}));
}

TEST_F(ExchangeLinkTest, WriterThreadWakesTheSleepingReaderEveryTime) {
    CyclicQueuePoller poller(45);
    ASSERT_TRUE(poller.SelectQueue(kCallManagerQueue, kQueuePath, true, true));
    constexpr int kMessages = 2000;
    std::thread writer([] {
        for (int i = 0; i < kMessages; ++i) {
            ASSERT_TRUE(SendToQueue(12, MessagePlayedEv{static_cast<unsigned long long>(i)}));
            // Pauses of all lengths, so that messages come as the reader goes to sleep.
            std::this_thread::sleep_for(std::chrono::microseconds(i % 37));
        }
    });
    struct CountingCm : CmRemControlMessenger {
        unsigned long long next = 0;
        void MessagePlayed(const unsigned long long& id) override { EXPECT_EQ(id, next++); }
    } cm;
    // Every message comes without a time-out: no wake-up is lost.
    while (cm.next < kMessages) {
        ASSERT_EQ(poller.WaitForEvents(5000), 12) << "after " << cm.next;
        while (cm.ProcessMessageFromQueue(1) == 1) {
        }
    }
    writer.join();
}
