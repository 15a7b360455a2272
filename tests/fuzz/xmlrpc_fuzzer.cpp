// libFuzzer target for everything that reads peer text in the XML-RPC layer:
// the request factory, the answer parsing of every request class, the call
// party text and the SIP address functions. Whatever parses is also written
// back and executed, and a SIP address that reads and writes must read back
// to the same parts.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/SipAddress.h"
#include "xmlrpc/XmlRpcLog.h"
#include "xmlrpc/XmlRpcMethod.h"

namespace {

void DropLine(const char* line) {
    (void)line;
}

void Exercise(XmlRpcMethod& m) {
    std::string out;
    m.BuildXML(out);
    IRpcCallback target;
    m.Execute(target);
}

void CheckSipRoundTrip(const std::string& text) {
    std::string name, user, host, port;
    if (!ParseSIPAddress(text, name, user, host, port, true)) {
        return;
    }
    std::string merged;
    if (!MergeSIPAddress(merged, name, user, host, port, true)) {
        return;
    }
    std::string n2, u2, h2, p2;
    if (!ParseSIPAddress(merged, n2, u2, h2, p2, true) || n2 != name || u2 != user || h2 != host ||
        p2 != port) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SetXmlRpcLogSink(&DropLine);
    const std::string text(reinterpret_cast<const char*>(data), size);

    XmlRpcRequestMethod* request = XmlRpcRequestMethod::CreateFromXML(text.c_str());
    if (request != nullptr && request != XmlRpcRequestMethod::_UnknownMethod) {
        Exercise(*request);
        delete request;
    }

    for (int i = 0; i < kMethodCount; ++i) {
        std::unique_ptr<XmlRpcRequestMethod> sent(
            XmlRpcRequestMethod::CreateMethod(XmlRpcValueString(XmlRpcRequestMethod::_Methods[i])));
        std::unique_ptr<XmlRpcResponseMethod> answer(sent->CreateResponseFromXML(text.c_str()));
        if (answer) {
            Exercise(*answer);
        }
    }

    CallParams party;
    if (XmlRpcMethod::CallParamsFromString(text, party)) {
        std::string back;
        XmlRpcMethod::CallParamsToString(party, back);
    }
    CheckSipRoundTrip(text);

    std::string unescaped = text;
    RecoverSpecialSymbols(unescaped);
    return 0;
}
