// How valtctl reads the daemon's requests and answers offered calls.
#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <string>

#include "Client.h"
#include "Events.h"
#include "xmlrpc/CallProcessingMethods.h"
#include "xmlrpc/SubscriptionMethods.h"

namespace {

// The request as the daemon would send it, read back by the factory.
std::unique_ptr<XmlRpcRequestMethod> Received(XmlRpcRequestMethod& sent) {
    std::string text;
    EXPECT_TRUE(sent.BuildXML(text));
    text.resize(text.find("\r\n\r\n"));
    XmlRpcRequestMethod* m = XmlRpcRequestMethod::CreateFromXML(text.c_str());
    EXPECT_NE(m, nullptr);
    EXPECT_NE(m, XmlRpcRequestMethod::_UnknownMethod);
    return std::unique_ptr<XmlRpcRequestMethod>(m);
}

// The decision as the daemon reads it.
std::string DecisionStruct(XmlRpcRequestMethod& offer, XmlRpcResponseMethod& answer) {
    std::string text;
    EXPECT_TRUE(answer.BuildXML(text));
    std::unique_ptr<XmlRpcResponseMethod> read(offer.CreateResponseFromXML(text.c_str()));
    EXPECT_NE(read, nullptr);
    EXPECT_EQ(read->GetCallID(), offer.GetCallID());
    return text;
}

}  // namespace

TEST(EventsTest, DescribesCallEventsAndNotifications) {
    CallStateChangedMethod state;
    state.SetParams(18446744073709551615ull, 3);
    Event e = DescribeRequest(*Received(state));
    EXPECT_EQ(
        e.dump(),
        R"({"event":"callstatechanged","call":"18446744073709551615","state":3,"ended":true})");

    DtmfDigitReceivedMethod digit;
    digit.SetParams(5, '#');
    EXPECT_EQ(DescribeRequest(*Received(digit))["digit"], "#");

    std::list<Ext> extensions = {{"201", "Front Desk", "sip:201@pbx", 1, 0}, {"202", "", "", 1, 2}};
    ExtListArrivedMethod list;
    list.SetParams(9, extensions);
    e = DescribeRequest(*Received(list));
    EXPECT_EQ(e["subscription"], "9");
    ASSERT_EQ(e["extensions"].size(), 2u);
    EXPECT_EQ(e["extensions"][1]["line"], 2);
    // Readable: scalar fields on the first line, one indented line per entry.
    EXPECT_EQ(FormatEvent(e),
              "extlistarrived subscription=9\n"
              "  ext=201 display=\"Front Desk\" sip=sip:201@pbx type=1 line=0\n"
              "  ext=202 display=\"\" sip=\"\" type=1 line=2");

    RcCDR cdr;
    cdr.callingUser = "201";
    cdr.calledUser = "300";
    cdr.duration = 42;
    CDRArrivedMethod record;
    record.SetParams(4, 1, cdr);
    e = DescribeRequest(*Received(record));
    EXPECT_EQ(e["from"], "201");
    EXPECT_EQ(e["duration"], 42);
    EXPECT_FALSE(e.contains("statistics"));
}

TEST(EventsTest, AnswersOffersPerPolicy) {
    CallParams from;
    from.user = "300";
    CallParams to;
    to.user = "201";
    CallArrivedMethod process;
    ASSERT_TRUE(process.SetParams(1001, ExtCallType_PBX, "201", from, to, 0));
    auto offer = Received(process);
    Event e = DescribeRequest(*offer);
    EXPECT_EQ(e["call"], "1001");
    EXPECT_EQ(e["from"], "pbx:300");
    EXPECT_EQ(e["to"], "tel:201");

    AnswerPolicy policy;
    policy.remoteControl = true;
    std::string decision;
    auto answer = BuildOfferAnswer(*offer, policy, 0, decision);
    ASSERT_NE(answer, nullptr);
    auto* accept = dynamic_cast<CallArrivedResponseMethod*>(answer.get());
    ASSERT_NE(accept, nullptr);
    EXPECT_TRUE(accept->IsAccept());
    EXPECT_NE(DecisionStruct(*offer, *answer).find("remotecontrol"), std::string::npos);

    policy.kind = AnswerPolicy::kRedirect;
    policy.targets = {"pbx:202", "tel:0301234"};
    answer = BuildOfferAnswer(*offer, policy, 0, decision);
    EXPECT_EQ(decision, "redirect:pbx:202,tel:0301234");
    EXPECT_EQ(dynamic_cast<CallArrivedResponseMethod&>(*answer).GetAction(),
              CallArrivedResponseMethod::ActionRedirect);

    policy.kind = AnswerPolicy::kDecline;
    answer = BuildOfferAnswer(*offer, policy, 0, decision);
    EXPECT_EQ(dynamic_cast<CallArrivedResponseMethod&>(*answer).GetAction(),
              CallArrivedResponseMethod::ActionDecline);

    // An originated call is taken under the routing subscription.
    CallOriginatedMethod originated;
    ASSERT_TRUE(originated.SetParams(77, ExtCallType_PBX, "201", from, to, "0*"));
    auto routed = Received(originated);
    EXPECT_EQ(DescribeRequest(*routed)["pattern"], "0*");
    policy.kind = AnswerPolicy::kAccept;
    answer = BuildOfferAnswer(*routed, policy, 555, decision);
    EXPECT_NE(DecisionStruct(*routed, *answer).find("555"), std::string::npos);
    policy.kind = AnswerPolicy::kDecline;
    answer = BuildOfferAnswer(*routed, policy, 555, decision);
    EXPECT_FALSE(dynamic_cast<CallOriginatedResponseMethod&>(*answer).IsAccept());

    // Not an offer: no decision to make.
    MessagePlayedMethod played;
    played.SetParams(1);
    EXPECT_EQ(BuildOfferAnswer(played, policy, 0, decision), nullptr);
}

TEST(EventsTest, SecureDigestIsLowercaseMd5OfUserPasswordAndStamp) {
    EXPECT_EQ(SecureDigest("201", "s3cret", "1700000000"), "55bedca7e566775f76d3d55508df589e");
}
