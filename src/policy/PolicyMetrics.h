// The policy client's metrics (base/Metrics.h): requests pending, decisions
// by outcome, fall-backs, and the time from a call's arrival to its decision.
//
// Threads: any; every update is a relaxed atomic.
#pragma once

#include <chrono>

#include "base/Metrics.h"

namespace policy_metrics {

enum Outcome { kDecided = 0, kTimeout = 1, kError = 2 };

metrics::Gauge& Pending();
// One decision of a call that arrived at `since`; a time-out or an error is
// also a fall-back (the call accepted).
void CountDecision(Outcome outcome, std::chrono::steady_clock::time_point since);
// Registers every series, so that a scrape shows them from the start.
void Register();

}  // namespace policy_metrics
