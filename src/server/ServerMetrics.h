// The control server's metrics (base/Metrics.h), registered once: the
// connections by state and transport, authentication failures, requests by
// method and outcome, the daemon's own requests to clients, events, pending
// output, slow clients and evictions.
//
// Threads: any; every update is a relaxed atomic.
#pragma once

#include <cstdint>

#include "base/Metrics.h"

namespace server_metrics {

// A connection's state as the gauges count it.
enum ConnState { kNoState = -1, kHandshaking = 0, kUnauthenticated = 1, kAuthenticated = 2 };
// How a client's request ended.
enum Outcome { kAnswered = 0, kFault = 1, kRefused = 2 };
enum AuthFailure {
    kUnknownUser = 0,
    kWrongPassword,
    kWrongDigest,
    kAuthTimeout,
    kNotAuthorised,
    kTlsHandshake,
    kAuthFailureCount
};
enum SlowClient { kSendTimeout = 0, kOutputLimit = 1 };

// Registers every series, so that a scrape shows them from the start.
void Register();
// Moves one connection from `from` to `to` (kNoState: not counted).
void MoveConnection(int from, int to, bool tls);
void CountAccepted(bool tls);
void CountAuthFailure(AuthFailure reason);
// `methodIndex` -1: no known method.
void CountRequest(int methodIndex, Outcome outcome);
void CountEviction(int reason);  // ConnectionListener's reasons, 0 to 2
void CountSlowClient(SlowClient why);
// Bytes written and not yet taken, over every connection.
void AddPendingOutput(std::int64_t delta);

struct Counters {
    metrics::Counter& clientRequestsSent;
    metrics::Counter& clientRequestsAnswered;
    metrics::Counter& clientRequestsTimedOut;
    metrics::Counter& eventsQueued;
    metrics::Counter& eventsDropped;
};
Counters& Get();

}  // namespace server_metrics
