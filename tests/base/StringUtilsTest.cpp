#include "base/StringUtils.h"

#include <gtest/gtest.h>

TEST(StringUtils, ReplacesEveryOccurrenceWithoutRescanningTheReplacement) {
    std::string text = "#MSGa#MSG#MSGb";
    EXPECT_EQ(StringUtils::ReplaceString(text, "#MSG", ". ", 0), 3);
    EXPECT_EQ(text, ". a. . b");
    text = "aaa";
    EXPECT_EQ(StringUtils::ReplaceString(text, "a", "aa", 1), 2);
    EXPECT_EQ(text, "aaaaa");
}
