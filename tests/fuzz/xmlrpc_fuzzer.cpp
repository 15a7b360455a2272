// libFuzzer target for the XML-RPC values and answer envelopes: the answer
// parsing of every request class (its response class, else a fault), the call
// party text and the unescaping of special symbols. Whatever parses is also
// written back and executed.
#include <cstdint>
#include <memory>
#include <string>

#include "xmlrpc/XmlRpcLog.h"
#include "xmlrpc/XmlRpcMethod.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SetXmlRpcLogSink([](const char*) {});
    const std::string text(reinterpret_cast<const char*>(data), size);

    for (int i = 0; i < kMethodCount; ++i) {
        std::unique_ptr<XmlRpcRequestMethod> sent(
            XmlRpcRequestMethod::CreateMethod(XmlRpcValueString(XmlRpcRequestMethod::_Methods[i])));
        if (!sent) {
            continue;  // an index without a method
        }
        std::unique_ptr<XmlRpcResponseMethod> answer(sent->CreateResponseFromXML(text.c_str()));
        if (answer) {
            std::string out;
            answer->BuildXML(out);
            IRpcCallback target;
            answer->Execute(target);
        }
    }

    CallParams party;
    if (XmlRpcMethod::CallParamsFromString(text, party)) {
        std::string back;
        XmlRpcMethod::CallParamsToString(party, back);
    }

    std::string unescaped = text;
    RecoverSpecialSymbols(unescaped);
    return 0;
}
