// Helpers of the method classes: typed reading of struct members and of
// decimal ID texts. Internal to the XML-RPC layer.
//
// Threads: stateless; any thread.
#pragma once

#include <string>

#include "base/NumberString.h"
#include "xmlrpc/XmlRpcValue.h"

namespace xmlrpc_members {

// The member's value when it exists with exactly type T, else null.
template <typename T>
const T* Get(const XmlRpcValueStruct& s, const char* name) {
    const XmlRpcValue* v = s.GetMemberValue(name);
    return (v != nullptr && v->IsType(T::kType)) ? static_cast<const T*>(v) : nullptr;
}

inline std::string String(const XmlRpcValueStruct& s, const char* name) {
    const XmlRpcValueString* v = Get<XmlRpcValueString>(s, name);
    return v != nullptr ? v->mstrValue : std::string();
}

inline int Int(const XmlRpcValueStruct& s, const char* name, int fallback) {
    const XmlRpcValueInt* v = Get<XmlRpcValueInt>(s, name);
    return v != nullptr ? v->mnValue : fallback;
}

inline bool Bool(const XmlRpcValueStruct& s, const char* name) {
    const XmlRpcValueBool* v = Get<XmlRpcValueBool>(s, name);
    return v != nullptr && v->mbValue;
}

inline unsigned long long Id(const std::string& text) {
    return StringToNumber<unsigned long long>(text);
}

}  // namespace xmlrpc_members
