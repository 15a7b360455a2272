#include "xmlrpc/XMLNavigator.h"

#include <cstring>

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// memchr for the short distances between tags: the first bytes are looked at
// here, the rest is left to the library's wide scan.
const char* FindByte(const char* from, size_t length, char c) {
    const size_t kNear = 16;
    const size_t near = length < kNear ? length : kNear;
    for (size_t i = 0; i < near; ++i) {
        if (from[i] == c) {
            return from + i;
        }
    }
    return length > near ? static_cast<const char*>(std::memchr(from + near, c, length - near))
                         : nullptr;
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
    mOwned = source.Str();
    SetXMLSource(mOwned.data(), mOwned.size());
}

void XMLNavigator::SetXMLSource(const char* text, size_t length) {
    mpText = text;
    mnSize = length;
    mnPos = 0;
    mnDepth = 0;
    mbEmptyOpen = false;
    mbExhausted = false;
    mbDepthExceeded = false;
}

bool XMLNavigator::SkipPast(const char* terminator, size_t length) {
    const void* at = memmem(mpText + mnPos, mnSize - mnPos, terminator, length);
    if (at == nullptr) {
        MarkExhausted();
        return false;
    }
    mnPos = static_cast<size_t>(static_cast<const char*>(at) - mpText) + length;
    return true;
}

bool XMLNavigator::SkipToTag(std::string* text) {
    static const char kCData[] = "<![CDATA[";
    const size_t kCDataLength = sizeof kCData - 1;
    while (mnPos < mnSize) {
        const char* lt = FindByte(mpText + mnPos, mnSize - mnPos, '<');
        if (lt == nullptr) {
            if (text != nullptr) {
                text->append(mpText + mnPos, mnSize - mnPos);
            }
            MarkExhausted();
            return false;
        }
        const size_t at = static_cast<size_t>(lt - mpText);
        if (text != nullptr) {
            text->append(mpText + mnPos, at - mnPos);
        }
        mnPos = at;
        const char next = at + 1 < mnSize ? mpText[at + 1] : '\0';
        if (next == '?') {
            if (!SkipPast("?>", 2)) {
                return false;
            }
        } else if (next != '!') {
            return true;
        } else if (mnSize - at >= 4 && std::memcmp(lt, "<!--", 4) == 0) {
            mnPos += 4;
            if (!SkipPast("-->", 3)) {
                return false;
            }
        } else if (mnSize - at >= kCDataLength && std::memcmp(lt, kCData, kCDataLength) == 0) {
            const size_t start = at + kCDataLength;
            const void* end = memmem(mpText + start, mnSize - start, "]]>", 3);
            if (end == nullptr) {
                MarkExhausted();
                return false;
            }
            const size_t endAt = static_cast<size_t>(static_cast<const char*>(end) - mpText);
            if (text != nullptr) {
                text->append(mpText + start, endAt - start);
            }
            mnPos = endAt + 3;
        } else if (!SkipPast(">", 1)) {
            return false;
        }
    }
    MarkExhausted();
    return false;
}

XMLNavigator::Markup XMLNavigator::ReadTag(std::string_view* name, XMLElem* elem) {
    const char* const text = mpText;
    const size_t size = mnSize;
    size_t p = mnPos + 1;
    if (p < size && text[p] == '/') {
        const char* gt = FindByte(text + p, size - p, '>');
        if (gt == nullptr) {
            MarkExhausted();
            return Markup::None;
        }
        mnPos = static_cast<size_t>(gt - text) + 1;
        return Markup::EndTag;
    }
    size_t nameStart = p;
    while (p < size && !IsSpace(text[p]) && text[p] != '/' && text[p] != '>') {
        ++p;
    }
    if (name != nullptr) {
        *name = std::string_view(text + nameStart, p - nameStart);
    }
    if (elem != nullptr) {
        elem->mName.Clear();
        elem->mName.Append(text + nameStart, static_cast<unsigned>(p - nameStart));
        elem->mAttrs.Clear();
    }
    while (p < size) {
        char c = text[p];
        if (IsSpace(c)) {
            ++p;
        } else if (c == '>') {
            mnPos = p + 1;
            return Markup::StartTag;
        } else if (c == '/') {
            if (p + 1 < size && text[p + 1] == '>') {
                mnPos = p + 2;
                return Markup::EmptyTag;
            }
            ++p;
        } else {
            // An attribute: name, optionally '=' and a quoted or bare value.
            size_t an = p;
            while (p < size && !IsSpace(text[p]) && text[p] != '=' && text[p] != '>' &&
                   text[p] != '/') {
                ++p;
            }
            const size_t nameEnd = p;
            size_t vs = p;
            size_t ve = p;
            while (p < size && IsSpace(text[p])) {
                ++p;
            }
            if (p < size && text[p] == '=') {
                ++p;
                while (p < size && IsSpace(text[p])) {
                    ++p;
                }
                if (p < size && (text[p] == '"' || text[p] == '\'')) {
                    const char* close =
                        static_cast<const char*>(std::memchr(text + p + 1, text[p], size - p - 1));
                    if (close == nullptr) {
                        MarkExhausted();
                        return Markup::None;
                    }
                    vs = p + 1;
                    ve = static_cast<size_t>(close - text);
                    p = ve + 1;
                } else {
                    vs = p;
                    while (p < size && !IsSpace(text[p]) && text[p] != '>') {
                        ++p;
                    }
                    ve = p;
                }
            } else if (p == an) {
                ++p;  // a stray character such as a quote: step over it
            }
            if (elem != nullptr && elem->mAttrs.Size() < kMaxAttributes) {
                elem->mAttrs.Add(std::string(text + an, nameEnd - an),
                                 std::string(text + vs, ve - vs));
            }
        }
    }
    MarkExhausted();
    return Markup::None;
}

bool XMLNavigator::Advance(std::string_view* name, XMLElem* elem) {
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
    Markup m = ReadTag(name, elem);
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

bool XMLNavigator::GetNextElement(XMLElem& elem) {
    elem.mName.Clear();
    elem.mAttrs.Clear();
    return Advance(nullptr, &elem);
}

bool XMLNavigator::NextElement(std::string_view* name) {
    return Advance(name, nullptr);
}

bool XMLNavigator::GetElementText(XMLBuffer& text) {
    std::string_view view;
    bool has = ElementText(view);
    text.Clear();
    text.Append(view.data(), static_cast<unsigned>(view.size()));
    return has;
}

bool XMLNavigator::ElementText(std::string_view& text) {
    text = std::string_view();
    if (Stopped() || mbEmptyOpen) {
        return false;
    }
    // The common case: plain character data up to a start or end tag.
    const size_t start = mnPos;
    const char* lt = FindByte(mpText + start, mnSize - start, '<');
    if (lt == nullptr) {
        text = std::string_view(mpText + start, mnSize - start);
        MarkExhausted();
        return !text.empty();
    }
    const size_t at = static_cast<size_t>(lt - mpText);
    if (at + 1 < mnSize && mpText[at + 1] != '?' && mpText[at + 1] != '!') {
        text = std::string_view(mpText + start, at - start);
        mnPos = at;
        return !text.empty();
    }
    mScratch.clear();
    SkipToTag(&mScratch);
    text = mScratch;
    return !text.empty();
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
        Markup m = ReadTag(nullptr, nullptr);
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
