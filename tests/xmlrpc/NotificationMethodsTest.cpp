#include <gtest/gtest.h>

#include <utility>

#include "TempRoot.h"
#include "XmlRpcTestSupport.h"
#include "xmlrpc/CallProcessingMethods.h"
#include "xmlrpc/SubscriptionMethods.h"

namespace {

std::string Fixture(const char* name) {
    const std::string path = __FILE__;
    return ReadFile(path.substr(0, path.rfind('/')) + "/data/" + name);
}

std::string Options(const std::string& member) {
    return "<value><struct><member><name>extension</name>" + member + "</member></struct></value>";
}

}  // namespace

TEST(Subscriptions, KindsAndTheirExtensions) {
    const std::string sub = Method("subscribe");
    EXPECT_EQ(Calls{"SubscribeCDR(9)"}, Exec(RequestText(sub, {Str("9"), Int(2)})));
    EXPECT_TRUE(Exec(RequestText(sub, {Str("9"), Int(1)})).empty());
    EXPECT_EQ(Calls{"SubscribeMN(9,201)"},
              Exec(RequestText(sub, {Str("9"), Int(1), Options(Str("201"))})));
    EXPECT_TRUE(Exec(RequestText(sub, {Str("9"), Int(3), Options(Int(201))})).empty());
    EXPECT_TRUE(Exec(RequestText(sub, {Str("9"), Int(7)})).empty());
    EXPECT_TRUE(ParsedRequest(RequestText(Method("unsubscribe"), {Str("9"), Int(1)})).unknown());

    // valtctl's presence and extension-list subscriptions and the answers to
    // them: tests/e2e/test_valtctl.py (Subscriptions).
    ParsedRequest unsub(RequestText(Method("unsubscribe"), {Str("9")}));
    ASSERT_TRUE(unsub.ok());
    auto* u = static_cast<UnsubscribeMethod*>(unsub.raw);
    EXPECT_EQ(0, u->GetSubType());
    u->SetSubType(3);
    RecordingCallback cb;
    u->Execute(cb);
    EXPECT_EQ(Calls{"Unsubscribe(9,3)"}, cb.calls);
}

TEST(Notifications, MailTimeUsesSpaceSeparatedLocalTime) {
    // 2040 lies beyond a 32-bit time_t: the text and the parsed time stay right.
    for (const auto& [year, shown] :
         {std::pair{2024, "2024-03-05 14:07:09"}, std::pair{2040, "2040-03-05 14:07:09"}}) {
        // 14:07:09 on 5 March, summer time or not as the zone has it.
        struct tm local = {9, 7, 14, 5, 2, year - 1900, 0, 0, -1, 0, nullptr};
        time_t when = mktime(&local);
        ASSERT_NE(when, static_cast<time_t>(-1));
        CallParams from;
        from.user = "201";
        MailArrivedMethod mail;
        ASSERT_TRUE(mail.SetParams(3, from, when, 12, 4));
        const std::string text = Built(mail);
        EXPECT_NE(std::string::npos, text.find(std::string("<value><dateTime.iso8601>") + shown +
                                               "</dateTime.iso8601></value>"))
            << text;
        EXPECT_EQ(Calls{"MailArrived(3,{0|201||||}," + std::to_string(when) + ",12,4)"},
                  Exec(text));
    }

    CallParams badSip;
    badSip.type = ExtCallType_SIP;
    MailArrivedMethod refused;
    EXPECT_FALSE(refused.SetParams(3, badSip, 0, 1, 1));
    EXPECT_EQ("<failed>", Built(refused));
}

TEST(Notifications, DialogDefaultsAreLeftOut) {
    DialogArrivedMethod none;
    EXPECT_EQ("<failed>", Built(none));  // no dialogs, no array

    DialogArrivedMethod dlg;
    dlg.SetParams(5, "77", 2, 5, 7, -1, "0", 0, "", "<sip:a@h>", "<sip:b@h>", 1);
    dlg.SetParams(5, "0", 1, 3, 2, 30, "76", 4, "\"R\" <sip:r@h>", "", "", 0);
    const std::string text = Built(dlg);
    const std::string first = text.substr(0, text.find("</struct>"));
    for (const char* absent :
         {"Dir", "DlgState", "Event", "Dur", "Replaces", "CallState", "ReferredBy"}) {
        EXPECT_EQ(std::string::npos, first.find(std::string("<name>") + absent + "<")) << absent;
    }
    const std::string second = text.substr(text.find("</struct>"));
    EXPECT_EQ(std::string::npos, second.find("<name>CallID<"));
    EXPECT_EQ(std::string::npos, second.find("<name>Local<"));

    RecordingCallback cb;
    Exec(text, cb);
    ASSERT_EQ(2u, cb.lastDialogs.size());
    const DialogParams& a = cb.lastDialogs.front();
    EXPECT_EQ(77u, a.callId);
    EXPECT_EQ(2, a.direction);
    EXPECT_EQ(7, a.event);
    EXPECT_EQ(-1, a.duration);
    EXPECT_EQ("a", a.local.user);
    const DialogParams& b = cb.lastDialogs.back();
    EXPECT_EQ(76u, b.replacesId);
    EXPECT_EQ(4, b.callState);
    EXPECT_EQ("R", b.referredBy.name);
}

// The fixtures in data/ are texts the daemon is known to write (an offer, a
// CDR with statistics, ten dialogs): the offer's builder makes it byte for
// byte, and each reads and is written again unchanged. The values of every
// builder's text are checked against Python's reading in InteropTest.
TEST(WireFixtures, ProcessOffer) {
    CallParams from;
    from.sipName = "Alice Example";
    from.user = "alice";
    from.host = "10.0.0.5";
    from.port = "5060";
    CallParams to;
    to.user = "5551234";
    CallArrivedMethod offer;
    ASSERT_TRUE(offer.SetParams(184467440737095ull, ExtCallType_SIP, "201", from, to, 0));
    EXPECT_EQ(Fixture("process.xml"), Built(offer));
}

// Read back and written again, each fixture comes out byte for byte: the
// reader's views, the unescaping and the writer agree with each other.
TEST(WireFixtures, ReadAndWrittenAgainUnchanged) {
    for (const char* name : {"process.xml", "cdrarrived.xml", "dlgarrived.xml"}) {
        const std::string text = Fixture(name);
        ParsedRequest r(text);
        ASSERT_TRUE(r.ok()) << name;
        std::string out = "kept|";
        ASSERT_TRUE(r.raw->BuildXML(out)) << name;
        EXPECT_EQ("kept|" + text, out) << name;
    }
}
