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

void AppendEscapedControl(std::string& out, std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    const char* run = text.data();
    const char* const end = run + text.size();
    for (const char* p = run; p != end; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        if (byte >= 0x20 && byte != 0x7f) {
            continue;
        }
        // The printable run before it goes in one piece.
        out.append(run, static_cast<std::size_t>(p - run));
        run = p + 1;
        if (*p == '\n' || *p == '\r' || *p == '\t') {
            const char escaped[2] = {'\\', *p == '\n' ? 'n' : (*p == '\r' ? 'r' : 't')};
            out.append(escaped, 2);
        } else {
            const char escaped[4] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf]};
            out.append(escaped, 4);
        }
    }
    out.append(run, static_cast<std::size_t>(end - run));
}

std::string EscapeControl(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    AppendEscapedControl(out, text);
    return out;
}

}  // namespace StringUtils
