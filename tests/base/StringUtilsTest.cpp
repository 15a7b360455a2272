#include "base/StringUtils.h"

#include <gtest/gtest.h>
#include <sys/types.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>

TEST(StringUtils, ReplacesEveryOccurrenceWithoutRescanningTheReplacement) {
    std::string text = "#MSGa#MSG#MSGb";
    EXPECT_EQ(StringUtils::ReplaceString(text, "#MSG", ". ", 0), 3);
    EXPECT_EQ(text, ". a. . b");
    text = "aaa";
    EXPECT_EQ(StringUtils::ReplaceString(text, "a", "aa", 1), 2);
    EXPECT_EQ(text, "aaaaa");
}

namespace {

// FormatText and vsnprintf on the same arguments, into buffers of `size`:
// the same result and the same bytes (up to the terminator).
template <typename... Args>
void ExpectAsPrintf(std::size_t size, const char* format, Args... values) {
    std::string ours(size + 1, '#');
    std::string theirs(size + 1, '#');
    // FormatText takes a va_list: a variadic lambda makes one.
    const auto formatText = [&](char* out, ...) {
        va_list args;
        va_start(args, out);
        const int r = StringUtils::FormatText(out, size, format, args);
        va_end(args);
        return r;
    };
    const int r1 = formatText(ours.data(), values...);
    const int r2 = snprintf(theirs.data(), size, format, values...);
    EXPECT_EQ(r1, r2) << format << " in " << size;
    EXPECT_EQ(ours, theirs) << format << " in " << size;
}

}  // namespace

TEST(StringUtils, FormatsLogLinesAsPrintfDoes) {
    for (std::size_t size : {0, 1, 5, 12, 64, 8192}) {
        ExpectAsPrintf(size, "CCS: BuildAndSendXml. Sent...\n");
        ExpectAsPrintf(size, "\n%s\n", std::string(900, 'x').c_str());
        ExpectAsPrintf(size, "%s|%s|%c%%", "", static_cast<const char*>(nullptr), 'A');
        ExpectAsPrintf(size, "%d %i %u %ld %lu", INT_MIN, -7, UINT_MAX, LONG_MIN, ULONG_MAX);
        ExpectAsPrintf(size, "%llu %lld %zu %zd.", ULLONG_MAX, LLONG_MIN, SIZE_MAX,
                       static_cast<ssize_t>(-3));
        // Flags, width, precision and other conversions: printf's own work.
        ExpectAsPrintf(size, "%5d|%-3s|%.2s|%x|%08x|%", 42, "a", "abc", 255u, 255u);
        ExpectAsPrintf(size, "%ls|%hd", L"w", 3);
    }
}
