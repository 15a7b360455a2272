#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "XmlRpcTestSupport.h"

namespace {

int IntOf(const std::string& text) {
    auto v = ParseValueText("<value><int>" + text + "</int></value>");
    EXPECT_TRUE(v && v->IsType(XmlRpcValue::TypeInt));
    return v ? static_cast<XmlRpcValueInt&>(*v).mnValue : -12345;
}

bool BoolOf(const std::string& element) {
    auto v = ParseValueText("<value>" + element + "</value>");
    EXPECT_TRUE(v && v->IsType(XmlRpcValue::TypeBool));
    return v && static_cast<XmlRpcValueBool&>(*v).mbValue;
}

std::string Recovered(std::string s) {
    RecoverSpecialSymbols(s);
    return s;
}

// Reference for the unescaping: literally search from the start after every
// replacement, pass by pass.
std::string RecoveredSlowly(std::string s) {
    const std::pair<const char*, const char*> passes[] = {
        {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&amp", "&"}, {"&lt", "<"}};
    for (const auto& p : passes) {
        size_t at;
        while ((at = s.find(p.first)) != std::string::npos) {
            s.replace(at, std::strlen(p.first), p.second);
        }
    }
    return s;
}

}  // namespace

TEST(XmlRpcValueCodec, TypeNamesIgnoreCaseAndI4IsInt) {
    auto i4 = ParseValueText("<value><i4>7</i4></value>");
    ASSERT_TRUE(i4);
    EXPECT_TRUE(i4->IsType(XmlRpcValue::TypeInt));
    EXPECT_EQ("<value><int>7</int></value>\r\n", Built(*i4));

    auto s = ParseValueText("<VALUE><String>x</String></VALUE>");
    ASSERT_TRUE(s);
    EXPECT_EQ("x", static_cast<XmlRpcValueString&>(*s).mstrValue);

    EXPECT_EQ(nullptr, XmlRpcValue::NewValue("nil"));
    EXPECT_FALSE(ParseValueText("<value>plain text</value>"));
    std::unique_ptr<XmlRpcValue> dt(XmlRpcValue::NewValue("DATETIME.ISO8601"));
    ASSERT_TRUE(dt);
    EXPECT_TRUE(dt->IsType(XmlRpcValue::TypeDateTime));
}

TEST(XmlRpcValueCodec, IntConversionSaturatesAndStopsAtGarbage) {
    EXPECT_EQ(12, IntOf("12abc"));
    EXPECT_EQ(0, IntOf("abc"));
    EXPECT_EQ(-5, IntOf("  -5"));
    EXPECT_EQ(2147483647, IntOf("99999999999"));
    EXPECT_EQ(-2147483647 - 1, IntOf("-99999999999999999999999999"));
    EXPECT_EQ(0, IntOf(""));
}

TEST(XmlRpcValueCodec, BooleanIsNonZeroInteger) {
    EXPECT_TRUE(BoolOf("<boolean>1</boolean>"));
    EXPECT_TRUE(BoolOf("<boolean>2</boolean>"));
    EXPECT_FALSE(BoolOf("<boolean>0</boolean>"));
    EXPECT_FALSE(BoolOf("<boolean>true</boolean>"));
    EXPECT_FALSE(BoolOf("<boolean></boolean>"));
    EXPECT_EQ("<value><boolean>1</boolean></value>\r\n", Built(XmlRpcValueBool(true)));
}

TEST(XmlRpcValueCodec, DoubleWrittenWithSixDecimals) {
    EXPECT_EQ("<value><double>1.500000</double></value>\r\n", Built(XmlRpcValueDouble(1.5)));
    // Huge magnitudes still write completely.
    std::string big = Built(XmlRpcValueDouble(1e300));
    EXPECT_EQ(std::string::npos, big.find("e+"));
    auto back = ParseValueText(big);
    ASSERT_TRUE(back);
    EXPECT_DOUBLE_EQ(1e300, static_cast<XmlRpcValueDouble&>(*back).mdValue);
}

TEST(XmlRpcValueCodec, StringEscapingAndFivePassUnescaping) {
    EXPECT_EQ("<value><string>a&lt;b&amp;c&gt;</string></value>\r\n",
              Built(XmlRpcValueString("a<b&c>")));
    EXPECT_EQ("x < y", Recovered("x &amp;lt; y"));
    EXPECT_EQ("&", Recovered("&amp;amp;"));
    EXPECT_EQ("&foo", Recovered("&ampfoo"));
    EXPECT_EQ("<b", Recovered("&ltb"));
    EXPECT_EQ("&gtb", Recovered("&gtb"));
    EXPECT_EQ("&quot;&#60;", Recovered("&quot;&#60;"));
    // "&gt" is only taken with its semicolon, and before the "&amp" folding:
    // "&ampgt;" reads as "&gt;", which written ("&amp;gt;") reads back as ">".
    EXPECT_EQ("&gt;", Recovered("&ampgt;"));
    std::string again = "&gt;";
    ReplaceSpecialSymbols(again);
    EXPECT_EQ(">", Recovered(again));
    // Quotes and high bytes pass unchanged both ways.
    std::string raw = "\"q\" \xc3\xa9\xff";
    std::string escaped = raw;
    ReplaceSpecialSymbols(escaped);
    EXPECT_EQ(raw, escaped);
}

TEST(XmlRpcValueCodec, UnescapingMatchesTheRescanningDefinition) {
    const char alphabet[] = "&amplgt;x";
    const size_t letters = sizeof alphabet - 1;
    // Every text of up to five letters, then longer random ones.
    for (size_t n = 0, total = 1; n <= 5; ++n, total *= letters) {
        for (size_t code = 0; code < total; ++code) {
            std::string s;
            for (size_t c = code, i = 0; i < n; ++i, c /= letters) {
                s += alphabet[c % letters];
            }
            ASSERT_EQ(RecoveredSlowly(s), Recovered(s)) << s;
        }
    }
    std::mt19937 rng(7);
    for (int round = 0; round < 3000; ++round) {
        std::string s;
        size_t n = rng() % 24;
        for (size_t i = 0; i < n; ++i) {
            s += alphabet[rng() % (sizeof alphabet - 1)];
        }
        ASSERT_EQ(RecoveredSlowly(s), Recovered(s)) << s;
    }
}

TEST(XmlRpcValueCodec, StructKeepsOrderAndDuplicates) {
    auto v = ParseValueText(
        "<value><struct><member><name>A</name><value><int>1</int></value></member>"
        "<member><name>b</name><value><string>s</string></value></member>"
        "<member><name>A</name><value><int>2</int></value></member></struct></value>");
    ASSERT_TRUE(v);
    auto& s = static_cast<XmlRpcValueStruct&>(*v);
    ASSERT_EQ(3u, s.mvMembers.size());
    EXPECT_EQ(1, static_cast<XmlRpcValueInt*>(s.GetMemberValue("a"))->mnValue);

    s.SetMemberValue("A", new XmlRpcValueInt(9));
    EXPECT_EQ(9, static_cast<XmlRpcValueInt*>(s.mvMembers[0].second.get())->mnValue);
    EXPECT_EQ(2, static_cast<XmlRpcValueInt*>(s.mvMembers[2].second.get())->mnValue);
    s.SetMemberValue("c", new XmlRpcValueBool(true));
    EXPECT_EQ("c", s.mvMembers.back().first);
}

TEST(XmlRpcValueCodec, FailedStructParseLeavesItEmpty) {
    const std::string badValue =
        "<member><name>ok</name><value><int>1</int></value></member>"
        "<member><name>bad</name><value>no type</value></member></struct>";
    XMLNavigator nav;
    nav.SetXMLSource(badValue.data(), badValue.size());
    XmlRpcValueStruct s;
    EXPECT_FALSE(s.Parse(nav));
    EXPECT_TRUE(s.mvMembers.empty());

    const std::string noName = "<member><value><int>1</int></value></member></struct>";
    nav.SetXMLSource(noName.data(), noName.size());
    EXPECT_FALSE(s.Parse(nav));
}

TEST(XmlRpcValueCodec, MemberNamesAreNeitherEscapedNorUnescaped) {
    XmlRpcValueStruct s;
    s.SetMemberValue("a&amp;b", new XmlRpcValueString("&"));
    std::string text = Built(s);
    EXPECT_NE(std::string::npos, text.find("<name>a&amp;b</name>"));
    auto back = ParseValueText(text);
    ASSERT_TRUE(back);
    auto& r = static_cast<XmlRpcValueStruct&>(*back);
    EXPECT_EQ("a&amp;b", r.mvMembers[0].first);
    EXPECT_EQ("&", static_cast<XmlRpcValueString*>(r.mvMembers[0].second.get())->mstrValue);
}

TEST(XmlRpcValueCodec, ContainerTextsAndArrays) {
    EXPECT_EQ("<value><struct>\r\n</struct></value>\r\n", Built(XmlRpcValueStruct()));
    EXPECT_EQ("<value><array><data>\r\n</data></array></value>\r\n", Built(XmlRpcValueArray()));

    // Arrays of structs and empty arrays read and write again in Interop.
    EXPECT_FALSE(ParseValueText("<value><array><value><int>1</int></value></array></value>"));
    EXPECT_FALSE(ParseValueText(
        "<value><array><data><value><int>1</int></value><value><struct><member>"
        "<value><int>1</int></value></member></struct></value></data></array></value>"));
}
