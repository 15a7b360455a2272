#include "app/Wiring.h"

#include "base/Metrics.h"
#include "core/Call.h"
#include "core/ExtCallControl.h"
#include "exchange/LinkOutbox.h"
#include "policy/CallPolicyService.h"
#include "policy/PolicyMetrics.h"
#include "server/CallControlService.h"

namespace {

class ServerFront final : public IClientFront {
  public:
    void Start() override {
        // Every series from the start, so that a scrape shows them at zero.
        static const bool registered = [] {
            metrics::RegisterProcessMetrics();
            policy_metrics::Register();
            exlink::LinkOutbox::RegisterMetrics();
            return true;
        }();
        (void)registered;
        CallControlService::ReadConfigs();
        CallControlService::Start();
    }
    void Stop() override { CallControlService::CleanUp(); }
    void UpdateConfigs() override { CallControlService::UpdateConfigs(); }
    void BeginBatch() override { CallControlService::BeginWakeBatch(); }
    void EndBatch() override { CallControlService::EndWakeBatch(); }
    bool CallArrived(long requester, Call* call, ExtCallType type, const std::string& ext,
                     const CallParams& from, const CallParams& to,
                     const unsigned long long& origCallId) override {
        return CallControlService::CallArrived(
            reinterpret_cast<const CallControlService*>(requester), call, type, ext, from, to,
            origCallId);
    }
};

class PolicyFront final : public IPolicyFront {
  public:
    std::vector<PendingDecision> Pending() const override { return CallPolicyService::Pending(); }
    void UpdateConfigs() override { CallPolicyService::UpdateConfigs(); }
    void Decide(Call* call, ExtCallType type, const std::string& ext, const CallParams& from,
                const CallParams& to, const unsigned long long& origCallId) override {
        // The service registers itself with the policy worker, which owns it
        // from here; it becomes the call's listener.
        new CallPolicyService(call);
        call->SendCallArrived(type, ext, from, to, origCallId);
    }
};

}  // namespace

void InstallFrontEnds() {
    static ServerFront server;
    static PolicyFront policy;
    ExtCallControl::SetFrontEnds(&server, &policy);
}
