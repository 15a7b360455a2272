// The control server in-process: a connection object over a loopback socket
// pair (answers to offers, subscription errors, refusal before
// authentication, queue bound, partial writes, hand-over of arriving calls)
// and the start and stop of the server thread. Framing, time-outs and
// authentication are driven end to end (tests/e2e/test_server_core.py,
// test_faults_peers.py, test_notify.py).
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <thread>

#include "core/Call.h"
#include "core/ExtCallControl.h"
#include "core/Subscription.h"
#include "server/CallControlService.h"
#include "xmlrpc/SubscriptionMethods.h"

#include "TempRoot.h"

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
        conn = CCS::Accept(listener);
        ASSERT_NE(conn, nullptr);
    }
    void TearDown() override {
        conn.reset();
        close(client);
    }

    // Serves the connection once a second from `start` on, as the connection
    // thread's passes would; the second at which it was given up, 0 if it
    // was not within 30.
    int SecondsUntilGivenUp(unsigned long start) {
        for (int second = 1; second <= 30; ++second) {
            if (!conn->Serve(false, false, start + static_cast<unsigned long>(second))) {
                return second;
            }
        }
        return 0;
    }

    // The client took part of the burst at once (its kernel's buffer), then
    // nothing: given up within a second or two of the send time-out.
    void ExpectGivenUpAfterSendTimeout(unsigned long start) {
        const int second = SecondsUntilGivenUp(start);
        EXPECT_GE(second, CCS::kSendTimeout);
        EXPECT_LE(second, CCS::kSendTimeout + 2);
    }

    // What the connection wrote so far: its answers are written at once.
    std::string Received() {
        char buffer[65536];
        const ssize_t n = recv(client, buffer, sizeof(buffer), MSG_DONTWAIT);
        return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    }

    void Feed(const std::string& text) { conn->TakeInput(text.data(), text.size()); }

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

TEST_F(Connection, AnswerToAnOfferKeepsTheCallOnlyWithRemoteControl) {
    for (bool remote : {true, false}) {
        const unsigned long long id = remote ? 71 : 72;
        Call* call = new Call(id);
        call->SetListener(conn.get());
        conn->CallArrived(call, ExtCallType_PBX, "201", CallParams{}, CallParams{}, 0);
        ASSERT_TRUE(conn->SendRequest());
        Feed(
            "<?xml version=\"1.0\"?><methodResponse><params><param><value><struct>"
            "<member><name>CallID</name><value><string>" +
            std::to_string(id) +
            "</string></value></member><member><name>action</name><value><string>accept"
            "</string></value></member><member><name>remotecontrol</name><value><boolean>" +
            (remote ? "1" : "0") +
            "</boolean></value></member></struct></value></param></params></methodResponse>"
            "\r\n\r\n");
        EXPECT_EQ(conn->AwaitingAnswers(), 0u);
        EXPECT_EQ(conn->GetCall(id) != nullptr, remote);
    }
}

TEST_F(Connection, ErrorEndsTheSubscriptionAndDuplicateIdsAreRefused) {
    const std::string subscribe =
        Request("subscribe", Str("111") +
                                 "<param><value><int>4</int></value></param><param><value>"
                                 "<struct><member><name>extension</name><value><string>201"
                                 "</string></value></member></struct></value></param>");
    Feed(subscribe + subscribe);
    ASSERT_EQ(conn->SubscriptionCount(), 1u);
    Subscription* s = conn->GetSubscription(111);
    ASSERT_NE(s, nullptr);
    conn->ErrorConvey(s, PUAErrorCode{7});
    EXPECT_EQ(conn->SubscriptionCount(), 0u);
    EXPECT_NE(Received().find("<boolean>0</boolean>"), std::string::npos);
}

TEST_F(Connection, RequireAuthRefusesUntilAuthorised) {
    CCS::mbRequireAuth = true;
    Feed(Request("createcall", Str("121") + Str("201") + Str("pbx:301")));
    CCS::mbRequireAuth = false;
    EXPECT_EQ(conn->GetCall(121), nullptr);
    EXPECT_NE(Received().find("Not authorised"), std::string::npos);
}

TEST_F(Connection, QueueIsBounded) {
    Call call(91);
    for (size_t i = 0; i < CCS::kMaxQueuedRequests + 5; ++i) {
        conn->MessagePlayed(&call);
    }
    EXPECT_EQ(conn->QueuedRequests(), CCS::kMaxQueuedRequests);
}

// A CDR's text is built once for all its subscribers, and with
// "write-all-queued" a pass writes every queued request at once: the bytes
// are still those each request's own text gives, in order.
TEST_F(Connection, SharedEventTextAndGroupedWritesKeepTheBytes) {
    RcCDR cdr, other;
    cdr.calledUser = other.calledUser = "<&301>";
    other.duration = 9;
    CallStatistics statistics;
    statistics.rtpTxPack = 5;
    const struct {
        unsigned long long id;
        const RcCDR& record;
        const CallStatistics* statistics;
    } events[] = {{5, cdr, nullptr},
                  {18446744073709551615ULL, cdr, nullptr},
                  {6, other, nullptr},
                  {6, other, &statistics},
                  {7, other, &statistics}};
    for (bool all : {false, true}) {
        CCS::mbWriteAllQueued = all;
        std::string expected;
        for (const auto& e : events) {
            Subscription s(e.id, SubscriptionType_CDR, nullptr);
            conn->CDRArrived(&s, 1, e.record, e.statistics);
            CDRArrivedMethod m;
            m.SetParams(e.id, 1, e.record);
            if (e.statistics != nullptr) {
                m.SetStatistics(*e.statistics);
            }
            ASSERT_TRUE(m.BuildXML(expected));
        }
        const size_t awaiting = conn->AwaitingAnswers();
        ASSERT_TRUE(conn->SendRequest());
        EXPECT_EQ(conn->QueuedRequests(), all ? 0u : std::size(events) - 1);
        while (conn->SendRequest()) {
        }
        EXPECT_EQ(conn->AwaitingAnswers() - awaiting, std::size(events));
        EXPECT_EQ(Received(), expected);  // loopback: all there once written
    }
    CCS::mbWriteAllQueued = false;
}

TEST_F(Connection, WritesNeverWaitForAClientThatIsNotReading) {
    // Small buffers on both ends, so that the socket soon takes nothing more.
    const int small = 4096;
    conn->Channel().SetSendBuffer(small);
    setsockopt(client, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    Call call(95);
    const size_t total = 300;
    for (size_t i = 0; i < total; ++i) {
        conn->MessagePlayed(&call);
    }
    // Requests are taken until one is only partly written; then they stay
    // queued, and nothing here blocks.
    while (conn->SendRequest()) {
    }
    ASSERT_TRUE(conn->Channel().OutputPending());
    const size_t sent = conn->AwaitingAnswers();
    EXPECT_LT(sent, total);
    EXPECT_EQ(conn->QueuedRequests(), total - sent);
    // As the client reads, the passes write the rest, whole and in order.
    std::string text;
    for (int pass = 0; pass < 100000 && Count(text, "\r\n\r\n") < total; ++pass) {
        char buffer[8192];
        const ssize_t n = recv(client, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n > 0) {
            text.append(buffer, static_cast<size_t>(n));
        }
        ASSERT_TRUE(conn->Serve(false, true, ExtCallControl::GetMonotonicTime()));
    }
    EXPECT_EQ(Count(text, "<methodName>Services.CallProcessingService.messageplayed</methodName>"),
              total);
    EXPECT_EQ(Count(text, "</methodCall>\r\n\r\n"), total);
    EXPECT_FALSE(conn->Channel().OutputPending());
    // A client that has taken everything is never given up, however long it
    // stays idle.
    const unsigned long start = ExtCallControl::GetMonotonicTime();
    EXPECT_EQ(SecondsUntilGivenUp(start), 0);
    EXPECT_EQ(conn->Channel().LookDue(), 0u);
    // One that stops reading while output waits is given up once it has
    // taken nothing for the send time-out.
    for (size_t i = 0; i < total; ++i) {
        conn->MessagePlayed(&call);
    }
    while (conn->SendRequest()) {
    }
    ASSERT_TRUE(conn->Channel().OutputPending());
    ExpectGivenUpAfterSendTimeout(start);
}

TEST_F(Connection, ClientThatReadsNothingIsGivenUpWhenTheKernelHoldsAllWeWrote) {
    // The connection's send buffer takes every request at once, so nothing
    // waits in its own pending output; the client still takes nothing.
    const int small = 4096;
    setsockopt(client, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    Call call(96);
    for (int i = 0; i < 100; ++i) {
        conn->MessagePlayed(&call);
    }
    while (conn->SendRequest()) {
    }
    ASSERT_FALSE(conn->Channel().OutputPending());
    ExpectGivenUpAfterSendTimeout(ExtCallControl::GetMonotonicTime());
}

TEST_F(Connection, UploadBodyIsTakenAsItArrivesAndEndsAtItsDeadline) {
    TempRoot root;
    const int pieceTimeout = CCS::mnReqTimeout;
    CCS::mnReqTimeout = 300;  // a trickling client keeps each piece well within this
    const unsigned long start = ExtCallControl::GetMonotonicTime();
    Feed(
        "<?xml version=\"1.0\"?><methodCall><methodName>Services.SystemService."
        "configurationupdate</methodName><params>" +
        Str("5") + Str("t.cfg") +
        "<param><value><int>2000</int></value></param><param><value><boolean>1</boolean>"
        "</value></param></params></methodCall>\r\n\r\n" +
        std::string(1500, 'x'));
    EXPECT_EQ(Received(), "OK");  // for the first chunk; the answer waits for the rest
    // A request queued meanwhile is not written into the body's "OK"s.
    Call call(97);
    conn->MessagePlayed(&call);
    EXPECT_TRUE(conn->Serve(false, false, start + 1));
    EXPECT_EQ(Received(), "");
    EXPECT_TRUE(std::filesystem::exists(root / "tmp/t.cfg"));
    EXPECT_FALSE(conn->Serve(false, false, start + 30));
    EXPECT_TRUE(conn->Channel().Broken());
    EXPECT_FALSE(std::filesystem::exists(root / "tmp/t.cfg"));
    CCS::mnReqTimeout = pieceTimeout;
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
    EXPECT_EQ(conn->QueuedRequests(), 1u);
}

// With "event-thread-writes" the end of an event's batch writes what it
// queued, unless the connection thread is in a pass (it holds mServMutex),
// too many connections wait, or a request time-out must be kept by the loop.
TEST_F(Connection, EventThreadWritesAFewConnectionsAtTheEndOfItsBatch) {
    const int timeout = CCS::mnReqTimeout;
    CCS::mlistServicesInProgress.push_back(conn.get());
    CCS::mbEventThreadWrites = true;
    Call call(103);
    CCS::mnReqTimeout = 5;
    conn->MessagePlayed(&call);
    EXPECT_FALSE(CCS::WriteQueuedNow());  // written; the loop must learn of its deadline
    EXPECT_EQ(conn->AwaitingAnswers(), 1u);
    conn->MessagePlayed(&call);
    EXPECT_TRUE(CCS::WriteQueuedNow());  // the first request's deadline comes sooner
    EXPECT_EQ(Count(Received(), "messageplayed"), 2u);

    CCS::mnReqTimeout = 0;
    const auto event = [&] {
        CCS::BeginWakeBatch();
        conn->MessagePlayed(&call);
        CCS::EndWakeBatch();
    };
    for (bool on : {false, true}) {
        CCS::mbEventThreadWrites = on;
        event();
        EXPECT_EQ(conn->QueuedRequests(), on ? 0u : 1u);
        EXPECT_EQ(Count(Received(), "messageplayed"), on ? 1u : 0u);
        while (conn->SendRequest()) {
        }
        Received();
    }
    std::promise<void> held, done;
    std::thread pass([&] {  // the connection thread in a pass
        ThreadMutexLock lock(CCS::mServMutex);
        held.set_value();
        done.get_future().wait();
    });
    held.get_future().wait();
    event();
    EXPECT_EQ(conn->QueuedRequests(), 1u);
    done.set_value();
    pass.join();
    CCS::mlistServicesInProgress.assign(CCS::kEventWritesMax + 1, conn.get());
    EXPECT_FALSE(CCS::WriteQueuedNow());
    EXPECT_EQ(conn->QueuedRequests(), 1u);
    CCS::mlistServicesInProgress.clear();
    CCS::mbEventThreadWrites = false;
    CCS::mnReqTimeout = timeout;
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
