// Text helpers of the utility library.
//
// Stateless free functions; any thread may call them.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

namespace StringUtils {

// Replaces every occurrence of `search` in `text` at or after `start` with
// `replacement`, left to right; replaced text is not searched again. An empty
// `search` changes nothing. Returns the number of replacements.
int ReplaceString(std::string& text, const std::string& search, const std::string& replacement,
                  std::size_t start);

// `text` fit for one log line: every control character (below 0x20, and DEL)
// is written as a backslash escape (\n, \r, \t or \xNN), so that text from
// outside (a client's file name, a message) cannot start a forged line of its
// own. Other bytes, backslash included, are kept.
std::string EscapeControl(std::string_view text);
// The same, appended to `out`.
void AppendEscapedControl(std::string& out, std::string_view text);

// vsnprintf(out, size, format, args): the same bytes and the same result, but
// without stdio for the formats a log line has: conversions %s, %c, %d, %i and
// %u (the integers also with l, ll or z), and %%, with no flags, width or
// precision. Any other format goes to vsnprintf. Consumes `args`.
int FormatText(char* out, std::size_t size, const char* format, va_list& args);

}  // namespace StringUtils
