#include "policy/PolicyMetrics.h"

namespace policy_metrics {

namespace {

struct All {
    metrics::Gauge& pending;
    metrics::Counter* decisions[3];
    metrics::Counter& fallbacks;
    metrics::Histogram& latency;

    All()
        : pending(metrics::Registry::Instance().GetGauge(
              "valtd_policy_pending", "Calls waiting for the policy server's decision.")),
          fallbacks(metrics::Registry::Instance().GetCounter(
              "valtd_policy_fallbacks_total",
              "Calls accepted by the fall-back: the policy server timed out or failed.")),
          latency(metrics::Registry::Instance().GetHistogram(
              "valtd_policy_decision_seconds",
              "Time from a call's hand-over to the policy client to its decision or fall-back.",
              {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10})) {
        const char* const outcomes[] = {"decided", "timeout", "error"};
        for (int i = 0; i < 3; ++i) {
            decisions[i] = &metrics::Registry::Instance().GetCounter(
                "valtd_policy_decisions_total", "Calls offered to the policy server, by outcome.",
                metrics::Label("outcome", outcomes[i]));
        }
    }
};

All& Get() {
    static All& all = *new All();
    return all;
}

}  // namespace

metrics::Gauge& Pending() {
    return Get().pending;
}

void CountDecision(Outcome outcome, std::chrono::steady_clock::time_point since) {
    All& all = Get();
    all.decisions[outcome]->Add();
    if (outcome != kDecided) {
        all.fallbacks.Add();
    }
    all.latency.Observe(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count());
}

void Register() {
    Get();
}

}  // namespace policy_metrics
