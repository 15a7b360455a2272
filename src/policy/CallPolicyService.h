// Decides an arriving call that no client claims. Until the policy client
// lands, every such call is accepted at once, as the policy client does on any
// failure.
//
// Threads: main thread (constructed by ExtCallControl::CallArrived, notified
// through the call under the call registry lock).
#pragma once

#include <memory>

#include "core/Call.h"
#include "core/ICallNotify.h"

class CallPolicyService : public ICallNotify {
  public:
    // Takes ownership of `call` and becomes its listener.
    explicit CallPolicyService(Call* call);
    virtual ~CallPolicyService();

    void CallArrived(Call* call, ExtCallType type, const std::string& ext, const CallParams& from,
                     const CallParams& to, const unsigned long long& origCallId) override;

    static void UpdateConfigs();

  private:
    std::unique_ptr<Call> mpCall;
};
