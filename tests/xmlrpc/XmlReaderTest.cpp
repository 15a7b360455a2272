#include <gtest/gtest.h>

#include "xmlrpc/XMLNavigator.h"

namespace {

// A navigator over `text`.
struct Reader {
    explicit Reader(const std::string& text) {
        buffer.Set(text.data(), static_cast<unsigned>(text.size()));
        nav.SetXMLSource(buffer);
    }
    XMLBuffer buffer{256};
    XMLNavigator nav;
    XMLElem e;
};

// Walks the text, writing "+name" per element entered, "-" per end reported
// and the text of leaf elements in brackets.
std::string Walk(const std::string& text) {
    Reader r(text);
    std::string out;
    for (int guard = 0; guard < 1000; ++guard) {
        if (r.nav.GetNextElement(r.e)) {
            out += "+" + r.e.mName.Str();
        } else if (r.nav.IsExhausted() || r.nav.DepthExceeded()) {
            break;
        } else {
            out += "-";
        }
    }
    return out;
}

std::string TextOf(const std::string& element) {
    Reader r(element);
    XMLBuffer t(256);
    if (!r.nav.GetNextElement(r.e) || !r.nav.GetElementText(t)) {
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
    Reader r("<a x='1>2' y=\"3\" z><b/></a>");
    ASSERT_TRUE(r.nav.GetNextElement(r.e));
    EXPECT_EQ("a", r.e.mName.Str());
    ASSERT_EQ(3u, r.e.mAttrs.Size());
    EXPECT_EQ("1>2", r.e.mAttrs.At(0).second);
    ASSERT_TRUE(r.nav.GetNextElement(r.e));
    EXPECT_EQ("b", r.e.mName.Str());
}

TEST(XmlReader, ElementTextKeepsEntitiesAndTakesCDataVerbatim) {
    EXPECT_EQ("a&amp;b", TextOf("<s>a&amp;b</s>"));
    EXPECT_EQ("a<b>c", TextOf("<s>a<![CDATA[<b>]]>c</s>"));
    EXPECT_EQ("ab", TextOf("<s>a<!-- x -->b</s>"));
    EXPECT_EQ("<none>", TextOf("<s></s>"));
    EXPECT_EQ("<none>", TextOf("<s/>"));
}

TEST(XmlReader, SkipElementEndPassesChildren) {
    Reader r("<a><b><c>x</c><d/></b></a><e/>");
    ASSERT_TRUE(r.nav.GetNextElement(r.e));
    ASSERT_TRUE(r.nav.GetNextElement(r.e));  // b
    r.nav.SkipElementEnd();                  // past </b>
    EXPECT_EQ(1, r.nav.GetDepth());
    EXPECT_FALSE(r.nav.GetNextElement(r.e));  // </a>
    ASSERT_TRUE(r.nav.GetNextElement(r.e));
    EXPECT_EQ("e", r.e.mName.Str());
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
    Reader r(deep);
    int entered = 0;
    while (r.nav.GetNextElement(r.e)) {
        ++entered;
    }
    EXPECT_EQ(kMaxXmlDepth, entered);
    EXPECT_TRUE(r.nav.DepthExceeded());
    EXPECT_FALSE(r.nav.GetNextElement(r.e));
}
