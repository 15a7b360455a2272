// libFuzzer target for the XML-RPC request factory: a client's text becomes a
// request object of one of the known methods (or the unknown-method marker).
// Whatever parses is written back, must parse again into the same method with
// the same text (after one more round when a string value still unescapes
// further; not at all when a member name holds markup), and is executed
// against a callback that does nothing.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "xmlrpc/XmlRpcLog.h"
#include "xmlrpc/XmlRpcMethod.h"

namespace {

// Reads a text the daemon wrote; it must be a request of the same method.
std::unique_ptr<XmlRpcRequestMethod> ReadBack(const std::string& written, int method) {
    XmlRpcRequestMethod* again = XmlRpcRequestMethod::CreateFromXML(written.c_str());
    if (again == nullptr || again == XmlRpcRequestMethod::_UnknownMethod) {
        abort();  // what the daemon writes must read back
    }
    std::unique_ptr<XmlRpcRequestMethod> reread(again);
    if (reread->GetMethodIndex() != method) {
        abort();
    }
    return reread;
}

std::string Written(XmlRpcRequestMethod& request) {
    std::string text;
    if (!request.BuildXML(text)) {
        abort();  // it was written once
    }
    return text;
}

// True when a string value holds an '&' that the unescaping would still
// change: written as "&amp;" followed by "amp", "lt" or "gt;". Such a value
// (say "&gt;", read from "&ampgt;") reads back unescaped once more (">").
bool UnescapesFurther(const std::string& written) {
    return written.find("&amp;amp") != std::string::npos ||
           written.find("&amp;lt") != std::string::npos ||
           written.find("&amp;gt;") != std::string::npos;
}

// True when a struct member's name, somewhere in `v`, holds a '<'. Names are
// written without escaping, so such a name (which only CDATA can carry in)
// makes a text that does not read back.
bool HasMarkupInName(const XmlRpcValue* v) {
    if (v != nullptr && v->IsType(XmlRpcValue::TypeArray)) {
        for (const auto& e : static_cast<const XmlRpcValueArray*>(v)->mvValues) {
            if (HasMarkupInName(e.get())) {
                return true;
            }
        }
    } else if (v != nullptr && v->IsType(XmlRpcValue::TypeStruct)) {
        for (const auto& m : static_cast<const XmlRpcValueStruct*>(v)->mvMembers) {
            if (m.first.find('<') != std::string::npos || HasMarkupInName(m.second.get())) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SetXmlRpcLogSink([](const char*) {});
    const std::string text(reinterpret_cast<const char*>(data), size);

    XmlRpcRequestMethod* created = XmlRpcRequestMethod::CreateFromXML(text.c_str());
    if (created == nullptr || created == XmlRpcRequestMethod::_UnknownMethod) {
        return 0;
    }
    std::unique_ptr<XmlRpcRequestMethod> request(created);
    IRpcCallback target;
    request->Execute(target);

    std::string written;
    if (!request->BuildXML(written)) {
        return 0;
    }
    for (int i = 0; i < request->GetParamCount(); ++i) {
        if (HasMarkupInName(request->GetParam(i))) {
            return 0;
        }
    }
    const int method = request->GetMethodIndex();
    std::string rewritten = Written(*ReadBack(written, method));
    if (UnescapesFurther(written)) {
        // Such values settle after one more round: "&gt;" -> ">" -> ">".
        written = rewritten;
        rewritten = Written(*ReadBack(written, method));
    }
    if (rewritten != written) {
        abort();
    }
    return 0;
}
