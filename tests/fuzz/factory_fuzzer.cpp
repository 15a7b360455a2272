// libFuzzer target for the XML-RPC request factory: a client's text becomes a
// request object of one of the known methods (or the unknown-method marker).
// Whatever parses is written back, must parse again into the same method with
// the same text, and is executed against a callback that does nothing.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "xmlrpc/XmlRpcLog.h"
#include "xmlrpc/XmlRpcMethod.h"

namespace {

void DropLine(const char* line) {
    (void)line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SetXmlRpcLogSink(&DropLine);
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
    XmlRpcRequestMethod* again = XmlRpcRequestMethod::CreateFromXML(written.c_str());
    if (again == nullptr || again == XmlRpcRequestMethod::_UnknownMethod) {
        abort();  // what the daemon writes must read back
    }
    std::unique_ptr<XmlRpcRequestMethod> reread(again);
    std::string rewritten;
    if (reread->GetMethodIndex() != request->GetMethodIndex() || !reread->BuildXML(rewritten) ||
        rewritten != written) {
        abort();
    }
    return 0;
}
