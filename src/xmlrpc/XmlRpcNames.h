// Element and type names of the XML-RPC text, matched the way the codec reads
// them: by length first, then byte by byte with ASCII case ignored. Internal
// to the XML-RPC layer.
//
// Threads: stateless; any thread.
#pragma once

#include <string_view>

#include "xmlrpc/XMLNavigator.h"

class XmlRpcValue;

namespace xmlrpc_names {

inline char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when `name` equals `word`, ASCII case ignored; a NUL byte matches
// nothing but itself, so a name with one inside matches no word.
inline bool Is(std::string_view name, std::string_view word) {
    if (name.size() != word.size()) {
        return false;
    }
    for (size_t i = 0; i < name.size(); ++i) {
        if (Lower(name[i]) != Lower(word[i])) {
            return false;
        }
    }
    return true;
}

// Reads the next element (consuming it) and tells whether it is `word`.
inline bool NextIs(XMLNavigator& nav, std::string_view word) {
    std::string_view name;
    return nav.NextElement(&name) && Is(name, word);
}

constexpr std::string_view kValue = "value";
constexpr std::string_view kData = "data";
constexpr std::string_view kMember = "member";
constexpr std::string_view kName = "name";
constexpr std::string_view kMethodCall = "methodCall";
constexpr std::string_view kMethodResponse = "methodResponse";
constexpr std::string_view kMethodName = "methodName";
constexpr std::string_view kParams = "params";
constexpr std::string_view kParam = "param";
constexpr std::string_view kFault = "fault";

// A new value of the type named `tag` (case ignored, "i4" included), holding
// its default; null for an unknown tag.
XmlRpcValue* NewValue(std::string_view tag);

}  // namespace xmlrpc_names
