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

std::string EscapeControl(std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            out += c;
        } else if (c == '\n' || c == '\r' || c == '\t') {
            out += '\\';
            out += c == '\n' ? 'n' : (c == '\r' ? 'r' : 't');
        } else {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xf];
        }
    }
    return out;
}

}  // namespace StringUtils
