// libFuzzer target for the policy client's answer handling: the whole text
// received from the policy server (status line, header fields and body) is
// handed to ProcessXmlRpcHttpResponse of a service that has just sent its
// "process" question, and the decision is carried out on a call that records
// them. Every input either carries out at most one decision or accepts the
// call by the fall-back, exactly once.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "TempRoot.h"
#include "policy/CallPolicyService.h"
#include "xmlrpc/CallProcessingMethods.h"
#include "xmlrpc/XmlRpcLog.h"

struct CallPolicyServiceTestAccess {
    static void Queue(CallPolicyService& service, XmlRpcRequestMethod* request) {
        service.mlistRequests.emplace_back(request);
    }
};

namespace {

void DropLine(const char* line) {
    (void)line;
}

// Counts the decisions carried out on it instead of sending them.
struct CountingCall : Call {
    CountingCall(unsigned long long id, int& decisions) : Call(id), mDecisions(decisions) {}
    void AcceptCB(const unsigned long long&, const std::string&, const std::string&,
                  long) override {
        ++mDecisions;
    }
    void RejectCB(const unsigned long long&) override { ++mDecisions; }
    void ForwardCB(const unsigned long long&, const std::list<CallParams>&, const std::string&,
                   const std::string&) override {
        ++mDecisions;
    }
    int& mDecisions;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static TempRoot root;  // VALTD_ROOT for the whole run, removed at exit
    SetXmlRpcLogSink(&DropLine);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const unsigned long long id = 90;
    int decisions = 0;
    {
        CallPolicyService service(new CountingCall(id, decisions));
        auto* question = new CallArrivedMethod();
        CallParams from;
        from.user = "5551234";
        CallParams to;
        to.user = "201";
        question->SetParams(id, ExtCallType_TEL, "201", from, to, 0);
        CallPolicyServiceTestAccess::Queue(service, question);
        if (service.ComposeXmlRpcHttpRequest().empty()) {
            abort();
        }
        // The worker hands over the received text cut at the first zero byte.
        const std::string text(reinterpret_cast<const char*>(data), size);
        const bool carried = service.ProcessXmlRpcHttpResponse(text.c_str());
        if ((!carried && decisions != 1) || decisions > 1) {
            abort();  // one answer, one decision; the fall-back accepts exactly once
        }
    }
    return 0;
}
