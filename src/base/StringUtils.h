// Text helpers of the utility library.
//
// Stateless free functions; any thread may call them.
#pragma once

#include <cstddef>
#include <string>

namespace StringUtils {

// Replaces every occurrence of `search` in `text` at or after `start` with
// `replacement`, left to right; replaced text is not searched again. An empty
// `search` changes nothing. Returns the number of replacements.
int ReplaceString(std::string& text, const std::string& search, const std::string& replacement,
                  std::size_t start);

}  // namespace StringUtils
