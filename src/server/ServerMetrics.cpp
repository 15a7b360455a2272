#include "server/ServerMetrics.h"

#include <array>

#include "xmlrpc/XmlRpcMethod.h"

namespace server_metrics {

namespace {

using metrics::Label;
using metrics::Registry;

const char* const kStates[] = {"handshaking", "unauthenticated", "authenticated"};
const char* const kOutcomes[] = {"answered", "fault", "refused"};
const char* const kAuthReasons[] = {"unknown_user", "wrong_password", "wrong_digest",
                                    "auth_timeout", "not_authorised", "tls_handshake"};
const char* const kEvictionReasons[] = {"out_of_descriptors", "too_many_from_peer",
                                        "too_many_unauthorised"};
const char* const kSlowReasons[] = {"send_timeout", "output_limit"};

struct All {
    metrics::Gauge* connections[3][2];
    metrics::Counter* accepted[2];
    metrics::Counter* authFailures[kAuthFailureCount];
    // By method index, the last row for requests that name no known method.
    std::array<std::array<metrics::Counter*, 3>, kMethodCount + 1> requests;
    metrics::Counter* evictions[3];
    metrics::Counter* slow[2];
    metrics::Gauge* pendingOutput;

    All() {
        Registry& r = Registry::Instance();
        for (int s = 0; s < 3; ++s) {
            for (int t = 0; t < 2; ++t) {
                connections[s][t] = &r.GetGauge(
                    "valtd_connections", "Client connections by state and transport.",
                    Label("state", kStates[s]) + "," + Label("transport", t ? "tls" : "tcp"));
            }
        }
        for (int t = 0; t < 2; ++t) {
            accepted[t] = &r.GetCounter("valtd_connections_accepted_total",
                                        "Client connections accepted, by transport.",
                                        Label("transport", t ? "tls" : "tcp"));
        }
        for (int i = 0; i < kAuthFailureCount; ++i) {
            authFailures[i] = &r.GetCounter("valtd_auth_failures_total",
                                            "Authentication failures and refusals, by reason.",
                                            Label("reason", kAuthReasons[i]));
        }
        for (int m = 0; m <= kMethodCount; ++m) {
            const char* name = m < kMethodCount ? XmlRpcRequestMethod::Info(m).name : "unknown";
            for (int o = 0; o < 3; ++o) {
                requests[m][o] =
                    name == nullptr
                        ? nullptr
                        : &r.GetCounter(
                              "valtd_requests_total", "Client requests by method and outcome.",
                              Label("method", name) + "," + Label("outcome", kOutcomes[o]));
            }
        }
        for (int i = 0; i < 3; ++i) {
            evictions[i] =
                &r.GetCounter("valtd_evictions_total",
                              "Connections not yet authorised closed to make room, by reason.",
                              Label("reason", kEvictionReasons[i]));
        }
        for (int i = 0; i < 2; ++i) {
            slow[i] = &r.GetCounter("valtd_slow_clients_closed_total",
                                    "Clients closed because they did not read, by reason.",
                                    Label("reason", kSlowReasons[i]));
        }
        pendingOutput = &r.GetGauge("valtd_pending_output_bytes",
                                    "Bytes written to clients and waiting for them to read.");
    }
};

All& Metrics() {
    static All& all = *new All();
    return all;
}

}  // namespace

void Register() {
    Metrics();
    Get();
}

void MoveConnection(int from, int to, bool tls) {
    All& m = Metrics();
    if (from >= 0 && from < 3) {
        m.connections[from][tls ? 1 : 0]->Add(-1);
    }
    if (to >= 0 && to < 3) {
        m.connections[to][tls ? 1 : 0]->Add(1);
    }
}

void CountAccepted(bool tls) {
    Metrics().accepted[tls ? 1 : 0]->Add();
}

void CountAuthFailure(AuthFailure reason) {
    Metrics().authFailures[reason]->Add();
}

void CountRequest(int methodIndex, Outcome outcome) {
    const int row = methodIndex >= 0 && methodIndex < kMethodCount ? methodIndex : kMethodCount;
    if (metrics::Counter* c = Metrics().requests[static_cast<size_t>(row)][outcome]) {
        c->Add();
    }
}

void CountEviction(int reason) {
    if (reason >= 0 && reason < 3) {
        Metrics().evictions[reason]->Add();
    }
}

void CountSlowClient(SlowClient why) {
    Metrics().slow[why]->Add();
}

void AddPendingOutput(std::int64_t delta) {
    Metrics().pendingOutput->Add(delta);
}

Counters& Get() {
    static Counters& c = *new Counters{
        Registry::Instance().GetCounter("valtd_client_requests_sent_total",
                                        "Requests the daemon wrote to clients (events, offers)."),
        Registry::Instance().GetCounter("valtd_client_requests_answered_total",
                                        "Requests to clients that the client answered."),
        Registry::Instance().GetCounter(
            "valtd_client_requests_timed_out_total",
            "Requests to clients left unanswered for the request time-out."),
        Registry::Instance().GetCounter("valtd_events_queued_total",
                                        "Requests queued for clients (event deliveries)."),
        Registry::Instance().GetCounter("valtd_events_dropped_total",
                                        "Requests not queued because the client's queue was full."),
    };
    return c;
}

}  // namespace server_metrics
