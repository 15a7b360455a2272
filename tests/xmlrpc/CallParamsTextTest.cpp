#include <gtest/gtest.h>

#include "XmlRpcTestSupport.h"

// Each text, the record it reads as ({type|user|suffix|name|host|port}) and
// the text that record writes. Prefixes read ignoring case and write lower
// case; a bare number is a telephone number; "sip:" is case-sensitive; voice
// mail splits at the first semicolon.
TEST(CallParamsText, ReadAndWrittenAgain) {
    const struct {
        const char* text;
        const char* record;
        const char* written;
    } cases[] = {
        {"TEL:5551234", "{3|5551234||||}", "tel:5551234"},
        {"5551234", "{3|5551234||||}", "tel:5551234"},
        {"pbx:201", "{0|201||||}", "pbx:201"},
        {"Pstn:0049", "{2|0049||||}", "pstn:0049"},
        {"AR:main", "{4|main||||}", "ar:main"},
        {"tel:", "{3|||||}", "tel:"},
        {"vm:201;7", "{5|201|7|||}", "vm:201;7"},
        {"vm:201", "{5|201||||}", "vm:201"},
        {"vm:a;b;c", "{5|a|b;c|||}", "vm:a;b;c"},
        {"\"Front Desk\" <sip:201@10.0.0.5:5060>", "{1|201||Front Desk|10.0.0.5|5060}",
         "\"Front Desk\" <sip:201@10.0.0.5:5060>"},
        {"Sip:201", "{3|Sip:201||||}", "tel:Sip:201"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        CallParams p;
        ASSERT_TRUE(XmlRpcMethod::CallParamsFromString(c.text, p));
        EXPECT_EQ(c.record, RecordingCallback::Party(p));
        std::string written = "stale";
        ASSERT_TRUE(XmlRpcMethod::CallParamsToString(p, written));
        EXPECT_EQ(c.written, written);
    }
}

TEST(CallParamsText, FailuresAndTheTypeWord) {
    CallParams p;
    p.user = "keep";
    p.type = 4;
    EXPECT_FALSE(XmlRpcMethod::CallParamsFromString("", p));  // leaves the record alone
    EXPECT_FALSE(XmlRpcMethod::CallParamsFromString("junk sip:", p));
    EXPECT_EQ("{4|keep||||}", RecordingCallback::Party(p));
    std::string text;
    p.type = ExtCallType_SIP;  // no host
    EXPECT_FALSE(XmlRpcMethod::CallParamsToString(p, text));

    // Unknown kinds write as pbx; the message-taker bit is not a kind.
    p.user = "300";
    p.type = 6;
    ASSERT_TRUE(XmlRpcMethod::CallParamsToString(p, text));
    EXPECT_EQ("pbx:300", text);
    p.type = 3 | kCallParamsMsgTakerBit;
    ASSERT_TRUE(XmlRpcMethod::CallParamsToString(p, text));
    EXPECT_EQ("tel:300", text);
    // Reading ORs the kind into what the record already holds.
    CallParams marked;
    marked.type = kCallParamsMsgTakerBit;
    ASSERT_TRUE(XmlRpcMethod::CallParamsFromString("pstn:1", marked));
    EXPECT_EQ(kCallParamsMsgTakerBit | 2u, marked.type);
}
