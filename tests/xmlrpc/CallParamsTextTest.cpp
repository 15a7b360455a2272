#include <gtest/gtest.h>

#include "XmlRpcTestSupport.h"

namespace {

CallParams Read(const std::string& text, bool expectOk = true) {
    CallParams p;
    EXPECT_EQ(expectOk, XmlRpcMethod::CallParamsFromString(text, p)) << text;
    return p;
}

std::string Write(const CallParams& p) {
    std::string text = "stale";
    EXPECT_TRUE(XmlRpcMethod::CallParamsToString(p, text));
    return text;
}

}  // namespace

TEST(CallParamsText, PrefixesReadIgnoringCaseAndWriteLowerCase) {
    CallParams tel = Read("TEL:5551234");
    EXPECT_EQ(3u, tel.type);
    EXPECT_EQ("5551234", tel.user);
    EXPECT_EQ("tel:5551234", Write(tel));

    CallParams bare = Read("5551234");
    EXPECT_EQ(3u, bare.type);
    EXPECT_EQ("tel:5551234", Write(bare));

    CallParams pbx = Read("pbx:201");
    EXPECT_EQ(0u, pbx.type);
    EXPECT_EQ("pbx:201", Write(pbx));

    EXPECT_EQ(2u, Read("Pstn:0049").type);
    EXPECT_EQ("ar:main", Write(Read("AR:main")));
    EXPECT_EQ("tel:", Write(Read("tel:")));
}

TEST(CallParamsText, VoiceMailSplitsAtFirstSemicolon) {
    CallParams vm = Read("vm:201;7");
    EXPECT_EQ(5u, vm.type);
    EXPECT_EQ("201", vm.user);
    EXPECT_EQ("7", vm.userSuffix);
    EXPECT_EQ("vm:201;7", Write(vm));
    EXPECT_EQ("vm:201", Write(Read("vm:201")));
    CallParams abc = Read("vm:a;b;c");
    EXPECT_EQ("a", abc.user);
    EXPECT_EQ("b;c", abc.userSuffix);
}

TEST(CallParamsText, SipAnywhereButCaseSensitive) {
    CallParams sip = Read("\"Front Desk\" <sip:201@10.0.0.5:5060>");
    EXPECT_EQ(1u, sip.type);
    EXPECT_EQ("Front Desk", sip.sipName);
    EXPECT_EQ("201", sip.user);
    EXPECT_EQ("10.0.0.5", sip.host);
    EXPECT_EQ("5060", sip.port);
    EXPECT_EQ("\"Front Desk\" <sip:201@10.0.0.5:5060>", Write(sip));

    CallParams upper = Read("Sip:201");
    EXPECT_EQ(3u, upper.type);
    EXPECT_EQ("Sip:201", upper.user);

    Read("junk sip:", false);
    CallParams noHost;
    noHost.type = ExtCallType_SIP;
    noHost.user = "201";
    std::string text;
    EXPECT_FALSE(XmlRpcMethod::CallParamsToString(noHost, text));
}

TEST(CallParamsText, EmptyTextFailsAndLeavesRecordAlone) {
    CallParams p;
    p.user = "keep";
    p.type = 4;
    EXPECT_FALSE(XmlRpcMethod::CallParamsFromString("", p));
    EXPECT_EQ("keep", p.user);
    EXPECT_EQ(4u, p.type);
}

TEST(CallParamsText, TypeWordTopBitAndUnknownKinds) {
    CallParams p;
    p.user = "300";
    p.type = 6;
    EXPECT_EQ("pbx:300", Write(p));
    p.type = 3 | kCallParamsMsgTakerBit;
    EXPECT_EQ("tel:300", Write(p));
    // Reading ORs the kind into what the record already holds.
    CallParams marked;
    marked.type = kCallParamsMsgTakerBit;
    ASSERT_TRUE(XmlRpcMethod::CallParamsFromString("pstn:1", marked));
    EXPECT_EQ(kCallParamsMsgTakerBit | 2u, marked.type);
}
