// The XML pull reader of the platform utility library: a single forward walk
// over a message text, element by element, without building a tree.
//
// The reader is lenient: it decodes no entities (the XML-RPC codec unescapes
// character data itself), passes over processing instructions, comments,
// declarations and character data between elements, and skips attributes
// (quoted values may hold '>'). CDATA sections inside an element's text are
// taken verbatim as part of that text; between elements they are passed over.
// Every scan is bounded by the buffer's length, so NUL bytes and truncated
// texts are safe. Element nesting is bounded by kMaxXmlDepth; a deeper start
// tag stops the reader as if the text had ended (DepthExceeded() tells).
//
// Threads: an object is used by one thread at a time; distinct objects are
// independent.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The deepest element nesting the reader follows.
constexpr int kMaxXmlDepth = 64;

// A growable byte buffer. The bytes are followed by a NUL that is not counted
// in the length, so the contents can always be compared as a C string.
class XMLBuffer {
  public:
    explicit XMLBuffer(int capacity = 256) { mData.reserve(capacity > 0 ? capacity : 0); }

    // Replaces the contents with `length` bytes of `text`; with length 0 the
    // whole NUL-terminated text is taken.
    void Set(const char* text, unsigned length);
    void Append(const char* text, unsigned length) { mData.append(text, length); }
    void Clear() { mData.clear(); }

    const char* GetBuffer() const { return mData.c_str(); }
    unsigned GetLength() const { return static_cast<unsigned>(mData.size()); }
    const std::string& Str() const { return mData; }
    // True when the contents equal `name`, ignoring ASCII case.
    bool EqualsNoCase(const char* name) const;

  private:
    std::string mData;
};

// The attributes of an element as (name, value) pairs, values undecoded.
class AttrVector {
  public:
    explicit AttrVector(int capacity = 10) { mItems.reserve(capacity > 0 ? capacity : 0); }
    void Clear() { mItems.clear(); }
    void Add(std::string name, std::string value) {
        mItems.emplace_back(std::move(name), std::move(value));
    }
    size_t Size() const { return mItems.size(); }
    const std::pair<std::string, std::string>& At(size_t i) const { return mItems[i]; }

  private:
    std::vector<std::pair<std::string, std::string>> mItems;
};

// One element as the reader reports it: its name and its attributes.
struct XMLElem {
    XMLElem() : mName(256), mAttrs(10) {}
    XMLBuffer mName;
    AttrVector mAttrs;
};

class XMLNavigator {
  public:
    // At most this many attributes of one element are kept; the rest are skipped.
    static constexpr size_t kMaxAttributes = 32;

    XMLNavigator() = default;
    virtual ~XMLNavigator() = default;
    XMLNavigator(const XMLNavigator&) = delete;
    XMLNavigator& operator=(const XMLNavigator&) = delete;

    // Attaches the reader to a copy of the buffer's bytes, before the first tag.
    void SetXMLSource(const XMLBuffer& source);
    // Attaches the reader to `length` bytes of `text` in place, without a copy:
    // the caller keeps them unchanged until the walk is over.
    void SetXMLSource(const char* text, size_t length);

    // Moves to the next start tag and reports its element. Returns false when
    // the next tag is an end tag (which is passed, closing its element), when
    // the text is exhausted, or once the nesting bound has been hit.
    virtual bool GetNextElement(XMLElem& elem);
    // The character data of the element just entered, up to its first child
    // or end tag; false when there is none.
    virtual bool GetElementText(XMLBuffer& text);
    // Moves past the end tag of the innermost element still open, passing
    // over any child elements on the way.
    virtual void SkipElementEnd();

    // The same walk without the element object, for the codec's hot path:
    // as GetNextElement, with the name (when given) a view into the text,
    // valid until the next call; attributes are passed over.
    bool NextElement(std::string_view* name);
    // As GetElementText, with the text a view valid until the next call: into
    // the message when the character data is one piece, else into a buffer of
    // the reader's own (comments or CDATA inside).
    bool ElementText(std::string_view& text);

    int GetDepth() const { return mnDepth; }
    // True once a scan ran into the end of the text.
    bool IsExhausted() const { return mbExhausted; }
    // True once a start tag deeper than kMaxXmlDepth was met.
    bool DepthExceeded() const { return mbDepthExceeded; }

  private:
    enum class Markup { None, StartTag, EndTag, EmptyTag };
    // GetNextElement and NextElement: reports the name to whichever is given.
    bool Advance(std::string_view* name, XMLElem* elem);
    // Passes over text and non-element markup up to the next start or end tag;
    // with `text` set, collects the character data (and CDATA contents) seen.
    // Returns false at the end of the text.
    bool SkipToTag(std::string* text);
    // Reads the tag at mnPos (which is '<'); fills the name view, and the
    // element's name and attributes, when given. Returns None, moving to the
    // end, when the tag is not closed.
    Markup ReadTag(std::string_view* name, XMLElem* elem);
    // Moves past `terminator` starting at mnPos; false (at the end) if absent.
    bool SkipPast(const char* terminator, size_t length);
    void MarkExhausted() {
        mnPos = mnSize;
        mbExhausted = true;
    }
    bool Stopped() const { return mbDepthExceeded; }

    std::string mOwned;            // the copy made by SetXMLSource(XMLBuffer)
    const char* mpText = nullptr;  // the text walked: mOwned's or the caller's
    size_t mnSize = 0;
    std::string mScratch;  // character data gathered from several pieces
    size_t mnPos = 0;
    int mnDepth = 0;
    bool mbEmptyOpen = false;  // the element just entered was written <name/>
    bool mbExhausted = false;
    bool mbDepthExceeded = false;
};
