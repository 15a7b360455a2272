#include "platform/XMLNavigator.h"

#include <cstring>

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

void XMLBuffer::Set(const char* text, unsigned length) {
    if (text == nullptr) {
        mData.clear();
    } else if (length == 0) {
        mData.assign(text);
    } else {
        mData.assign(text, length);
    }
}

bool XMLBuffer::EqualsNoCase(const char* name) const {
    size_t n = std::strlen(name);
    if (n != mData.size()) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        if (LowerAscii(mData[i]) != LowerAscii(name[i])) {
            return false;
        }
    }
    return true;
}

void XMLNavigator::SetXMLSource(const XMLBuffer& source) {
    mText = source.Str();
    mnPos = 0;
    mnDepth = 0;
    mbEmptyOpen = false;
    mbExhausted = false;
    mbDepthExceeded = false;
}

bool XMLNavigator::SkipPast(const char* terminator, size_t length) {
    size_t at = mText.find(terminator, mnPos, length);
    if (at == std::string::npos) {
        MarkExhausted();
        return false;
    }
    mnPos = at + length;
    return true;
}

bool XMLNavigator::SkipToTag(std::string* text) {
    static const char kCData[] = "<![CDATA[";
    while (mnPos < mText.size()) {
        size_t lt = mText.find('<', mnPos);
        if (lt == std::string::npos) {
            if (text != nullptr) {
                text->append(mText, mnPos, std::string::npos);
            }
            MarkExhausted();
            return false;
        }
        if (text != nullptr) {
            text->append(mText, mnPos, lt - mnPos);
        }
        mnPos = lt;
        if (mText.compare(mnPos, 2, "<?") == 0) {
            if (!SkipPast("?>", 2)) {
                return false;
            }
        } else if (mText.compare(mnPos, 4, "<!--") == 0) {
            mnPos += 4;
            if (!SkipPast("-->", 3)) {
                return false;
            }
        } else if (mText.compare(mnPos, sizeof kCData - 1, kCData) == 0) {
            size_t start = mnPos + sizeof kCData - 1;
            size_t end = mText.find("]]>", start);
            if (end == std::string::npos) {
                MarkExhausted();
                return false;
            }
            if (text != nullptr) {
                text->append(mText, start, end - start);
            }
            mnPos = end + 3;
        } else if (mText.compare(mnPos, 2, "<!") == 0) {
            if (!SkipPast(">", 1)) {
                return false;
            }
        } else {
            return true;
        }
    }
    MarkExhausted();
    return false;
}

XMLNavigator::Markup XMLNavigator::ReadTag(XMLElem* elem) {
    const size_t size = mText.size();
    size_t p = mnPos + 1;
    if (p < size && mText[p] == '/') {
        size_t gt = mText.find('>', p);
        if (gt == std::string::npos) {
            MarkExhausted();
            return Markup::None;
        }
        mnPos = gt + 1;
        return Markup::EndTag;
    }
    size_t nameStart = p;
    while (p < size && !IsSpace(mText[p]) && mText[p] != '/' && mText[p] != '>') {
        ++p;
    }
    if (elem != nullptr) {
        elem->mName.Clear();
        elem->mName.Append(mText.data() + nameStart, static_cast<unsigned>(p - nameStart));
        elem->mAttrs.Clear();
    }
    while (p < size) {
        char c = mText[p];
        if (IsSpace(c)) {
            ++p;
        } else if (c == '>') {
            mnPos = p + 1;
            return Markup::StartTag;
        } else if (c == '/') {
            if (p + 1 < size && mText[p + 1] == '>') {
                mnPos = p + 2;
                return Markup::EmptyTag;
            }
            ++p;
        } else {
            // An attribute: name, optionally '=' and a quoted or bare value.
            size_t an = p;
            while (p < size && !IsSpace(mText[p]) && mText[p] != '=' && mText[p] != '>' &&
                   mText[p] != '/') {
                ++p;
            }
            std::string name = mText.substr(an, p - an);
            std::string value;
            while (p < size && IsSpace(mText[p])) {
                ++p;
            }
            if (p < size && mText[p] == '=') {
                ++p;
                while (p < size && IsSpace(mText[p])) {
                    ++p;
                }
                if (p < size && (mText[p] == '"' || mText[p] == '\'')) {
                    size_t close = mText.find(mText[p], p + 1);
                    if (close == std::string::npos) {
                        MarkExhausted();
                        return Markup::None;
                    }
                    value = mText.substr(p + 1, close - p - 1);
                    p = close + 1;
                } else {
                    size_t vs = p;
                    while (p < size && !IsSpace(mText[p]) && mText[p] != '>') {
                        ++p;
                    }
                    value = mText.substr(vs, p - vs);
                }
            } else if (p == an) {
                ++p;  // a stray character such as a quote: step over it
            }
            if (elem != nullptr && elem->mAttrs.Size() < kMaxAttributes) {
                elem->mAttrs.Add(std::move(name), std::move(value));
            }
        }
    }
    MarkExhausted();
    return Markup::None;
}

bool XMLNavigator::GetNextElement(XMLElem& elem) {
    elem.mName.Clear();
    elem.mAttrs.Clear();
    if (Stopped()) {
        return false;
    }
    if (mbEmptyOpen) {
        // <name/> has no end tag of its own: its end is reported here.
        mbEmptyOpen = false;
        --mnDepth;
        return false;
    }
    if (!SkipToTag(nullptr)) {
        return false;
    }
    Markup m = ReadTag(&elem);
    if (m == Markup::None) {
        return false;
    }
    if (m == Markup::EndTag) {
        if (mnDepth > 0) {
            --mnDepth;
        }
        return false;
    }
    if (mnDepth >= kMaxXmlDepth) {
        mbDepthExceeded = true;
        return false;
    }
    ++mnDepth;
    mbEmptyOpen = (m == Markup::EmptyTag);
    return true;
}

bool XMLNavigator::GetElementText(XMLBuffer& text) {
    text.Clear();
    if (Stopped() || mbEmptyOpen) {
        return false;
    }
    std::string data;
    SkipToTag(&data);
    text.Append(data.data(), static_cast<unsigned>(data.size()));
    return !data.empty();
}

void XMLNavigator::SkipElementEnd() {
    if (Stopped()) {
        return;
    }
    if (mbEmptyOpen) {
        mbEmptyOpen = false;
        --mnDepth;
        return;
    }
    size_t level = 0;
    for (;;) {
        if (!SkipToTag(nullptr)) {
            return;
        }
        Markup m = ReadTag(nullptr);
        if (m == Markup::None) {
            return;
        }
        if (m == Markup::StartTag) {
            ++level;
        } else if (m == Markup::EndTag) {
            if (level == 0) {
                if (mnDepth > 0) {
                    --mnDepth;
                }
                return;
            }
            --level;
        }
    }
}
