#include <gtest/gtest.h>

#include "platform/XMLNavigator.h"

namespace {

// Walks the text, writing "+name" per element entered, "-" per end reported
// and the text of leaf elements in brackets.
std::string Walk(const std::string& text) {
    XMLBuffer b(256);
    b.Set(text.data(), static_cast<unsigned>(text.size()));
    XMLNavigator nav;
    nav.SetXMLSource(b);
    std::string out;
    XMLElem e;
    for (int guard = 0; guard < 1000; ++guard) {
        if (nav.GetNextElement(e)) {
            out += "+" + e.mName.Str();
        } else if (nav.IsExhausted() || nav.DepthExceeded()) {
            break;
        } else {
            out += "-";
        }
    }
    return out;
}

std::string TextOf(const std::string& element) {
    XMLBuffer b(256);
    b.Set(element.data(), static_cast<unsigned>(element.size()));
    XMLNavigator nav;
    nav.SetXMLSource(b);
    XMLElem e;
    XMLBuffer t(256);
    if (!nav.GetNextElement(e) || !nav.GetElementText(t)) {
        return "<none>";
    }
    return t.Str();
}

}  // namespace

TEST(XmlReader, PassesOverDeclarationsCommentsAndCharacterData) {
    EXPECT_EQ("+a+b--", Walk("<?xml version='1.0'?>\r\n<!DOCTYPE a>\n<!-- <x> -->"
                             "<a>\r\n <b>t</b><!-- c --></a>"));
    EXPECT_EQ("+a+b--", Walk("<a><![CDATA[<c>]]><b/></a>"));
}

TEST(XmlReader, AttributesWithQuotedAngleBracketsAreSkipped) {
    XMLBuffer b(256);
    b.Set("<a x='1>2' y=\"3\" z><b/></a>", 0);
    XMLNavigator nav;
    nav.SetXMLSource(b);
    XMLElem e;
    ASSERT_TRUE(nav.GetNextElement(e));
    EXPECT_EQ("a", e.mName.Str());
    ASSERT_EQ(3u, e.mAttrs.Size());
    EXPECT_EQ("1>2", e.mAttrs.At(0).second);
    ASSERT_TRUE(nav.GetNextElement(e));
    EXPECT_EQ("b", e.mName.Str());
}

TEST(XmlReader, ElementTextKeepsEntitiesAndTakesCDataVerbatim) {
    EXPECT_EQ("a&amp;b", TextOf("<s>a&amp;b</s>"));
    EXPECT_EQ("a<b>c", TextOf("<s>a<![CDATA[<b>]]>c</s>"));
    EXPECT_EQ("ab", TextOf("<s>a<!-- x -->b</s>"));
    EXPECT_EQ("<none>", TextOf("<s></s>"));
    EXPECT_EQ("<none>", TextOf("<s/>"));
}

TEST(XmlReader, SkipElementEndPassesChildren) {
    XMLBuffer b(256);
    b.Set("<a><b><c>x</c><d/></b></a><e/>", 0);
    XMLNavigator nav;
    nav.SetXMLSource(b);
    XMLElem e;
    ASSERT_TRUE(nav.GetNextElement(e));
    ASSERT_TRUE(nav.GetNextElement(e));  // b
    nav.SkipElementEnd();                // past </b>
    EXPECT_EQ(1, nav.GetDepth());
    EXPECT_FALSE(nav.GetNextElement(e));  // </a>
    ASSERT_TRUE(nav.GetNextElement(e));
    EXPECT_EQ("e", e.mName.Str());
}

// Truncated and broken texts are in the seeds of fuzz_replay.factory_fuzzer.
TEST(XmlReader, ZeroByteInsideTextIsPassedOver) {
    EXPECT_EQ("+a-+b-", Walk(std::string("<a>x\0y</a><b/>", 14)));
}

TEST(XmlReader, NestingIsBounded) {
    std::string deep;
    for (int i = 0; i < kMaxXmlDepth + 10; ++i) {
        deep += "<v>";
    }
    XMLBuffer b(256);
    b.Set(deep.c_str(), 0);
    XMLNavigator nav;
    nav.SetXMLSource(b);
    XMLElem e;
    int entered = 0;
    while (nav.GetNextElement(e)) {
        ++entered;
    }
    EXPECT_EQ(kMaxXmlDepth, entered);
    EXPECT_TRUE(nav.DepthExceeded());
    EXPECT_FALSE(nav.GetNextElement(e));
}
