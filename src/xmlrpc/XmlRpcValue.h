// Typed XML-RPC values and their text: every parameter of every message is one
// of these. Values are written into text with Build and read from the pull
// reader with Parse; containers own their children.
//
// Threads: a value belongs to the one method object (or container) that owns
// it and is used by that owner's thread only. The static tables are constant.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "xmlrpc/XMLNavigator.h"

class XmlRpcValue {
  public:
    // Type codes: index into _ValueTypes.
    enum Type {
        TypeInt = 0,
        TypeBool = 1,
        TypeDouble = 2,
        TypeDateTime = 3,
        TypeString = 4,
        TypeBase64 = 5,
        TypeArray = 6,
        TypeStruct = 7,
        TypeCount = 8,
    };

    static const char* const _ValueTypes[TypeCount];
    static const char* const _AlterIntName;   // "i4"
    static const char* const _Value;          // "value"
    static const char* const _StartTagStart;  // "<"
    static const char* const _EndTagStart;    // "</"

    virtual ~XmlRpcValue() = default;
    XmlRpcValue(const XmlRpcValue&) = delete;
    XmlRpcValue& operator=(const XmlRpcValue&) = delete;

    // Appends the value's text (ending in CR LF) to `out`; false for a type
    // code outside the table (a container stops at its first failing child).
    virtual bool Build(std::string& out) const;
    // Reads the content of the type element, the reader standing just after
    // its start tag, and consumes the type end tag.
    virtual bool Parse(XMLNavigator& nav) = 0;

    int GetType() const { return mnType; }
    bool IsType(int type) const { return mnType == type; }

    // A new value of the type named by `tag` (case ignored, "i4" included),
    // holding its default; null for an unknown tag.
    static XmlRpcValue* NewValue(const char* tag);
    // Reads <value><TYPE> and returns the new, not yet parsed value; null when
    // either element is missing or the type is unknown.
    static XmlRpcValue* GetParamValue(XMLNavigator& nav);
    // Reads the next element (consuming it) and tells whether it is `name`.
    static bool CheckNextElem(XMLNavigator& nav, const char* name);

  protected:
    explicit XmlRpcValue(int type) : mnType(type) {}
    // Appends <value><TAG>body</TAG></value> CR LF.
    void BuildScalar(std::string& out, std::string_view body) const;

  private:
    const int mnType;
};

class XmlRpcValueInt : public XmlRpcValue {
  public:
    static constexpr int kType = TypeInt;
    explicit XmlRpcValueInt(int value = 0) : XmlRpcValue(TypeInt), mnValue(value) {}
    bool Build(std::string& out) const override;
    bool Parse(XMLNavigator& nav) override;
    int mnValue;
};

class XmlRpcValueBool : public XmlRpcValue {
  public:
    static constexpr int kType = TypeBool;
    explicit XmlRpcValueBool(bool value = false) : XmlRpcValue(TypeBool), mbValue(value) {}
    bool Build(std::string& out) const override;
    bool Parse(XMLNavigator& nav) override;
    bool mbValue;
};

class XmlRpcValueDouble : public XmlRpcValue {
  public:
    static constexpr int kType = TypeDouble;
    explicit XmlRpcValueDouble(double value = 0.0) : XmlRpcValue(TypeDouble), mdValue(value) {}
    bool Build(std::string& out) const override;
    bool Parse(XMLNavigator& nav) override;
    double mdValue;
};

class XmlRpcValueString : public XmlRpcValue {
  public:
    static constexpr int kType = TypeString;
    explicit XmlRpcValueString(std::string value = std::string())
        : XmlRpcValue(TypeString), mstrValue(std::move(value)) {}
    bool Build(std::string& out) const override;
    bool Parse(XMLNavigator& nav) override;
    std::string mstrValue;

  protected:
    XmlRpcValueString(int type, std::string value)
        : XmlRpcValue(type), mstrValue(std::move(value)) {}
};

// Text supplied by the producer, carried as is (never formatted or checked).
class XmlRpcValueDateTime : public XmlRpcValueString {
  public:
    static constexpr int kType = TypeDateTime;
    explicit XmlRpcValueDateTime(std::string value = std::string())
        : XmlRpcValueString(TypeDateTime, std::move(value)) {}
};

// Text supplied by the producer, carried as is (never encoded or decoded).
class XmlRpcValueBase64 : public XmlRpcValueString {
  public:
    static constexpr int kType = TypeBase64;
    explicit XmlRpcValueBase64(std::string value = std::string())
        : XmlRpcValueString(TypeBase64, std::move(value)) {}
};

class XmlRpcValueArray : public XmlRpcValue {
  public:
    static constexpr int kType = TypeArray;
    XmlRpcValueArray() : XmlRpcValue(TypeArray) {}
    bool Build(std::string& out) const override;
    bool Parse(XMLNavigator& nav) override;
    // Destroys every element; returns false (the parse failure result).
    bool Cleanup();
    void Append(XmlRpcValue* value) { mvValues.emplace_back(value); }
    std::vector<std::unique_ptr<XmlRpcValue>> mvValues;
};

class XmlRpcValueStruct : public XmlRpcValue {
  public:
    static constexpr int kType = TypeStruct;
    using Member = std::pair<std::string, std::unique_ptr<XmlRpcValue>>;

    XmlRpcValueStruct() : XmlRpcValue(TypeStruct) {}
    bool Build(std::string& out) const override;
    bool Parse(XMLNavigator& nav) override;
    // Destroys every member; returns false (the parse failure result).
    bool Cleanup();
    // The value of the first member named `name` (case ignored), or null.
    XmlRpcValue* GetMemberValue(const char* name) const;
    // Replaces the first member named `name`, keeping its position, or appends
    // a new member; takes ownership of `value`.
    void SetMemberValue(const char* name, XmlRpcValue* value);
    std::vector<Member> mvMembers;
};

// Escapes '<', '>' and '&' for character data (one left-to-right pass).
void ReplaceSpecialSymbols(std::string& text);
// Appends `text` to `out`, escaped as above.
void AppendEscaped(std::string& out, std::string_view text);
// Undoes the escapes as five passes would: "&amp;", "&lt;", "&gt;", then the
// forms without semicolon "&amp" and "&lt"; each pass repeats until its pattern
// is gone, so an '&' produced by a replacement joins the text after it. Done
// in one left-to-right walk.
void RecoverSpecialSymbols(std::string& text);
// Appends `length` bytes of `text` to `out`, unescaped as above.
void AppendRecovered(std::string& out, const char* text, size_t length);
