// The control server in-process: connection objects over a loopback socket
// pair (dispatch, answers, time-outs, queue bound, hand-over of arriving
// calls, subscription errors) and the start and stop of the server thread.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "core/Call.h"
#include "core/ExtCallControl.h"
#include "core/Subscription.h"
#include "server/CallControlService.h"

namespace {

using CCS = CallControlService;

std::string Request(const std::string& method, const std::string& params) {
    return "<?xml version=\"1.0\"?><methodCall><methodName>Services.CallProcessingService." +
           method + "</methodName><params>" + params + "</params></methodCall>\r\n\r\n";
}

std::string Str(const std::string& text) {
    return "<param><value><string>" + text + "</string></value></param>";
}

// A connection object whose socket is connected to `client`.
class Connection : public ::testing::Test {
  protected:
    void SetUp() override {
        BsdSocket listener;
        ASSERT_NE(listener.Open(1, SockAddr(INADDR_LOOPBACK, 0), 1, 0), 0);
        sockaddr_in address{};
        socklen_t length = sizeof(address);
        getsockname(listener.GetDescriptor(), reinterpret_cast<sockaddr*>(&address), &length);
        client = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), length), 0);
        conn = std::make_unique<CCS>();
        ASSERT_EQ(listener.Accept(conn->mSocket), 1);
        conn->mState = 2;
    }
    void TearDown() override {
        conn.reset();
        close(client);
    }

    // Everything the connection wrote within `ms`.
    std::string Received(int ms = 200) {
        std::string text;
        pollfd p{client, POLLIN, 0};
        char buffer[65536];
        while (poll(&p, 1, ms) > 0) {
            const ssize_t n = recv(client, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                break;
            }
            text.append(buffer, static_cast<size_t>(n));
            ms = 50;
        }
        return text;
    }

    void Feed(const std::string& text) {
        conn->mRecvBuffer += text;
        while (conn->ProcessIncomingXmlRpc()) {
        }
    }

    int client = -1;
    std::unique_ptr<CCS> conn;
};

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

TEST_F(Connection, MessagesAreCutAtTheEmptyLineAndAPartialOneWaits) {
    const std::string partial = Request("closecall", Str("5"));
    Feed(Request("createcall", Str("5") + Str("201") + Str("pbx:301")) +
         Request("createcall", Str("6") + Str("201") + Str("pbx:302")) + "garbage\r\n\r\n" +
         partial.substr(0, 30));
    EXPECT_EQ(conn->mRecvBuffer, partial.substr(0, 30));
    ASSERT_NE(conn->GetCall(5), nullptr);
    ASSERT_NE(conn->GetCall(6), nullptr);
    Feed(partial.substr(30));
    EXPECT_EQ(conn->GetCall(5), nullptr);
    const std::string out = Received();
    EXPECT_EQ(Count(out, "<methodResponse>"), 3u);
    EXPECT_EQ(Count(out, "<fault>"), 0u);
    Feed(Request("closecall", Str("5")) + Request("bogus", ""));
    const std::string faults = Received();
    EXPECT_NE(faults.find("No such call"), std::string::npos);
    EXPECT_NE(faults.find("Unknown XML RPC method"), std::string::npos);
}

TEST_F(Connection, AnswerToAnOfferKeepsTheCallOnlyWithRemoteControl) {
    for (bool remote : {true, false}) {
        const unsigned long long id = remote ? 71 : 72;
        Call* call = new Call(id);
        call->SetListener(conn.get());
        conn->CallArrived(call, ExtCallType_PBX, "201", CallParams{}, CallParams{}, 0);
        ASSERT_TRUE(conn->SendRequest());
        ASSERT_EQ(conn->mlistSentRequests.size(), 1u);
        const std::string flag = remote ? "<boolean>1</boolean>" : "<boolean>0</boolean>";
        Feed(
            "<?xml version=\"1.0\"?><methodResponse><params><param><value><struct>"
            "<member><name>CallID</name><value><string>" +
            std::to_string(id) +
            "</string></value></member><member><name>action</name><value><string>accept"
            "</string></value></member><member><name>remotecontrol</name><value>" +
            flag + "</value></member></struct></value></param></params></methodResponse>\r\n\r\n");
        EXPECT_TRUE(conn->mlistSentRequests.empty());
        EXPECT_EQ(conn->GetCall(id) != nullptr, remote);
    }
}

TEST_F(Connection, TimedOutOfferIsGivenUpAndTheCallDropped) {
    Call* call = new Call(81);
    conn->CallArrived(call, ExtCallType_PBX, "201", CallParams{}, CallParams{}, 0);
    conn->CallStateChanged(call, static_cast<ExtCallState>(1));
    ASSERT_TRUE(conn->SendRequest());
    ASSERT_TRUE(conn->SendRequest());
    EXPECT_FALSE(conn->SendRequest());
    conn->FailRequest();
    EXPECT_EQ(conn->GetCall(81), nullptr);
    EXPECT_EQ(conn->mlistSentRequests.size(), 1u);
    conn->FailRequest();  // its call is gone: only dropped
    EXPECT_TRUE(conn->mlistSentRequests.empty());
}

TEST_F(Connection, QueueIsBounded) {
    Call call(91);
    for (size_t i = 0; i < CCS::kMaxQueuedRequests + 5; ++i) {
        conn->MessagePlayed(&call);
    }
    EXPECT_EQ(conn->mlistRequests.size(), CCS::kMaxQueuedRequests);
}

TEST_F(Connection, WritesNeverWaitForAClientThatIsNotReading) {
    // Small buffers on both ends, so that the socket soon takes nothing more.
    const int small = 4096;
    setsockopt(conn->mSocket.GetDescriptor(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    setsockopt(client, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    conn->mSocket.ChangeMode(1);
    Call call(95);
    const size_t total = 300;
    for (size_t i = 0; i < total; ++i) {
        conn->MessagePlayed(&call);
    }
    // Requests are taken until one is only partly written; then they stay
    // queued, and nothing here blocks.
    while (conn->SendRequest()) {
    }
    ASSERT_TRUE(conn->mbOutputPending);
    const size_t sent = conn->mlistSentRequests.size();
    EXPECT_LT(sent, total);
    EXPECT_EQ(conn->mnQueued, total - sent);
    // As the client reads, the passes write the rest, whole and in order.
    std::string text;
    for (int pass = 0; pass < 100000 && Count(text, "\r\n\r\n") < total; ++pass) {
        char buffer[8192];
        const ssize_t n = recv(client, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n > 0) {
            text.append(buffer, static_cast<size_t>(n));
        }
        ASSERT_TRUE(conn->Serve(false, true, ExtCallControl::GetCurTime()));
    }
    EXPECT_EQ(Count(text, "<methodName>Services.CallProcessingService.messageplayed</methodName>"),
              total);
    EXPECT_EQ(Count(text, "</methodCall>\r\n\r\n"), total);
    EXPECT_FALSE(conn->mbOutputPending);
    EXPECT_TRUE(conn->mOutput.empty());
    // A client that takes nothing for the send time-out is given up.
    conn->mbOutputPending = true;
    conn->mOutput = "x";
    conn->mnOutputSince = ExtCallControl::GetCurTime() - CCS::kSendTimeout;
    EXPECT_FALSE(conn->Serve(false, false, ExtCallControl::GetCurTime()));
}

TEST_F(Connection, ArrivingCallFindsItsConnectionBySerialOnly) {
    const CCS* token = reinterpret_cast<const CCS*>(static_cast<uintptr_t>(conn->GetSerial()));
    Call* call = new Call(101);
    EXPECT_FALSE(CCS::CallArrived(token, call, ExtCallType_PBX, "201", {}, {}, 0));
    CCS::mlistServicesInProgress.push_back(conn.get());
    const CCS* address = conn.get();
    EXPECT_FALSE(CCS::CallArrived(address, call, ExtCallType_PBX, "201", {}, {}, 0));
    EXPECT_TRUE(CCS::CallArrived(token, call, ExtCallType_PBX, "201", {}, {}, 0));
    CCS::mlistServicesInProgress.clear();
    EXPECT_EQ(conn->GetCall(101), call);
    EXPECT_EQ(conn->mlistRequests.size(), 1u);
}

TEST_F(Connection, ErrorEndsTheSubscriptionAndDuplicateIdsAreRefused) {
    const std::string subscribe =
        Request("subscribe", Str("111") +
                                 "<param><value><int>4</int></value></param><param><value><struct>"
                                 "<member><name>extension</name><value><string>201</string>"
                                 "</value></member></struct></value></param>");
    Feed(subscribe);
    Feed(subscribe);
    ASSERT_EQ(conn->mlistSubscriptions.size(), 1u);
    Subscription* s = conn->GetSubscription(111);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(Received(100), "");  // answered only by the notification service
    conn->ErrorConvey(s, PUAErrorCode{7});
    EXPECT_TRUE(conn->mlistSubscriptions.empty());
    EXPECT_EQ(Subscription::GetSubscription(111), nullptr);
    const std::string out = Received();
    EXPECT_NE(out.find("<boolean>0</boolean>"), std::string::npos);
    EXPECT_NE(out.find("<int>7</int>"), std::string::npos);
}

TEST_F(Connection, RequireAuthRefusesUntilAuthorised) {
    CCS::mbRequireAuth = true;
    Feed(Request("createcall", Str("121") + Str("201") + Str("pbx:301")));
    CCS::mbRequireAuth = false;
    EXPECT_EQ(conn->GetCall(121), nullptr);
    EXPECT_NE(Received().find("Not authorised"), std::string::npos);
}

TEST(Server, CleanUpStopsAThreadWaitingForItsPortAndIsRepeatable) {
    CCS::CleanUp();  // before any Start
    BsdSocket holder;
    ASSERT_NE(holder.Open(1, SockAddr(0, 0), 1, 0), 0);
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    getsockname(holder.GetDescriptor(), reinterpret_cast<sockaddr*>(&address), &length);
    CCS::mListenPort = ntohs(address.sin_port);
    CCS::Start();
    CCS::Start();  // ignored while running
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto begin = std::chrono::steady_clock::now();
    CCS::CleanUp();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
    EXPECT_FALSE(CCS::mbThreadStarted);
    std::thread other([] {
        EXPECT_TRUE(CCS::mServMutex.TryLock());
        CCS::mServMutex.Unlock();
    });
    other.join();
    CCS::CleanUp();
    CCS::mListenPort = 4849;
}

}  // namespace
