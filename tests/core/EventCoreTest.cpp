// The event core against the real exchange link: the test binds the call
// manager's and the notification service's command sockets in a sandbox root
// and reads what the daemon's core sends there. The routing of calls and
// notifications to clients is driven end to end (tests/e2e/test_notify.py).
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "TempRoot.h"

#include "core/Call.h"
#include "core/ExtCallControl.h"
#include "core/Subscription.h"
#include "exchange/ExchangeCodec.h"
#include "exchange/ExchangeLink.h"

namespace {

class EventCore : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(exlink::EnsureLinkDirectory());
        mCm = exlink::BindDatagramSocket(exlink::LinkSocketPath(exlink::kCallManagerSocketName));
        mNs = exlink::BindDatagramSocket(exlink::LinkSocketPath(exlink::kNotificationSocketName));
        ASSERT_TRUE(mCm.Valid() && mNs.Valid());
        mCore = std::make_unique<ExtCallControl>();
    }

    void TearDown() override { mCore.reset(); }

    std::string Log() const { return ReadFile(mRoot / "tmp/logs/valtd.log"); }

    // The next command on `fd`, or false when none arrives within `ms`.
    static bool NextCommand(int fd, exlink::ExchangeMessage& message, int ms = 1000) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) {
            return false;
        }
        std::string payload;
        std::string error;
        return exlink::ReceiveDatagram(fd, payload) == exlink::ReceiveResult::kMessage &&
               exlink::DecodeMessage(payload.data(), payload.size(), message, error);
    }
    static bool NoCommand(int fd) {
        exlink::ExchangeMessage m;
        return !NextCommand(fd, m, 100);
    }

    TempRoot mRoot;
    exlink::UniqueFd mCm;
    exlink::UniqueFd mNs;
    std::unique_ptr<ExtCallControl> mCore;
};

// Records the errors a subscription's listener is told.
struct RecordingSubscriber : ISubscriptionNotify {
    std::vector<int> errors;
    void ErrorConvey(Subscription*, const PUAErrorCode& e) override {
        errors.push_back(e.errorCode);
    }
};

bool LockedElsewhere(ThreadMutex& m) {
    bool locked = false;
    std::thread([&] {
        locked = !m.TryLock();
        if (!locked) {
            m.Unlock();
        }
    }).join();
    return locked;
}

TEST_F(EventCore, LookupHoldsTheRegistryOnlyOnAHit) {
    // IDs are 64 bits wide on every target: 2^32 + 7 is not 7.
    const unsigned long long callId = (1ULL << 32) + 7;
    const unsigned long long subId = (1ULL << 63) + 9;
    Call call(callId);
    EXPECT_EQ(Call::GetCall(7), nullptr);
    EXPECT_FALSE(LockedElsewhere(Call::mMapMutex));
    ASSERT_EQ(Call::GetCall(callId), &call);
    EXPECT_TRUE(LockedElsewhere(Call::mMapMutex));
    Call::ReleaseCall();
    EXPECT_FALSE(LockedElsewhere(Call::mMapMutex));

    Subscription s(subId, SubscriptionType_CDR, nullptr);
    EXPECT_EQ(Subscription::GetSubscription(9), nullptr);
    EXPECT_FALSE(LockedElsewhere(Subscription::mMapLock));
    ASSERT_EQ(Subscription::GetSubscription(subId), &s);
    EXPECT_TRUE(LockedElsewhere(Subscription::mMapLock));
    Subscription::ReleaseSubscription();
}

TEST_F(EventCore, SecondObjectWithSameIdTakesOverAndEitherDeletionRemovesTheEntry) {
    auto first = std::make_unique<Call>(5);
    auto second = std::make_unique<Call>(5);
    ASSERT_EQ(Call::GetCall(5), second.get());
    Call::ReleaseCall();
    first.reset();
    EXPECT_EQ(Call::GetCall(5), nullptr);
    second.reset();
    std::string log = Log();
    EXPECT_NE(log.find("Call: Create. (C:1) 5\n"), std::string::npos);
    EXPECT_NE(log.find("Call: Delete. (C:0) 5\n"), std::string::npos);

    {
        Call a(1);
        Call b(2);
    }
    log = Log();
    EXPECT_NE(log.find("Call: Create. (C:2) 2\n"), std::string::npos);
    EXPECT_NE(log.find("Call: Delete. (C:1) 2\n"), std::string::npos);

    auto s1 = std::make_unique<Subscription>(3, SubscriptionType_MN, nullptr);
    auto s2 = std::make_unique<Subscription>(3, SubscriptionType_CR, nullptr);
    std::list<unsigned long long> ids;
    EXPECT_TRUE(Subscription::GetCRSubscriptions(ids));
    s2.reset();
    EXPECT_FALSE(Subscription::GetCRSubscriptions(ids));
    EXPECT_TRUE(ids.empty());
}

TEST_F(EventCore, ListenerMayDeleteItsCallWhileNotifiedUnderTheLock) {
    struct Deleter : ICallNotify {
        void CallStateChanged(Call* call, ExtCallState) override { delete call; }
    } deleter;
    Call* call = new Call(42);
    call->SetListener(&deleter);
    mCore->CallStateChanged(42, ExtCallState_Disconnected);
    EXPECT_EQ(Call::GetCall(42), nullptr);
    EXPECT_NE(Log().find("ExtCallControl. CallStateChanged. callState: 3. 42\n"),
              std::string::npos);
}

TEST_F(EventCore, EventsForUnknownIdsAreLoggedAndDropped) {
    mCore->CallStateChanged(99, ExtCallState_Disconnected);
    mCore->MessagePlayed(99);
    mCore->DTMFInjected(99);
    mCore->DtmfDigitDetected(99, '5');
    EXPECT_EQ(mCore->OnConfirm(77), 0);
    EXPECT_EQ(mCore->OnPresenceNotify(77, 1), 0);
    EXPECT_EQ(mCore->OnErrorConvey(77, PUAErrorCode{3}), 0);
    EXPECT_EQ(mCore->OnMNNotify(77, MailSettings{}), 0);
    mCore->CDRArrived(1, RcCDR{}, nullptr);
    mCore->OnCallOriginated(5, ExtCallType_TEL, "201", CallParams{}, CallParams{}, "", 0);
    // One error line each, naming the event and the unknown ID.
    const std::string log = Log();
    size_t errors = 0;
    for (size_t at = log.find("ERROR. ExtCallControl. "); at != std::string::npos;
         at = log.find("ERROR. ExtCallControl. ", at + 1)) {
        ++errors;
    }
    EXPECT_EQ(errors, 10u) << log;
    EXPECT_NE(log.find("DtmfDigitDetected. No such call...99\n"), std::string::npos);
    EXPECT_NE(log.find("OnErrorConvey. No such subscription ID...77\n"), std::string::npos);
    EXPECT_NE(log.find("OnCallOriginated. No CR subscription\n"), std::string::npos);
    EXPECT_TRUE(NoCommand(mCm.Get()));
}

TEST_F(EventCore, UnsubscribeByTypeGoesToTheRightPeer) {
    mCore->UnsubscribeReceived(1, 0);
    mCore->UnsubscribeReceived(1, 7);
    EXPECT_TRUE(NoCommand(mCm.Get()));
    EXPECT_TRUE(NoCommand(mNs.Get()));
    EXPECT_NE(Log().find("ExtCallControl. UnsubscribeReceived. type[7]. 1\n"), std::string::npos);

    mCore->UnsubscribeReceived(2, SubscriptionType_CR);
    exlink::ExchangeMessage m;
    ASSERT_TRUE(NextCommand(mCm.Get(), m));
    ASSERT_TRUE(std::holds_alternative<exlink::SubscribeToCRCmd>(m));
    EXPECT_EQ(std::get<exlink::SubscribeToCRCmd>(m).subscribe, 0);

    mCore->UnsubscribeReceived(3, SubscriptionType_Presence);
    ASSERT_TRUE(NextCommand(mNs.Get(), m));
    ASSERT_TRUE(std::holds_alternative<exlink::ANUnsubscribeCmd>(m));
    EXPECT_EQ(std::get<exlink::ANUnsubscribeCmd>(m).subscriptionId, 3u);
}

TEST_F(EventCore, RefusedSubscriptionReportsErrorZeroToTheSubscriber) {
    mNs.Reset();  // the notification service is gone
    ::unlink(exlink::LinkSocketPath(exlink::kNotificationSocketName).c_str());
    RecordingSubscriber listener;
    Subscription mn(31, SubscriptionType_MN, &listener);
    mn.SubscribeMNCB(31, "201");
    EXPECT_EQ(listener.errors, std::vector<int>{0});
    EXPECT_NE(Log().find("<ERROR> ExtCallControl. SubscribeMNReceived. ANSubscribe returned "
                         "IPC_FAILURE... 31\n"),
              std::string::npos);
}

TEST_F(EventCore, CallForAConnectionThatIsGoneIsAcceptedAtOnceAndForgotten) {
    mCore->CallArrived(601, ExtCallType_TEL, "201", CallParams{}, CallParams{}, 0, 12345);
    exlink::ExchangeMessage m;
    ASSERT_TRUE(NextCommand(mCm.Get(), m));
    ASSERT_TRUE(std::holds_alternative<exlink::AcceptCallCmd>(m));
    EXPECT_EQ(std::get<exlink::AcceptCallCmd>(m).callId, 601u);
    EXPECT_EQ(std::get<exlink::AcceptCallCmd>(m).virtualAccept, 0);
    EXPECT_EQ(Call::GetCall(601), nullptr);
}

TEST_F(EventCore, CommandsFromAnotherThreadWhileEventsAreDelivered) {
    struct Counting : ICallNotify {
        std::atomic<int> events{0};
        void CallStateChanged(Call*, ExtCallState) override { ++events; }
    } listener;
    std::vector<std::unique_ptr<Call>> calls;
    for (unsigned long long id = 1; id <= 20; ++id) {
        calls.push_back(std::make_unique<Call>(id));
        calls.back()->SetListener(&listener);
    }
    // The call manager reads while commands come from another thread and
    // events are delivered on this one.
    std::atomic<int> closes{0};
    std::thread callManager([&] {
        exlink::ExchangeMessage m;
        while (closes < 20 && NextCommand(mCm.Get(), m, 2000)) {
            closes += std::holds_alternative<exlink::CloseCallCmd>(m) ? 1 : 0;
        }
    });
    std::thread commands([&] {
        for (unsigned long long id = 1; id <= 20; ++id) {
            Call(1000 + id).CloseCB(1000 + id);
        }
    });
    for (int round = 0; round < 5; ++round) {
        for (unsigned long long id = 1; id <= 20; ++id) {
            mCore->CallStateChanged(id, static_cast<ExtCallState>(1));
        }
    }
    commands.join();
    callManager.join();
    EXPECT_EQ(listener.events, 100);
    EXPECT_EQ(closes, 20);
}

}  // namespace
