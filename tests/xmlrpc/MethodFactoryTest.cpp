#include <gtest/gtest.h>

#include <algorithm>

#include "XmlRpcTestSupport.h"
#include "xmlrpc/CallProcessingMethods.h"
#include "xmlrpc/IntrospectionMethods.h"
#include "xmlrpc/SubscriptionMethods.h"
#include "xmlrpc/XmlRpcLog.h"

namespace {

std::vector<std::string> gLog;
void Capture(const char* line) {
    gLog.push_back(line);
}

class MethodFactory : public ::testing::Test {
  protected:
    void SetUp() override {
        gLog.clear();
        SetXmlRpcLogSink(&Capture);
    }
    void TearDown() override { SetXmlRpcLogSink(nullptr); }
};

}  // namespace

// Every name of the method table creating its class, whatever the case, is
// checked by Interop.PythonTextsParseAndOurRewritesReadTheSame and
// fuzz_replay.xmlrpc_fuzzer.
TEST_F(MethodFactory, NotACallIsNullButUnservableCallIsUnknown) {
    const std::string noParams = "<?xml version=\"1.0\"?><methodCall><methodName>" +
                                 Method("closecall") + "</methodName></methodCall>\r\n\r\n";
    EXPECT_EQ(nullptr, ParsedRequest(noParams).raw);
    EXPECT_EQ(nullptr, ParsedRequest("<methodResponse><params/></methodResponse>").raw);
    EXPECT_EQ(nullptr, ParsedRequest("").raw);
    EXPECT_EQ(nullptr, XmlRpcRequestMethod::CreateMethod(XmlRpcValueString("closecall")));
    EXPECT_TRUE(ParsedRequest(RequestText(Method("nosuch"), {})).unknown());
    EXPECT_TRUE(ParsedRequest(RequestText(Method("closecall"), {Str("1"), Str("2")})).unknown());
    EXPECT_TRUE(ParsedRequest(RequestText(Method("closecall"), {})).unknown());
    EXPECT_TRUE(ParsedRequest(RequestText(Method("closecall"), {Int(1)})).unknown());
    // A text cut off inside its parameters is not served.
    std::string whole = RequestText(Method("closecall"), {Str("1")});
    EXPECT_TRUE(ParsedRequest(whole.substr(0, whole.find("</param>"))).unknown());
}

TEST_F(MethodFactory, OptionalTailsAndTypeChecks) {
    EXPECT_EQ(Calls{"PlayMessage(4,m.wav,-1)"},
              Exec(RequestText(Method("playmessage"), {Str("4"), Str("m.wav")})));
    EXPECT_EQ(Calls{"PlayMessage(4,m.wav,3)"},
              Exec(RequestText(Method("playmessage"), {Str("4"), Str("m.wav"), Int(3)})));
    EXPECT_TRUE(ParsedRequest(RequestText(Method("playmessage"), {Str("4"), Str("m"), Str("3")}))
                    .unknown());
    EXPECT_TRUE(
        ParsedRequest(RequestText(Method("playmessage"), {Str("4"), Str("m"), Int(3), Int(4)}))
            .unknown());
}

TEST_F(MethodFactory, CallIdReadings) {
    const std::pair<const char*, unsigned long long> cases[] = {
        {"00042", 42}, {"abc", 0}, {" 7x", 7}, {"18446744073709551615", 18446744073709551615ull}};
    for (const auto& c : cases) {
        ParsedRequest r(RequestText(Method("closecall"), {Str(c.first)}));
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(c.second, r.raw->GetCallID()) << c.first;
    }
    // Methods without an ID report 0 whatever their first parameter says.
    ParsedRequest g(RequestText(Method("getextension"), {Str("123")}));
    ASSERT_TRUE(g.ok());
    EXPECT_EQ(0u, g.raw->GetCallID());
}

// A message ends with an empty line (the framing cuts there), and a builder
// whose required values are missing writes nothing.
TEST_F(MethodFactory, EveryTextEndsWithAnEmptyLine) {
    CloseCallMethod close;
    XmlRpcResponseMethod plain(kMethodCloseCall);
    EXPECT_EQ("<failed>", Built(close));
    EXPECT_EQ("<failed>", Built(plain));
    close.SetParams(9);
    plain.SetParams(9);
    for (XmlRpcMethod* m :
         {static_cast<XmlRpcMethod*>(&close), static_cast<XmlRpcMethod*>(&plain)}) {
        const std::string text = Built(*m);
        EXPECT_EQ(0u, text.find("<?xml version=\"1.0\"?>\r\n<method"));
        EXPECT_EQ(text.size() - 4, text.find("\r\n\r\n")) << text;
    }
}

TEST_F(MethodFactory, FaultIsWrittenInOrderAndCarriedOut) {
    FaultResponseMethod fault(kMethodCloseCall);
    EXPECT_EQ("<failed>", Built(fault));
    fault.SetParams(5, "x");
    const std::string text = Built(fault);
    EXPECT_LT(text.find("faultCode"), text.find("faultString"));
    EXPECT_EQ(0u, text.find("<?xml version=\"1.0\"?>\r\n<methodResponse>\r\n<fault>\r\n"));

    // Read back as the answer to every method: Interop. Carried out:
    std::unique_ptr<XmlRpcResponseMethod> r(CloseCallMethod().CreateResponseFromXML(text.c_str()));
    ASSERT_TRUE(r && r->IsFault());
    RecordingCallback cb;
    r->Execute(cb);
    EXPECT_EQ(std::vector<std::string>{"Fault(0,5,x)"}, cb.calls);
}

TEST_F(MethodFactory, FaultWithoutIntCodeIsParsedButIgnored) {
    const std::string text =
        "<methodResponse><fault><value><struct><member><name>faultCode</name>"
        "<value><string>5</string></value></member></struct></value></fault></methodResponse>";
    CloseCallMethod close;
    std::unique_ptr<XmlRpcResponseMethod> r(close.CreateResponseFromXML(text.c_str()));
    ASSERT_TRUE(r);
    RecordingCallback cb;
    r->Execute(cb);
    EXPECT_TRUE(cb.calls.empty());
}

TEST_F(MethodFactory, ResponsesPickTheirClass) {
    SAuthenticateMethod sauth;
    AuthenticateResponseMethod answer;
    answer.SetParams(true, "welcome");
    std::unique_ptr<XmlRpcResponseMethod> r(sauth.CreateResponseFromXML(Built(answer).c_str()));
    ASSERT_TRUE(r);
    auto* auth = dynamic_cast<AuthenticateResponseMethod*>(r.get());
    ASSERT_NE(nullptr, auth);
    EXPECT_EQ(14, auth->GetMethodIndex());
    EXPECT_TRUE(auth->IsAccepted());
    EXPECT_EQ("welcome", auth->GetText());

    // A plain answer lacks the boolean the authentication answer needs; the
    // fault class reads any leading string and then has no fault to report.
    XmlRpcResponseMethod plain(kMethodSAuthenticate);
    plain.SetParams(3);
    std::unique_ptr<XmlRpcResponseMethod> odd(sauth.CreateResponseFromXML(Built(plain).c_str()));
    ASSERT_TRUE(odd);
    EXPECT_TRUE(odd->IsFault());
    RecordingCallback none;
    odd->Execute(none);
    EXPECT_TRUE(none.calls.empty());

    CloseCallMethod close;
    std::unique_ptr<XmlRpcResponseMethod> p(close.CreateResponseFromXML(Built(plain).c_str()));
    ASSERT_TRUE(p);
    EXPECT_FALSE(p->IsFault());
    EXPECT_EQ(3u, p->GetCallID());
    EXPECT_EQ(nullptr, close.CreateResponseFromXML("<methodResponse><x/></methodResponse>"));
}

TEST_F(MethodFactory, DeepNestingIsRefusedAndLogged) {
    std::string deep;
    for (int i = 0; i < kMaxXmlDepth; ++i) {
        deep += "<value><array><data>";
    }
    ParsedRequest r(RequestText(
        Method("subscribe"), {Str("1"), Int(2), "<value><struct><member><name>x</name>" + deep}));
    EXPECT_TRUE(r.unknown());
    ASSERT_FALSE(gLog.empty());
    EXPECT_NE(std::string::npos, gLog.back().find("nested deeper"));
}

// Every spelling below is read by the parser as the password (or digest)
// "Sesame42"; the logged text shows none of it, and keeps its layout.
TEST_F(MethodFactory, LoggedAuthenticationShowsNoSecret) {
    SetLogSecretsMasked(true);
    const std::string user = Str("201");
    const std::string auth = "<methodCall><methodName>" + Method("authenticate") + "</methodName>";
    for (const std::string& secret :
         {Str("Sesame42"), std::string("<value>Sesame42</value>"), Str("<![CDATA[Sesame42]]>"),
          Str("Ses<!-- x -->ame42"), Str("Sesame42\r\n12:00:00.000  forged")}) {
        for (const std::string& text :
             {RequestText(Method("authenticate"), {user, secret}),
              RequestText("services.callprocessingservice.AUTHENTICATE", {user, secret}),
              RequestText(Method("sauthenticate"), {user, Str("1700"), secret}),
              auth + "<params><!-- <param> --><param>" + user + "</param><PARAM >" + secret +
                  "</PARAM></params></methodCall>",
              RequestText(Method("authenticate"), {secret})}) {  // too few: not served
            RecordingCallback cb;
            ParsedRequest parsed(text);
            if (parsed.ok()) {
                parsed.raw->Execute(cb);
                ASSERT_NE(cb.calls.at(0).find("Sesame42"), std::string::npos) << text;
            }
            const std::string logged = MessageForLog(text);
            EXPECT_EQ(logged.find("Ses"), std::string::npos) << logged;
            EXPECT_EQ(logged.find("ame42"), std::string::npos) << logged;
            EXPECT_EQ(logged.find("\n12:"), std::string::npos) << logged;
        }
    }
    EXPECT_EQ(MessageForLog(RequestText(Method("sauthenticate"), {user, Str("1"), Str("d1g")})),
              RequestText(Method("sauthenticate"), {user, Str("1"), Str("********")}));
    EXPECT_EQ(SecretForLog("d1g"), "********");
    // Other calls keep their values; data never keeps a line break.
    const std::string other = RequestText(Method("getextension"), {Str("authenticate\nx")});
    std::string escaped = other;
    escaped.replace(escaped.find("\nx"), 2, "\\nx");
    EXPECT_EQ(MessageForLog(other), escaped);
    EXPECT_EQ(MessageForLog("<a>\n <b x='\x01'>\ny</b>\n</a>"),
              "<a>\n <b x='\\x01'>\\ny</b>\n</a>");
    SetLogSecretsMasked(false);
    EXPECT_EQ(MessageForLog(RequestText(Method("authenticate"), {user, Str("pw")})),
              RequestText(Method("authenticate"), {user, Str("pw")}));
    EXPECT_EQ(SecretForLog("d1g"), "d1g");
}

// The one table drives the factory, the listing, the signatures and the help.
TEST_F(MethodFactory, TableDrivesFactoryAndIntrospection) {
    std::unique_ptr<XmlRpcValueArray> listed(introspection::ListMethods());
    size_t served = 0;
    for (int i = 0; i < kMethodCount; ++i) {
        const XmlRpcMethodInfo& info = XmlRpcRequestMethod::Info(i);
        if (info.name == nullptr) {
            continue;
        }
        std::unique_ptr<XmlRpcRequestMethod> m(
            XmlRpcRequestMethod::CreateMethod(XmlRpcValueString(info.name)));
        ASSERT_TRUE(m) << info.name;
        EXPECT_EQ(i, m->GetMethodIndex()) << info.name;
        std::string help;
        EXPECT_TRUE(introspection::Help(info.name, help));
        EXPECT_EQ(help, info.help);
        served += info.served ? 1 : 0;
    }
    EXPECT_EQ(served, listed->mvValues.size());
    std::string help;
    EXPECT_FALSE(introspection::Help("system.nosuch", help));
    EXPECT_EQ(nullptr, introspection::Signatures("system.nosuch"));

    // One signature per length an optional tail allows, the answer's type first.
    std::unique_ptr<XmlRpcValueArray> create(introspection::Signatures(Method("CreateCall")));
    ASSERT_TRUE(create);
    ASSERT_EQ(2u, create->mvValues.size());
    std::string text;
    create->Build(text);
    EXPECT_EQ(text.find("<string>int</string>"), std::string::npos);
    EXPECT_EQ(4u + 5u,
              static_cast<XmlRpcValueArray*>(create->mvValues[0].get())->mvValues.size() +
                  static_cast<XmlRpcValueArray*>(create->mvValues[1].get())->mvValues.size());
}

// A multicall entry becomes the text of its request, and an answer's values
// (or its fault) are read back from the text the server wrote.
TEST_F(MethodFactory, MulticallEntriesAndAnswersRoundTrip) {
    XmlRpcValueStruct entry;
    entry.SetMemberValue("methodName", new XmlRpcValueString(Method("closecall")));
    auto* params = new XmlRpcValueArray();
    params->Append(new XmlRpcValueString("4<2"));
    entry.SetMemberValue("params", params);
    std::string text;
    ASSERT_TRUE(introspection::CallText(entry, text));
    ParsedRequest request(text);
    ASSERT_TRUE(request.ok()) << text;
    EXPECT_EQ(kMethodCloseCall, request.raw->GetMethodIndex());
    EXPECT_FALSE(introspection::CallText(XmlRpcValueString("x"), text));

    std::unique_ptr<XmlRpcResponseMethod> answer(request.raw->CreateResponse(false));
    answer->SetParams(42);
    std::string written;
    ASSERT_TRUE(answer->BuildXML(written));
    std::vector<std::unique_ptr<XmlRpcValue>> values;
    std::unique_ptr<XmlRpcValue> fault;
    ASSERT_TRUE(introspection::ParseAnswer(written, values, fault));
    ASSERT_EQ(1u, values.size());
    EXPECT_EQ("42", static_cast<XmlRpcValueString*>(values[0].get())->mstrValue);

    FaultResponseMethod refusal(kMethodCloseCall);
    refusal.SetParams(3, "Not permitted");
    written.clear();
    ASSERT_TRUE(refusal.BuildXML(written));
    values.clear();
    ASSERT_TRUE(introspection::ParseAnswer(written, values, fault));
    ASSERT_TRUE(fault && fault->IsType(XmlRpcValueStruct::kType));
    EXPECT_TRUE(values.empty());
}
