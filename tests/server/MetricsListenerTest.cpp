#include "server/MetricsListener.h"

#include <gtest/gtest.h>

#include "base/Metrics.h"

TEST(MetricsListener, SettingNamesAnAddressAndAPort) {
    const struct {
        const char* setting;
        bool ok;
        const char* host;
        unsigned short port;
    } cases[] = {
        {"9484", true, "127.0.0.1", 9484},  // a bare port: loopback only
        {"0.0.0.0:80", true, "0.0.0.0", 80}, {"[::1]:9484", true, "[::1]", 9484},
        {":9484", true, "", 9484},           {"::1:9484", false, "", 0},
        {"127.0.0.1:", false, "", 0},        {"127.0.0.1:70000", false, "", 0},
        {"127.0.0.1:0", false, "", 0},       {"port", false, "", 0},
        {"127.0.0.1:94x4", false, "", 0},
    };
    for (const auto& c : cases) {
        std::string host;
        unsigned short port = 0;
        ASSERT_EQ(c.ok, MetricsListener::ParseSetting(c.setting, host, port)) << c.setting;
        if (c.ok) {
            EXPECT_EQ(c.host, host) << c.setting;
            EXPECT_EQ(c.port, port) << c.setting;
        }
    }
}

TEST(MetricsListener, OnlyGetMetricsIsServed) {
    metrics::Registry::Instance().GetCounter("t_listener_total", "Probe.").Add();
    const std::string ok = MetricsListener::Answer("GET /metrics HTTP/1.1\r\nHost: x");
    EXPECT_EQ(0u, ok.find("HTTP/1.1 200 OK\r\n"));
    EXPECT_NE(std::string::npos, ok.find("\r\n\r\n# HELP "));
    EXPECT_NE(std::string::npos, ok.find("\nt_listener_total 1\n"));
    for (const char* head : {"GET /metricsx HTTP/1.1", "POST /metrics HTTP/1.1", "GET / HTTP/1.0",
                             "get /metrics HTTP/1.1"}) {
        EXPECT_EQ(0u, MetricsListener::Answer(head).find("HTTP/1.1 404 Not Found\r\n")) << head;
    }
}
