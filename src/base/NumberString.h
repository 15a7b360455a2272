// Decimal conversion through string streams, for unsigned 64-bit, int, long,
// unsigned short and unsigned int. Reading skips leading white space, stops at
// the first character that does not fit and gives 0 when nothing can be read.
// Stateless; any thread.
#pragma once

#include <sstream>
#include <string>
#include <type_traits>

template <typename T>
std::string NumberToString(const T& value) {
    static_assert(std::is_integral<T>::value, "integral types only");
    std::ostringstream out;
    out << value;
    return out.str();
}

template <typename T>
T StringToNumber(const std::string& text) {
    static_assert(std::is_integral<T>::value, "integral types only");
    std::istringstream in(text);
    T value = 0;
    // A text without a number leaves 0; an out-of-range number stores the
    // type's limit (the stream's own rule).
    in >> value;
    return value;
}
