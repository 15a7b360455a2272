// How valtctl answers the calls it is offered and shows the daemon's requests.
#include "Events.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "xmlrpc/CallProcessingMethods.h"
#include "xmlrpc/SubscriptionMethods.h"

namespace {

// The request as the daemon sends it, read back by the factory.
std::unique_ptr<XmlRpcRequestMethod> Received(XmlRpcRequestMethod& sent) {
    std::string text;
    EXPECT_TRUE(sent.BuildXML(text));
    text.resize(text.find("\r\n\r\n"));
    return std::unique_ptr<XmlRpcRequestMethod>(XmlRpcRequestMethod::CreateFromXML(text.c_str()));
}

}  // namespace

TEST(EventsTest, AnswersOffersPerPolicyAndShowsExtensionListsReadably) {
    CallParams from;
    from.user = "300";
    CallArrivedMethod process;
    ASSERT_TRUE(process.SetParams(1001, ExtCallType_PBX, "201", from, CallParams{}, 0));
    auto offer = Received(process);
    ASSERT_NE(offer, nullptr);
    AnswerPolicy policy;
    policy.kind = AnswerPolicy::kRedirect;
    policy.targets = {"pbx:202", "tel:0301234"};
    std::string decision;
    auto answer = BuildOfferAnswer(*offer, policy, 0, decision);
    EXPECT_EQ(decision, "redirect:pbx:202,tel:0301234");
    EXPECT_EQ(dynamic_cast<CallArrivedResponseMethod&>(*answer).GetAction(),
              CallArrivedResponseMethod::ActionRedirect);
    policy.kind = AnswerPolicy::kDecline;
    answer = BuildOfferAnswer(*offer, policy, 0, decision);
    EXPECT_EQ(dynamic_cast<CallArrivedResponseMethod&>(*answer).GetAction(),
              CallArrivedResponseMethod::ActionDecline);

    // An originated call is taken under the routing subscription.
    CallOriginatedMethod originated;
    ASSERT_TRUE(originated.SetParams(77, ExtCallType_PBX, "201", from, CallParams{}, "0*"));
    policy.kind = AnswerPolicy::kAccept;
    answer = BuildOfferAnswer(*Received(originated), policy, 555, decision);
    std::string text;
    ASSERT_TRUE(answer->BuildXML(text));
    EXPECT_NE(text.find(">555<"), std::string::npos) << text;

    // The extension-list subscription valtctl asks for.
    SubscribeMethod subscribe;
    subscribe.SetParamsExtList(12);
    EXPECT_EQ(static_cast<SubscribeMethod&>(*Received(subscribe)).GetSubType(),
              6);  // extension list

    // Scalar fields on the first line, one indented line per extension.
    ExtListArrivedMethod list;
    list.SetParams(9, {{"201", "Front Desk", "sip:201@pbx", 1, 0}, {"202", "", "", 1, 2}});
    EXPECT_EQ(FormatEvent(DescribeRequest(*Received(list))),
              "extlistarrived subscription=9\n"
              "  ext=201 display=\"Front Desk\" sip=sip:201@pbx type=1 line=0\n"
              "  ext=202 display=\"\" sip=\"\" type=1 line=2");
}
