// libFuzzer target for the policy client's answer handling: the whole text
// received from the policy server (status line, header fields and body) is
// handed to ProcessXmlRpcHttpResponse of a service that has just sent its
// "process" question, and the decision is carried out on a call that records
// them. Every input either carries out at most one decision or accepts the
// call by the fall-back, exactly once.
#include <stdlib.h>

#include <cstdint>
#include <string>

#include "PolicyTestSupport.h"
#include "TempRoot.h"
#include "xmlrpc/XmlRpcLog.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static TempRoot root;  // VALTD_ROOT for the whole run, removed at exit
    SetXmlRpcLogSink([](const char*) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int decisions = 0;
    {
        const auto service = ServiceWithQuestion(90, decisions);
        if (service->ComposeXmlRpcHttpRequest().empty()) {
            abort();
        }
        // The worker hands over the received text cut at the first zero byte.
        const std::string text(reinterpret_cast<const char*>(data), size);
        const bool carried = service->ProcessXmlRpcHttpResponse(text.c_str());
        if ((!carried && decisions != 1) || decisions > 1) {
            abort();  // one answer, one decision; the fall-back accepts exactly once
        }
    }
    return 0;
}
