#include "xmlrpc/XmlRpcLog.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "base/StringUtils.h"
#include "xmlrpc/XMLNavigator.h"
#include "xmlrpc/XmlRpcMethod.h"
#include "xmlrpc/XmlRpcNames.h"
#include "xmlrpc/XmlRpcValue.h"

namespace {

std::atomic<XmlRpcLogSink> gSink{nullptr};
std::atomic<bool> gSecretsMasked{false};

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

// True when MessageForLog would change `text`: a control character in a tag,
// or in character data that is not blanks alone. One pass, no allocation: the
// usual message has only the line breaks of its layout.
bool HasControlToEscape(const std::string& text) {
    bool inTag = false;
    bool dataNonBlank = false;
    bool dataControl = false;
    for (const char c : text) {
        if (inTag) {
            if (c == '>') {
                inTag = false;
            } else if (IsControl(c)) {
                return true;
            }
        } else if (c == '<') {
            inTag = true;
            dataNonBlank = dataControl = false;
        } else if (IsControl(c)) {
            if (!IsBlank(c) || dataNonBlank) {
                return true;
            }
            dataControl = true;
        } else if (!IsBlank(c)) {
            if (dataControl) {
                return true;
            }
            dataNonBlank = true;
        }
    }
    return false;
}

bool IsTagNameByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == ':' || c == '.' || c == '-';
}

// Length of the plain tag at `at` ('<'): a start, end or empty tag made of a
// name only, blanks allowed before its end. 0 for anything else (comments,
// CDATA, tags with attributes), whose bytes count as character data here.
size_t PlainTagLength(std::string_view text, size_t at) {
    size_t p = at + 1;
    if (p < text.size() && text[p] == '/') {
        ++p;
    }
    const size_t nameStart = p;
    while (p < text.size() && IsTagNameByte(text[p])) {
        ++p;
    }
    if (p == nameStart) {
        return 0;
    }
    while (p < text.size() && IsBlank(text[p])) {
        ++p;
    }
    if (p < text.size() && text[p] == '/') {
        ++p;
    }
    return p < text.size() && text[p] == '>' ? p + 1 - at : 0;
}

// Where the `count`th start tag named "param" ends; npos when there are fewer.
// Names are told as the reader tells them (up to a blank, '/' or '>', case
// ignored), so every "param" the parser sees is counted; one inside a comment
// is counted too, which only moves the masking earlier.
size_t AfterParamTag(std::string_view text, int count) {
    constexpr std::string_view kParam = "param";
    int seen = 0;
    for (size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at + 1)) {
        size_t end = at + 1;
        while (end < text.size() && end <= at + 1 + kParam.size() && !IsBlank(text[end]) &&
               text[end] != '/' && text[end] != '>') {
            ++end;
        }
        if (xmlrpc_names::Is(text.substr(at + 1, end - at - 1), kParam) && ++seen == count) {
            const size_t close = text.find('>', end);
            return close == std::string_view::npos ? text.size() : close + 1;
        }
    }
    return std::string_view::npos;
}

// The first secret parameter (counted from 1) of the call in `message`: 2 for
// "authenticate", 3 for "sauthenticate", 0 for other methods. A method name
// the factory does not know (or none) gives 2 when the words "methodCall" and
// "authenticate" appear anywhere, so that a malformed attempt does not log its
// password; a response ("Authenticated.") is left alone.
int FirstSecretParam(const std::string& message) {
    XMLNavigator nav;
    nav.SetXMLSource(message.c_str(), std::strlen(message.c_str()));
    XmlRpcValueString name;
    if (xmlrpc_names::NextIs(nav, xmlrpc_names::kMethodCall) &&
        xmlrpc_names::NextIs(nav, xmlrpc_names::kMethodName) && name.Parse(nav)) {
        for (int i = 0; i < kMethodCount; ++i) {
            if (xmlrpc_names::Is(name.mstrValue, XmlRpcRequestMethod::_Methods[i])) {
                return i == kMethodAuthenticate ? 2 : (i == kMethodSAuthenticate ? 3 : 0);
            }
        }
    }
    std::string lower(message);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.find("methodcall") != std::string::npos &&
                   lower.find("authenticate") != std::string::npos
               ? 2
               : 0;
}

}  // namespace

void SetXmlRpcLogSink(XmlRpcLogSink sink) {
    gSink.store(sink);
}

void XmlRpcTrace(const char* format, ...) {
    XmlRpcLogSink sink = gSink.load();
    if (sink == nullptr) {
        return;
    }
    char small[256];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        va_end(again);
        sink(small);
        return;
    }
    std::vector<char> big(static_cast<size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), format, again);
    va_end(again);
    sink(big.data());
}

void SetLogSecretsMasked(bool masked) {
    gSecretsMasked.store(masked);
}

bool LogSecretsMasked() {
    return gSecretsMasked.load();
}

std::string SecretForLog(const std::string& secret) {
    return LogSecretsMasked() ? kLoggedSecretMask : secret;
}

std::string MessageForLog(const std::string& message) {
    const bool masked = LogSecretsMasked();
    const std::string maskedText = masked ? MaskSecretParams(message) : std::string();
    const std::string& text = masked ? maskedText : message;
    if (!HasControlToEscape(text)) {
        return text;
    }
    std::string out;
    out.reserve(text.size() + 16);
    size_t p = 0;
    while (p < text.size()) {
        // A piece is a tag ('<' to '>') or the character data up to the next '<'.
        const bool tag = text[p] == '<';
        size_t end = text.find(tag ? '>' : '<', p);
        end = end == std::string::npos ? text.size() : end + (tag ? 1 : 0);
        const std::string_view piece(text.data() + p, end - p);
        // Only blanks between tags are the XML's layout: their line breaks
        // stay. In data (a value, a name) a line break could start a forged
        // log line, so it is escaped like any control character.
        if (!tag && std::all_of(piece.begin(), piece.end(), IsBlank)) {
            out.append(piece);
        } else {
            StringUtils::AppendEscapedControl(out, piece);
        }
        p = end;
    }
    return out;
}

std::string MaskSecretParams(const std::string& message) {
    const int first = FirstSecretParam(message);
    if (first == 0) {
        return message;
    }
    const std::string_view text(message);
    size_t from = AfterParamTag(text, first);
    if (from == std::string_view::npos) {
        from = AfterParamTag(text, 1);
    }
    if (from == std::string_view::npos) {
        from = 0;
    }
    std::string out(text.substr(0, from));
    size_t p = from;
    while (p < text.size()) {
        const size_t tag = text[p] == '<' ? PlainTagLength(text, p) : 0;
        if (tag > 0) {
            out.append(text.substr(p, tag));
            p += tag;
            continue;
        }
        size_t end = p + 1;
        while (end < text.size() && !(text[end] == '<' && PlainTagLength(text, end) > 0)) {
            ++end;
        }
        // Blanks that break lines between tags are layout, kept; any other run
        // may be (part of) the secret.
        const std::string_view run = text.substr(p, end - p);
        const bool layout = std::all_of(run.begin(), run.end(), IsBlank) &&
                            run.find_first_of("\r\n") != std::string_view::npos;
        out.append(layout ? run : std::string_view(kLoggedSecretMask));
        p = end;
    }
    return out;
}
