// The client session fed with canned bytes: framing, answering the daemon's
// requests while waiting, order-matched answers, and upload acknowledgements.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "Session.h"
#include "xmlrpc/CallProcessingMethods.h"
#include "xmlrpc/SystemMethods.h"

namespace {

// Hands out the queued chunks one per Read, then times out (or reports the
// close when asked to).
class FakeTransport : public Transport {
  public:
    std::deque<std::string> input;
    std::vector<std::string> written;
    bool closeAtEnd = false;

    bool Write(const std::string& bytes) override {
        written.push_back(bytes);
        return true;
    }
    long Read(char* buffer, size_t size, int) override {
        if (input.empty()) {
            return closeAtEnd ? kClosed : kTimeout;
        }
        std::string chunk = input.front();
        input.pop_front();
        if (chunk.size() > size) {
            input.push_front(chunk.substr(size));
            chunk.resize(size);
        }
        chunk.copy(buffer, chunk.size());
        return static_cast<long>(chunk.size());
    }
    std::string LastError() const override { return "fake"; }
};

std::string Text(XmlRpcMethod& m) {
    std::string text;
    EXPECT_TRUE(m.BuildXML(text));
    return text;
}

std::string StateChanged(unsigned long long id, int state) {
    CallStateChangedMethod m;
    m.SetParams(id, state);
    return Text(m);
}

std::string PlainAnswer(int index, unsigned long long id) {
    XmlRpcResponseMethod r(index);
    r.SetParams(id);
    return Text(r);
}

std::unique_ptr<CloseCallMethod> Close(unsigned long long id) {
    auto m = std::make_unique<CloseCallMethod>();
    m->SetParams(id);
    return m;
}

class SessionTest : public ::testing::Test {
  protected:
    SessionTest() : session(transport) {
        session.SetRequestHandler([this](XmlRpcRequestMethod& r) {
            seen.push_back(r.GetMethodIndex());
            return std::unique_ptr<XmlRpcResponseMethod>();
        });
    }
    FakeTransport transport;
    Session session;
    std::vector<int> seen;
};

}  // namespace

TEST_F(SessionTest, AnswersDaemonRequestsWhileWaitingAndMatchesTheAnswer) {
    // The event is cut across reads, and the answer shares a read with its tail.
    const std::string event = StateChanged(42, 2);
    const std::string answer = PlainAnswer(kMethodCloseCall, 42);
    transport.input = {event.substr(0, 30), event.substr(30) + answer.substr(0, 10),
                       answer.substr(10)};
    std::unique_ptr<XmlRpcResponseMethod> got;
    ASSERT_EQ(session.Call(Close(42), got, 1000), Session::Status::kOk);
    EXPECT_EQ(got->GetCallID(), 42u);
    EXPECT_FALSE(got->IsFault());
    EXPECT_EQ(seen, std::vector<int>{kMethodCallStateChanged});
    // Our request first, then the plain answer to the event, carrying its ID.
    ASSERT_EQ(transport.written.size(), 2u);
    EXPECT_NE(transport.written[0].find("closecall"), std::string::npos);
    XmlRpcResponseMethod reply(kMethodCallStateChanged);
    EXPECT_TRUE(reply.Parse(transport.written[1].c_str()));
    EXPECT_EQ(reply.GetCallID(), 42u);
    EXPECT_EQ(session.Outstanding(), 0u);
}

TEST_F(SessionTest, AnswersAreMatchedByOrderAndStrayAnswersAreDropped) {
    // An answer when nothing was asked belongs to no one.
    transport.input = {PlainAnswer(kMethodCloseCall, 99)};
    EXPECT_EQ(session.Serve(0), Session::Status::kTimeout);

    const uint64_t first = session.Send(Close(1));
    const uint64_t second = session.Send(Close(2));
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    FaultResponseMethod fault(kMethodCloseCall);
    fault.SetParams(0, "No such call");
    // Whatever the texts say, the first answer is the first request's.
    transport.input = {Text(fault) + PlainAnswer(kMethodCloseCall, 7)};
    std::unique_ptr<XmlRpcResponseMethod> two;
    ASSERT_EQ(session.Await(second, two, 1000), Session::Status::kOk);
    EXPECT_EQ(two->GetCallID(), 7u);
    std::unique_ptr<XmlRpcResponseMethod> one;
    ASSERT_EQ(session.Await(first, one, 1000), Session::Status::kOk);
    EXPECT_TRUE(one->IsFault());
}

TEST_F(SessionTest, UnreadableTextsAndEndsOfTheConnection) {
    // An unknown method of the daemon is still answered (with a fault), so
    // that the daemon's own order matching stays in step.
    transport.input = {
        "<?xml version=\"1.0\"?><methodCall><methodName>x.y</methodName>"
        "<params></params></methodCall>\r\n\r\n"};
    EXPECT_EQ(session.Serve(0), Session::Status::kTimeout);
    ASSERT_EQ(transport.written.size(), 1u);
    EXPECT_NE(transport.written[0].find("Unknown XML RPC method"), std::string::npos);

    // An answer that is not one of the request's shapes ends the wait.
    transport.input = {
        "<methodResponse><params><param><value><int>1</int></value>"
        "</param></params></methodResponse>\r\n\r\n"};
    auto info = std::make_unique<GetSystemInfoMethod>();
    info->SetParams(1);
    std::unique_ptr<XmlRpcResponseMethod> got;
    EXPECT_EQ(session.Call(std::move(info), got, 1000), Session::Status::kBadAnswer);

    EXPECT_EQ(session.Call(Close(3), got, 0), Session::Status::kTimeout);
    transport.closeAtEnd = true;
    EXPECT_EQ(session.Await(0, got, 1000), Session::Status::kClosed);
}

TEST_F(SessionTest, UploadAcknowledgementsOutsideTheFraming) {
    auto upload = std::make_unique<FileTransferMethod>();
    upload->SetParams(5, 0, "201", "a.wav", 2048, true);
    const uint64_t ticket = session.Send(std::move(upload));
    bool acked = false;

    // An event written before the daemon read the request comes first; the
    // "OK" may arrive split.
    transport.input = {StateChanged(8, 1) + "O", "KOK"};
    ASSERT_EQ(session.AwaitAck(ticket, acked, 1000), Session::Status::kOk);
    EXPECT_TRUE(acked);
    EXPECT_EQ(seen, std::vector<int>{kMethodCallStateChanged});
    ASSERT_EQ(session.AwaitAck(ticket, acked, 1000), Session::Status::kOk);
    EXPECT_TRUE(acked);

    // A refusal instead of an "OK": the answer is there for Await.
    FileTransferResponseMethod refusal;
    refusal.SetParams(5);
    refusal.SetExt(0, "201", "a.wav", 2048, true);
    transport.input = {Text(refusal)};
    ASSERT_EQ(session.AwaitAck(ticket, acked, 1000), Session::Status::kOk);
    EXPECT_FALSE(acked);
    std::unique_ptr<XmlRpcResponseMethod> got;
    ASSERT_EQ(session.Await(ticket, got, 0), Session::Status::kOk);
    auto* result = dynamic_cast<FileTransferResponseMethod*>(got.get());
    ASSERT_NE(result, nullptr);
    EXPECT_FALSE(result->GetResult());
}
