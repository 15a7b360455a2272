#include "xmlrpc/XmlRpcValue.h"

#include "base/NumberString.h"
#include "xmlrpc/XmlRpcNames.h"

#include <strings.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Reads the element text (if any) and passes the type end tag. The view is
// valid until the reader moves on, so `use` runs before the end tag is passed.
template <typename Use>
void ReadScalarText(XMLNavigator& nav, Use use) {
    std::string_view text;
    if (nav.ElementText(text)) {
        use(text);
    }
    nav.SkipElementEnd();
}

bool HasPrefix(const char* p, const char* end, const char* prefix, size_t n) {
    return static_cast<size_t>(end - p) >= n && std::memcmp(p, prefix, n) == 0;
}

}  // namespace

const char* const XmlRpcValue::_ValueTypes[TypeCount] = {
    "int", "boolean", "double", "dateTime.iso8601", "string", "base64", "array", "struct",
};
const char* const XmlRpcValue::_AlterIntName = "i4";
const char* const XmlRpcValue::_Value = "value";
const char* const XmlRpcValue::_StartTagStart = "<";
const char* const XmlRpcValue::_EndTagStart = "</";

bool XmlRpcValue::Build(std::string& out) const {
    (void)out;
    return false;
}

void XmlRpcValue::BuildScalar(std::string& out, std::string_view body) const {
    const std::string_view tag = _ValueTypes[mnType];
    out.append("<value><", 8);
    out.append(tag);
    out += '>';
    out.append(body);
    out.append("</", 2);
    out.append(tag);
    out.append("></value>\r\n", 11);
}

XmlRpcValue* XmlRpcValue::NewValue(const char* tag) {
    return xmlrpc_names::NewValue(tag);
}

XmlRpcValue* xmlrpc_names::NewValue(std::string_view tag) {
    // By length first: each length has at most four candidates.
    int type = -1;
    switch (tag.size()) {
        case 2:
            type = Is(tag, "i4") ? XmlRpcValue::TypeInt : -1;
            break;
        case 3:
            type = Is(tag, "int") ? XmlRpcValue::TypeInt : -1;
            break;
        case 5:
            type = Is(tag, "array") ? XmlRpcValue::TypeArray : -1;
            break;
        case 6:
            if (Is(tag, "string")) {
                type = XmlRpcValue::TypeString;
            } else if (Is(tag, "struct")) {
                type = XmlRpcValue::TypeStruct;
            } else if (Is(tag, "double")) {
                type = XmlRpcValue::TypeDouble;
            } else if (Is(tag, "base64")) {
                type = XmlRpcValue::TypeBase64;
            }
            break;
        case 7:
            type = Is(tag, "boolean") ? XmlRpcValue::TypeBool : -1;
            break;
        case 16:
            type = Is(tag, "dateTime.iso8601") ? XmlRpcValue::TypeDateTime : -1;
            break;
        default:
            break;
    }
    switch (type) {
        case XmlRpcValue::TypeInt:
            return new XmlRpcValueInt();
        case XmlRpcValue::TypeBool:
            return new XmlRpcValueBool();
        case XmlRpcValue::TypeDouble:
            return new XmlRpcValueDouble();
        case XmlRpcValue::TypeDateTime:
            return new XmlRpcValueDateTime();
        case XmlRpcValue::TypeString:
            return new XmlRpcValueString();
        case XmlRpcValue::TypeBase64:
            return new XmlRpcValueBase64();
        case XmlRpcValue::TypeArray:
            return new XmlRpcValueArray();
        case XmlRpcValue::TypeStruct:
            return new XmlRpcValueStruct();
        default:
            return nullptr;
    }
}

bool XmlRpcValue::CheckNextElem(XMLNavigator& nav, const char* name) {
    return xmlrpc_names::NextIs(nav, name);
}

XmlRpcValue* XmlRpcValue::GetParamValue(XMLNavigator& nav) {
    if (!xmlrpc_names::NextIs(nav, xmlrpc_names::kValue)) {
        return nullptr;
    }
    std::string_view tag;
    if (!nav.NextElement(&tag)) {
        return nullptr;
    }
    return xmlrpc_names::NewValue(tag);
}

bool XmlRpcValueInt::Build(std::string& out) const {
    char digits[16];
    const int n = std::snprintf(digits, sizeof digits, "%d", mnValue);
    BuildScalar(out, std::string_view(digits, n > 0 ? static_cast<size_t>(n) : 0));
    return true;
}

bool XmlRpcValueInt::Parse(XMLNavigator& nav) {
    ReadScalarText(nav, [this](std::string_view text) { mnValue = StringToNumber<int>(text); });
    return true;
}

bool XmlRpcValueBool::Build(std::string& out) const {
    BuildScalar(out, mbValue ? "1" : "0");
    return true;
}

bool XmlRpcValueBool::Parse(XMLNavigator& nav) {
    ReadScalarText(nav,
                   [this](std::string_view text) { mbValue = StringToNumber<int>(text) != 0; });
    return true;
}

bool XmlRpcValueDouble::Build(std::string& out) const {
    // "%f" of the largest double is 317 bytes.
    char small[400];
    const int n = std::snprintf(small, sizeof small, "%f", mdValue);
    if (n < 0) {
        BuildScalar(out, std::string_view());
    } else if (static_cast<size_t>(n) < sizeof small) {
        BuildScalar(out, std::string_view(small, static_cast<size_t>(n)));
    } else {
        std::string body(static_cast<size_t>(n), '\0');
        std::snprintf(&body[0], body.size() + 1, "%f", mdValue);
        BuildScalar(out, body);
    }
    return true;
}

bool XmlRpcValueDouble::Parse(XMLNavigator& nav) {
    ReadScalarText(nav, [this](std::string_view text) {
        const std::string copy(text);  // strtod reads up to a NUL
        mdValue = std::strtod(copy.c_str(), nullptr);
    });
    return true;
}

bool XmlRpcValueString::Build(std::string& out) const {
    const std::string_view tag = _ValueTypes[GetType()];
    out.append("<value><", 8);
    out.append(tag);
    out += '>';
    AppendEscaped(out, mstrValue);
    out.append("</", 2);
    out.append(tag);
    out.append("></value>\r\n", 11);
    return true;
}

bool XmlRpcValueString::Parse(XMLNavigator& nav) {
    ReadScalarText(nav, [this](std::string_view text) {
        mstrValue.clear();
        AppendRecovered(mstrValue, text.data(), text.size());
    });
    return true;
}

bool XmlRpcValueArray::Build(std::string& out) const {
    out.append("<value><array><data>\r\n");
    for (const auto& v : mvValues) {
        if (!v->Build(out)) {
            return false;
        }
    }
    out.append("</data></array></value>\r\n");
    return true;
}

bool XmlRpcValueArray::Cleanup() {
    mvValues.clear();
    return false;
}

bool XmlRpcValueArray::Parse(XMLNavigator& nav) {
    if (!xmlrpc_names::NextIs(nav, xmlrpc_names::kData)) {
        return false;
    }
    for (;;) {
        std::unique_ptr<XmlRpcValue> v(GetParamValue(nav));
        if (!v) {
            break;
        }
        if (!v->Parse(nav)) {
            return Cleanup();
        }
        mvValues.push_back(std::move(v));
        nav.SkipElementEnd();
    }
    nav.SkipElementEnd();
    return true;
}

bool XmlRpcValueStruct::Build(std::string& out) const {
    out.append("<value><struct>");
    for (const Member& m : mvMembers) {
        out.append("\r\n<member>\r\n<name>");
        out.append(m.first);
        out.append("</name>\r\n");
        if (!m.second->Build(out)) {
            return false;
        }
        out.append("</member>");
    }
    out.append("\r\n</struct></value>\r\n");
    return true;
}

bool XmlRpcValueStruct::Cleanup() {
    mvMembers.clear();
    return false;
}

bool XmlRpcValueStruct::Parse(XMLNavigator& nav) {
    while (xmlrpc_names::NextIs(nav, xmlrpc_names::kMember)) {
        if (!xmlrpc_names::NextIs(nav, xmlrpc_names::kName)) {
            return Cleanup();
        }
        std::string_view text;
        nav.ElementText(text);
        std::string name(text);  // before the value's text replaces the view
        nav.SkipElementEnd();
        std::unique_ptr<XmlRpcValue> v(GetParamValue(nav));
        if (!v || !v->Parse(nav)) {
            return Cleanup();
        }
        mvMembers.emplace_back(std::move(name), std::move(v));
        nav.SkipElementEnd();
        nav.SkipElementEnd();
    }
    return true;
}

XmlRpcValue* XmlRpcValueStruct::GetMemberValue(const char* name) const {
    for (const Member& m : mvMembers) {
        if (strcasecmp(m.first.c_str(), name) == 0 && m.first.find('\0') == std::string::npos) {
            return m.second.get();
        }
    }
    return nullptr;
}

void XmlRpcValueStruct::SetMemberValue(const char* name, XmlRpcValue* value) {
    std::unique_ptr<XmlRpcValue> owned(value);
    for (Member& m : mvMembers) {
        if (strcasecmp(m.first.c_str(), name) == 0 && m.first.find('\0') == std::string::npos) {
            m.second = std::move(owned);
            return;
        }
    }
    mvMembers.emplace_back(name, std::move(owned));
}

void AppendEscaped(std::string& out, std::string_view text) {
    size_t from = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char* with;
        switch (text[i]) {
            case '<':
                with = "&lt;";
                break;
            case '>':
                with = "&gt;";
                break;
            case '&':
                with = "&amp;";
                break;
            default:
                continue;
        }
        out.append(text.data() + from, i - from);
        out.append(with);
        from = i + 1;
    }
    out.append(text.data() + from, text.size() - from);
}

void ReplaceSpecialSymbols(std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    AppendEscaped(out, text);
    text.swap(out);
}

void AppendRecovered(std::string& out, const char* text, size_t length) {
    const char* p = text;
    const char* const end = text + length;
    while (p < end) {
        const char* amp = static_cast<const char*>(std::memchr(p, '&', end - p));
        if (amp == nullptr) {
            out.append(p, end - p);
            return;
        }
        out.append(p, amp - p);
        // What one '&' and the letters after it (up to the next '&', which no
        // escape contains) become under the five passes: "&amp;" repeats fold
        // into the '&' first; then "&lt;" or "&gt;"; else "&amp" repeats fold
        // and "&lt" is the last chance.
        p = amp + 1;
        while (HasPrefix(p, end, "amp;", 4)) {
            p += 4;
        }
        if (HasPrefix(p, end, "lt;", 3)) {
            out += '<';
            p += 3;
        } else if (HasPrefix(p, end, "gt;", 3)) {
            out += '>';
            p += 3;
        } else {
            while (HasPrefix(p, end, "amp", 3)) {
                p += 3;
            }
            if (HasPrefix(p, end, "lt", 2)) {
                out += '<';
                p += 2;
            } else {
                out += '&';
            }
        }
    }
}

void RecoverSpecialSymbols(std::string& text) {
    const size_t amp = text.find('&');
    if (amp == std::string::npos) {
        return;
    }
    std::string out;
    out.reserve(text.size());
    out.append(text, 0, amp);
    AppendRecovered(out, text.data() + amp, text.size() - amp);
    text.swap(out);
}
