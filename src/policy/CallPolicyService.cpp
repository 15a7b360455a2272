#include "policy/CallPolicyService.h"

#include "core/ExtCallControl.h"

CallPolicyService::CallPolicyService(Call* call) : mpCall(call) {
    mpCall->SetListener(this);
}

CallPolicyService::~CallPolicyService() = default;

void CallPolicyService::CallArrived(Call* call, ExtCallType /*type*/, const std::string& /*ext*/,
                                    const CallParams& /*from*/, const CallParams& /*to*/,
                                    const unsigned long long& /*origCallId*/) {
    call->AcceptCB(call->GetID(), "", "", 0);
    // Decided: the service and its call end here. Nothing touches either after
    // this point (the sender returns at once).
    delete this;
}

void CallPolicyService::UpdateConfigs() {}
