// The cost of counting and of a scrape: a counter's add on the hot path
// (alone and from two threads at once), a histogram observation, and the
// text of a registry holding every series of the control server, the policy
// client and the process.
#include <benchmark/benchmark.h>

#include "base/Metrics.h"
#include "server/ServerMetrics.h"

namespace {

void BM_CounterAdd(benchmark::State& state) {
    static metrics::Counter& c = metrics::Registry::Instance().GetCounter("b_total", "B.");
    for (auto _ : state) {
        c.Add();
    }
    benchmark::DoNotOptimize(c.Value());
}
BENCHMARK(BM_CounterAdd)->Threads(1)->Threads(2);

void BM_RequestCounted(benchmark::State& state) {
    server_metrics::Register();
    for (auto _ : state) {
        server_metrics::CountRequest(1, server_metrics::kAnswered);
    }
}
BENCHMARK(BM_RequestCounted);

void BM_HistogramObserve(benchmark::State& state) {
    static metrics::Histogram& h = metrics::Registry::Instance().GetHistogram(
        "b_seconds", "B.", {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10});
    double v = 0.0001;
    for (auto _ : state) {
        h.Observe(v);
        v = v < 20 ? v * 1.5 : 0.0001;
    }
}
BENCHMARK(BM_HistogramObserve);

void BM_Scrape(benchmark::State& state) {
    server_metrics::Register();
    metrics::RegisterProcessMetrics();
    size_t bytes = 0;
    for (auto _ : state) {
        bytes = metrics::Registry::Instance().Render().size();
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_Scrape);

}  // namespace
