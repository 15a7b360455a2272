// Helpers for the policy client's tests: a call that counts the decisions
// carried out on it (and those naming any other call), and a service with its
// "process" question queued.
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
    static void SetStrict(bool strict) { CallPolicyService::mbStrictDecisions = strict; }
};

struct CountingCall : Call {
    CountingCall(unsigned long long id, int& decisions, int* others)
        : Call(id), mDecisions(decisions), mpOthers(others) {}
    void AcceptCB(const unsigned long long& id, const std::string&, const std::string&,
                  long) override {
        Count(id);
    }
    void RejectCB(const unsigned long long& id) override { Count(id); }
    void ForwardCB(const unsigned long long& id, const std::list<CallParams>&, const std::string&,
                   const std::string&) override {
        Count(id);
    }
    void Count(unsigned long long id) { ++(id == GetID() || !mpOthers ? mDecisions : *mpOthers); }
    int& mDecisions;
    int* mpOthers;
};

// A service for call `id` (from 5551234 to 201) counting into `decisions`, or
// with `others` those naming another call into `others`.
inline std::unique_ptr<CallPolicyService> ServiceWithQuestion(unsigned long long id, int& decisions,
                                                              int* others = nullptr) {
    auto service = std::make_unique<CallPolicyService>(new CountingCall(id, decisions, others));
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
