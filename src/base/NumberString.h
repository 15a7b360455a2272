// Decimal conversion for unsigned 64-bit, int, long, unsigned short and
// unsigned int, with the rules of the standard streams' number input but
// without a stream (a stream costs a locale lookup on every call, which shows
// on the paths that run once per message). Reading skips leading white space,
// takes one sign, stops at the first character that does not fit and gives 0
// when nothing can be read; an out-of-range number gives the type's limit, and
// a negative one read into an unsigned type wraps, as a stream does. For a
// signed type that is also what strtol reads, saturated to the type (the
// codec's <int> values). Stateless; any thread.
#pragma once

#include <charconv>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>

template <typename T>
std::string NumberToString(const T& value) {
    static_assert(std::is_integral<T>::value && !std::is_same<T, bool>::value &&
                      !std::is_same<T, char>::value,
                  "integral numbers only");
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return std::string(digits, end);
}

template <typename T>
T StringToNumber(std::string_view text) {
    static_assert(std::is_integral<T>::value && !std::is_same<T, bool>::value,
                  "integral numbers only");
    using Unsigned = typename std::make_unsigned<T>::type;
    const auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    size_t p = 0;
    while (p < text.size() && isSpace(text[p])) {
        ++p;
    }
    bool negative = false;
    if (p < text.size() && (text[p] == '-' || text[p] == '+')) {
        negative = text[p] == '-';
        ++p;
    }
    if (p == text.size() || !isDigit(text[p])) {
        return 0;
    }
    const bool toMin = negative && std::is_signed<T>::value;
    const Unsigned max =
        toMin ? static_cast<Unsigned>(0) - static_cast<Unsigned>(std::numeric_limits<T>::min())
              : static_cast<Unsigned>(std::numeric_limits<T>::max());
    Unsigned result = 0;
    for (; p < text.size() && isDigit(text[p]); ++p) {
        const auto digit = static_cast<Unsigned>(text[p] - '0');
        if (result > static_cast<Unsigned>((max - digit) / 10)) {
            return toMin ? std::numeric_limits<T>::min() : std::numeric_limits<T>::max();
        }
        result = static_cast<Unsigned>(result * 10 + digit);
    }
    return static_cast<T>(negative ? static_cast<Unsigned>(0) - result : result);
}
