// libFuzzer target for the policy client's answer handling: the whole text
// received from the policy server (status line, header fields and body) is
// handed to ProcessXmlRpcHttpResponse of a service that has just sent its
// "process" question, and the decision is carried out on a call that records
// them. Every input ends in exactly one decision for the offered call (the
// answer's or the fall-back's); with strict decisions, in none for any other.
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
    // The worker hands over the received text cut at the first zero byte.
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const bool strict : {false, true}) {
        CallPolicyServiceTestAccess::SetStrict(strict);
        int decisions = 0;
        int others = 0;
        const auto service = ServiceWithQuestion(90, decisions, &others);
        if (service->ComposeXmlRpcHttpRequest().empty()) {
            abort();
        }
        service->ProcessXmlRpcHttpResponse(text.c_str());
        if (decisions != 1 || (strict && others != 0)) {
            abort();
        }
    }
    CallPolicyServiceTestAccess::SetStrict(false);
    return 0;
}
