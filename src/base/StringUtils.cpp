#include "base/StringUtils.h"

namespace StringUtils {

int ReplaceString(std::string& text, const std::string& search, const std::string& replacement,
                  std::size_t start) {
    if (search.empty()) {
        return 0;
    }
    int count = 0;
    std::string::size_type pos = start;
    while ((pos = text.find(search, pos)) != std::string::npos) {
        text.replace(pos, search.size(), replacement);
        pos += replacement.size();
        ++count;
    }
    return count;
}

}  // namespace StringUtils
