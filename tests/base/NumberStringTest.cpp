#include "base/NumberString.h"

#include <gtest/gtest.h>

#include <limits>

// Reads the leading number, stops at the first misfit, gives 0 for a text
// without one and saturates out of range.
TEST(NumberString, ReadsLeadingNumberSaturating) {
    EXPECT_EQ(StringToNumber<int>("  42abc"), 42);
    EXPECT_EQ(StringToNumber<unsigned short>("4849"), 4849);
    EXPECT_EQ(StringToNumber<unsigned long long>("18446744073709551615"),
              std::numeric_limits<unsigned long long>::max());
    EXPECT_EQ(StringToNumber<long>("-17 "), -17);
    EXPECT_EQ(StringToNumber<int>(""), 0);
    EXPECT_EQ(StringToNumber<int>("abc"), 0);
    EXPECT_EQ(StringToNumber<unsigned int>("   "), 0u);
    EXPECT_EQ(StringToNumber<unsigned short>("70000"), std::numeric_limits<unsigned short>::max());
    EXPECT_EQ(StringToNumber<int>("99999999999"), std::numeric_limits<int>::max());
    EXPECT_EQ(StringToNumber<int>("-2147483649"), std::numeric_limits<int>::min());
    EXPECT_EQ(StringToNumber<int>("+7"), 7);
    EXPECT_EQ(StringToNumber<int>("+-7"), 0);
    // A negative number read into an unsigned type wraps, as a stream reads it.
    EXPECT_EQ(StringToNumber<unsigned int>("-1"), std::numeric_limits<unsigned int>::max());
}

TEST(NumberString, WritesDecimal) {
    EXPECT_EQ(NumberToString<unsigned long long>(18446744073709551615ull), "18446744073709551615");
    EXPECT_EQ(NumberToString(-5), "-5");
    EXPECT_EQ(NumberToString<unsigned short>(0), "0");
}
