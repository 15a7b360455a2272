#include "base/Metrics.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using metrics::Label;
using metrics::Registry;

// The exposition text: HELP and TYPE once per family, labels as given, a
// histogram's buckets cumulative with +Inf equal to its count.
TEST(Metrics, RendersFamiliesSeriesAndCumulativeBuckets) {
    Registry r;
    r.GetCounter("t_requests_total", "Requests.", Label("method", "a\"b\\c\nd")).Add(3);
    r.GetCounter("t_requests_total", "Requests.", Label("method", "x")).Add();
    r.GetGauge("t_depth", "Depth.").Set(-2);
    metrics::Histogram& h = r.GetHistogram("t_seconds", "Time.", {0.1, 1});
    h.Observe(0.05);
    h.Observe(0.5);
    h.Observe(7);
    EXPECT_EQ(&r.GetGauge("t_depth", "Depth."), &r.GetGauge("t_depth", "Depth."));
    EXPECT_EQ(r.Render(),
              "# HELP t_requests_total Requests.\n"
              "# TYPE t_requests_total counter\n"
              "t_requests_total{method=\"a\\\"b\\\\c\\nd\"} 3\n"
              "t_requests_total{method=\"x\"} 1\n"
              "# HELP t_depth Depth.\n"
              "# TYPE t_depth gauge\n"
              "t_depth -2\n"
              "# HELP t_seconds Time.\n"
              "# TYPE t_seconds histogram\n"
              "t_seconds_bucket{le=\"0.1\"} 1\n"
              "t_seconds_bucket{le=\"1\"} 2\n"
              "t_seconds_bucket{le=\"+Inf\"} 3\n"
              "t_seconds_sum 7.55\n"
              "t_seconds_count 3\n");
    // Another type under a taken name is kept out of the text.
    r.GetGauge("t_requests_total", "Clash.").Set(9);
    EXPECT_EQ(r.Render().find(" 9\n"), std::string::npos);
}

TEST(Metrics, CallbackGaugesRunUntilRemoved) {
    Registry r;
    int calls = 0;
    const int id = r.AddGaugeCallback("t_spool_depth", "Depth.", Label("spool", "cdr"), [&calls] {
        ++calls;
        return 12.5;
    });
    EXPECT_NE(r.Render().find("t_spool_depth{spool=\"cdr\"} 12.5\n"), std::string::npos);
    ASSERT_EQ(r.Samples().size(), 1u);
    EXPECT_EQ(r.Samples()[0].value, 12.5);
    r.RemoveGaugeCallback(id);
    const int before = calls;
    EXPECT_EQ(r.Render(), "");  // no HELP line for a family without series
    EXPECT_EQ(calls, before);
}

// Updates from several threads lose nothing (and race with a renderer).
TEST(Metrics, ConcurrentUpdatesAddUp) {
    Registry r;
    metrics::Counter& c = r.GetCounter("t_total", "T.");
    metrics::Histogram& h = r.GetHistogram("t_h_seconds", "H.", {1});
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                c.Add();
                h.Observe(0.5);
            }
        });
    }
    threads.emplace_back([&r] {
        for (int i = 0; i < 50; ++i) {
            r.Render();
        }
    });
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(c.Value(), 40000u);
    EXPECT_EQ(h.Buckets()[0], 40000u);
}
