// Helpers for the policy client's tests: a call that counts the decisions
// carried out on it, and a service with its "process" question queued.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>

#include "policy/CallPolicyService.h"
#include "xmlrpc/CallProcessingMethods.h"

struct CallPolicyServiceTestAccess {
    static void Queue(CallPolicyService& service, XmlRpcRequestMethod* request) {
        service.mlistRequests.emplace_back(request);
    }
};

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

// A service for call `id` (from 5551234 to 201) counting into `decisions`.
inline std::unique_ptr<CallPolicyService> ServiceWithQuestion(unsigned long long id,
                                                              int& decisions) {
    auto service = std::make_unique<CallPolicyService>(new CountingCall(id, decisions));
    auto* question = new CallArrivedMethod();
    CallParams from;
    from.user = "5551234";
    CallParams to;
    to.user = "201";
    if (!question->SetParams(id, ExtCallType_TEL, "201", from, to, 0)) {
        abort();
    }
    CallPolicyServiceTestAccess::Queue(*service, question);
    return service;
}
