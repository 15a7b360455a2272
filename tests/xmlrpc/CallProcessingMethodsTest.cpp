#include <gtest/gtest.h>

#include "XmlRpcTestSupport.h"
#include "xmlrpc/CallProcessingMethods.h"

namespace {

std::string Member(const std::string& name, const std::string& value) {
    return "<member><name>" + name + "</name>" + value + "</member>";
}

// Executes a "process" answer made of the given struct members (and ID).
Calls Decide(const std::string& members, const std::vector<std::string>& more = {}) {
    std::string text = "<?xml version=\"1.0\"?><methodResponse><params><param><value><struct>" +
                       members + "</struct></value></param>";
    for (const std::string& p : more) {
        text += "<param>" + p + "</param>";
    }
    text += "</params></methodResponse>\r\n\r\n";
    CallArrivedMethod offer;
    std::unique_ptr<XmlRpcResponseMethod> r(offer.CreateResponseFromXML(text.c_str()));
    EXPECT_TRUE(r && !r->IsFault()) << text;
    RecordingCallback cb;
    if (r) {
        r->Execute(cb);
    }
    return cb.calls;
}

std::string Targets(const std::vector<std::string>& ts) {
    std::string a = "<value><array><data>";
    for (const std::string& t : ts) {
        a += Str(t);
    }
    return a + "</data></array></value>";
}

}  // namespace

// Each command, its parameters and the operation it calls.
TEST(CallCommands, EachCommandReachesItsOperation) {
    const struct {
        const char* method;
        std::vector<std::string> params;
        const char* call;
    } cases[] = {
        {"createcall",
         {Str("0"), Str("pbx:100"), Str("pbx:201")},
         "Create(0,pbx:100,{0|201||||},)"},
        {"createcall",
         {Str("5"), Str("x"), Str("555"), Str("Desk")},
         "Create(5,x,{3|555||||},Desk)"},
        {"transfercall",
         {Str("5"), Str("\"A\" &lt;sip:201@h:5060&gt;")},
         "Transfer(5,{1|201||A|h|5060})"},
        {"joincalls", {Str("5"), Str("abc")}, "Join(5,0)"},
        {"unjoincalls", {Str("5"), Str("6")}, "Unjoin(5,6)"},
        {"injectdtmf", {Str("5"), Str("1#")}, "InjectDTMF(5,1#)"},
        {"enabledtmfdetection", {Str("5"), Bool(true)}, "EnableDtmfDetection(5,1)"},
        {"incomingcallhandling", {Str("201"), Bool(false)}, "IncomingCallHandling(201,0)"},
        {"getextension", {Str("bob")}, "GetExtension(bob)"},
        {"authenticate", {Str("u"), Str("p")}, "Authenticate(u,p)"},
        {"sauthenticate", {Str("u"), Str("t"), Str("d")}, "SecureAuthenticate(u,t,d)"},
        {"dtmfdigitdetected", {Str("5"), Int(49 + 256)}, "DtmfDigitDetected(5,1)"},
        {"callstatechanged", {Str("5"), Int(3)}, "CallStateChanged(5,3)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Calls{c.call}, Exec(RequestText(Method(c.method), c.params))) << c.method;
    }
}

TEST(CallCommands, UnusablePartiesCallNothing) {
    EXPECT_TRUE(Exec(RequestText(Method("createcall"), {Str("5"), Str("x"), Str("")})).empty());
    EXPECT_TRUE(Exec(RequestText(Method("transfercall"), {Str("5"), Str("x sip:")})).empty());
}

TEST(CallOffers, ProcessStructFollowsTheCallType) {
    CallParams from;
    from.type = ExtCallType_PSTN;  // the record's own type is not what decides
    from.user = "alice";
    from.sipName = "Alice";
    from.host = "10.0.0.5";
    CallParams to;
    to.user = "5551234";
    CallArrivedMethod offer;
    ASSERT_TRUE(offer.SetParams(9, ExtCallType_SIP, "201", from, to, 3));
    const std::string text = Built(offer);
    EXPECT_NE(
        std::string::npos,
        text.find("<name>From</name>\r\n<value><string>\"Alice\" &lt;sip:alice@10.0.0.5&gt;"));
    EXPECT_NE(std::string::npos, text.find("<value><string>tel:5551234</string>"));
    EXPECT_EQ(Calls{"CallArrived(9,1,201,{1|alice||Alice|10.0.0.5|},{3|5551234||||},3)"},
              Exec(text));

    ASSERT_TRUE(offer.SetParams(9, static_cast<ExtCallType>(42), "201", from, to, 0));
    EXPECT_NE(std::string::npos, Built(offer).find("<value><string>tel:alice</string>"));

    CallOriginatedMethod originated;
    to.host = "gw";
    ASSERT_TRUE(originated.SetParams(4, ExtCallType_VM, "201", from, to, "9*"));
    EXPECT_EQ(Calls{"CallOriginated(4,5,201,{5|alice||||},{1|5551234|||gw|},9*)"},
              Exec(Built(originated)));
}

TEST(CallDecisions, ActionsAndTheirFallbacks) {
    EXPECT_EQ(
        Calls{"Reject(7)"},
        Decide(Member("action", Str("DECLINE")) + Member("reason", Targets({"busy"})), {Str("7")}));
    EXPECT_EQ(Calls{"Accept(7,,,0)"}, Decide(Member("action", Str("transfer")), {Str("7")}));
    EXPECT_EQ(Calls{"Accept(7,55,Bob,1)"},
              Decide(Member("callerid", Str("55")) + Member("displayname", Str("Bob")) +
                         Member("remotecontrol", Bool(true)),
                     {Str("7")}));
    // A remote-control flag of the wrong type counts as false.
    EXPECT_EQ(Calls{"Accept(7,,,0)"}, Decide(Member("remotecontrol", Int(1)), {Str("7")}));
    // An action of the wrong type is no action: accept.
    EXPECT_EQ(Calls{"Accept(7,,,0)"}, Decide(Member("action", Int(1)), {Str("7")}));
}

TEST(CallDecisions, RedirectTargetsAndMessageTaker) {
    EXPECT_EQ(Calls{"Forward(7,{2147483648|300||||}{3|555||||},c,d)"},
              Decide(Member("action", Str("redirect")) +
                         Member("target", Targets({"pbx:300;actor=\"msg-taker\"", "", "555"})) +
                         Member("callerid", Str("c")) + Member("displayname", Str("d")),
                     {Str("7")}));
    EXPECT_EQ(Calls{"Accept(7,c,,0)"},
              Decide(Member("action", Str("Redirect")) + Member("target", Targets({""})) +
                         Member("callerid", Str("c")),
                     {Str("7")}));
}

TEST(CallDecisions, CallIdMemberAndItsOverride) {
    EXPECT_EQ(Calls{"Reject(7)"},
              Decide(Member("CallID", Str("7")) + Member("action", Str("decline"))));
    EXPECT_EQ(Calls{"Reject(8)"},
              Decide(Member("CallID", Str("7")) + Member("action", Str("decline")), {Str("8")}));
}
