#include <gtest/gtest.h>

#include "exchange/MediaControl.h"
#include "xmlrpc/SipAddress.h"

namespace {

struct Parts {
    std::string name, user, host, port;
};

bool Parse(const std::string& text, Parts& p) {
    return ParseSIPAddressEx(text, p.name, p.user, p.host, p.port);
}

}  // namespace

TEST(SipAddress, WritesNameAddrAndBareForms) {
    std::string out;
    ASSERT_TRUE(MergeSIPAddressEx(out, "Front Desk", "201", "10.0.0.5", "5060"));
    EXPECT_EQ("\"Front Desk\" <sip:201@10.0.0.5:5060>", out);
    ASSERT_TRUE(MergeSIPAddress(out, "", "5551000", "10.0.0.9", "", true));
    EXPECT_EQ("<sip:5551000@10.0.0.9>", out);
    ASSERT_TRUE(MergeSIPAddress(out, "", "201", "host", "", false));
    EXPECT_EQ("sip:201@host", out);
}

// That the parts read back after writing, names with quotes, backslashes and
// markup included, is checked over the seeds of fuzz_replay.sip_fuzzer.
TEST(SipAddress, ReadsCommonForeignForms) {
    Parts p;
    ASSERT_TRUE(Parse("sip:201@host", p));
    EXPECT_EQ("201", p.user);
    EXPECT_EQ("host", p.host);
    ASSERT_TRUE(Parse("Bob <SIP:bob@h:5070;transport=udp>;tag=1", p));
    EXPECT_EQ("Bob", p.name);
    EXPECT_EQ("5070", p.port);
    std::string name, user, host, port;
    ASSERT_TRUE(ParseSIPAddress("\"A B\" <sip:x@y>", name, user, host, port, false));
    EXPECT_EQ("\"A B\"", name);
}

TEST(SipAddress, RefusesWhatItCannotRead) {
    Parts p;
    for (const char* bad : {"", "tel:201", "sip:", "sip:201@", "<sip:201@host", "\"open <sip:a@b>",
                            "sip:a@b:port", "sip:a@b:123456", "Front Desk sip:201@host",
                            "<sip:a@b> trailing", "\"n\"x <sip:a@b>", "<sip:a@[::1>"}) {
        EXPECT_FALSE(Parse(bad, p)) << bad;
    }
    std::string out = "unchanged";
    EXPECT_FALSE(MergeSIPAddressEx(out, "n", "201", "", ""));
    EXPECT_FALSE(MergeSIPAddressEx(out, "n", "a@b", "h", ""));
    EXPECT_FALSE(MergeSIPAddressEx(out, "n", "201", "h", "50x"));
    EXPECT_FALSE(MergeSIPAddressEx(out, "line\nbreak", "201", "h", ""));
    EXPECT_EQ("unchanged", out);
}

TEST(MediaControl, CodecNamesAreStableAndReversible) {
    EXPECT_EQ("PCMA", GetNameByDspCodec(8));
    EXPECT_EQ("PCMU", GetNameByDspCodec(0));
    EXPECT_EQ("codec-77", GetNameByDspCodec(77));
    EXPECT_EQ("codec--3", GetNameByDspCodec(-3));
    for (int c : {0, 8, 18, 77, -3, 2147483647}) {
        EXPECT_EQ(c, GetDspCodecByName(GetNameByDspCodec(c)));
    }
    EXPECT_EQ(-1, GetDspCodecByName("codec-"));
    EXPECT_EQ(-1, GetDspCodecByName("codec-9x"));
    EXPECT_EQ(-1, GetDspCodecByName("opus"));
}
