#include "base/StringUtils.h"

#include <sys/types.h>

#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>

namespace StringUtils {

namespace {

// True when every conversion of `format` is one FormatText writes itself.
bool PlainFormat(const char* format) {
    for (const char* p = std::strchr(format, '%'); p != nullptr; p = std::strchr(p, '%')) {
        ++p;
        if (*p == '%') {
            ++p;
            continue;
        }
        const char* conversion = p;
        if (*p == 'l') {
            p += p[1] == 'l' ? 2 : 1;
        } else if (*p == 'z') {
            ++p;
        }
        const bool integer = *p == 'd' || *p == 'i' || *p == 'u';
        const bool plain = p == conversion && (*p == 's' || *p == 'c');
        if (!integer && !plain) {
            return false;
        }
        ++p;
    }
    return true;
}

// Writes what fits of the text into [at, end) (end keeps room for the
// terminating NUL) and counts the whole of it.
struct Output {
    char* at;
    char* end;
    std::size_t total = 0;

    void Put(const char* text, std::size_t length) {
        const std::size_t room = static_cast<std::size_t>(end - at);
        const std::size_t n = length < room ? length : room;
        std::memcpy(at, text, n);
        at += n;
        total += length;
    }
    template <typename T>
    void Number(T value) {
        char digits[24];
        const char* last = std::to_chars(digits, digits + sizeof digits, value).ptr;
        Put(digits, static_cast<std::size_t>(last - digits));
    }
};

}  // namespace

int FormatText(char* out, std::size_t size, const char* format, va_list& args) {
    if (!PlainFormat(format)) {
        return vsnprintf(out, size, format, args);
    }
    char none[1];
    Output o{size > 0 ? out : none, size > 0 ? out + size - 1 : none};
    const char* p = format;
    for (const char* percent = std::strchr(p, '%'); percent != nullptr;
         percent = std::strchr(p, '%')) {
        o.Put(p, static_cast<std::size_t>(percent - p));
        p = percent + 1;
        int longs = 0;
        bool sized = false;
        for (; *p == 'l'; ++p) {
            ++longs;
        }
        if (*p == 'z') {
            sized = true;
            ++p;
        }
        switch (*p++) {
            case '%':
                o.Put("%", 1);
                break;
            case 's': {
                const char* text = va_arg(args, const char*);
                text = text != nullptr ? text : "(null)";
                o.Put(text, std::strlen(text));
                break;
            }
            case 'c': {
                const char c = static_cast<char>(va_arg(args, int));
                o.Put(&c, 1);
                break;
            }
            case 'u':
                if (sized) {
                    o.Number(va_arg(args, std::size_t));
                } else if (longs == 2) {
                    o.Number(va_arg(args, unsigned long long));
                } else if (longs == 1) {
                    o.Number(va_arg(args, unsigned long));
                } else {
                    o.Number(va_arg(args, unsigned));
                }
                break;
            default:  // d, i
                if (sized) {
                    o.Number(va_arg(args, ssize_t));
                } else if (longs == 2) {
                    o.Number(va_arg(args, long long));
                } else if (longs == 1) {
                    o.Number(va_arg(args, long));
                } else {
                    o.Number(va_arg(args, int));
                }
                break;
        }
    }
    o.Put(p, std::strlen(p));
    *o.at = '\0';
    return o.total > static_cast<std::size_t>(INT_MAX) ? -1 : static_cast<int>(o.total);
}

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
