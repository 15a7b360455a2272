// The daemon's own counters, gauges and histograms, and their text in the
// Prometheus exposition format.
//
// A metric is registered once (by name, help text and a label set written as
// `key="value",...`; Label() escapes a value) and the reference kept: the
// hot path is one relaxed atomic add, no lock. A gauge may instead be a
// callback, asked at each scrape or status request, for values that live
// elsewhere (a spool's depth, the oldest entry's age):
//
//     const int id = metrics::Registry::Instance().AddGaugeCallback(
//         "valtd_cdr_spool_depth", "CDRs waiting in the spool", "",
//         [this] { return static_cast<double>(Depth()); });
//     ...
//     metrics::Registry::Instance().RemoveGaugeCallback(id);  // before `this` goes
//
// Threads: any thread registers, updates and renders. mMutex guards the
// families and their series lists; a series' value is its own atomic. A
// callback runs under mMutex on the rendering thread (the connection
// thread), so that once RemoveGaugeCallback returns it never runs again; it
// must be quick, must not call the registry and must take no lock that is
// held while the registry is called.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace metrics {

class Counter {
  public:
    void Add(std::uint64_t n = 1) { mValue.fetch_add(n, std::memory_order_relaxed); }
    std::uint64_t Value() const { return mValue.load(std::memory_order_relaxed); }

  private:
    std::atomic<std::uint64_t> mValue{0};
};

class Gauge {
  public:
    void Set(std::int64_t v) { mValue.store(v, std::memory_order_relaxed); }
    void Add(std::int64_t n) { mValue.fetch_add(n, std::memory_order_relaxed); }
    std::int64_t Value() const { return mValue.load(std::memory_order_relaxed); }

  private:
    std::atomic<std::int64_t> mValue{0};
};

// Observations in seconds against fixed upper bounds.
class Histogram {
  public:
    explicit Histogram(std::vector<double> bounds);
    void Observe(double seconds);
    const std::vector<double>& Bounds() const { return mBounds; }
    // Per bucket (not cumulative), the last one above every bound.
    std::vector<std::uint64_t> Buckets() const;
    double Sum() const;

  private:
    std::vector<double> mBounds;
    std::unique_ptr<std::atomic<std::uint64_t>[]> mCounts;  // mBounds.size() + 1
    std::atomic<std::uint64_t> mSumMicros{0};
};

// `key="value"` with the value escaped for the exposition format.
std::string Label(const char* key, const std::string& value);

class Registry {
  public:
    using GaugeFn = std::function<double()>;
    struct Sample {
        std::string name;    // with _count / _sum for a histogram
        std::string labels;  // as registered
        double value;
    };

    static Registry& Instance();
    Registry();
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // The series of `name` with `labels`, made on first use; the reference
    // stays valid for the life of the registry. A name registered before
    // with another type gets a series that is never rendered.
    Counter& GetCounter(const std::string& name, const std::string& help,
                        const std::string& labels = "");
    Gauge& GetGauge(const std::string& name, const std::string& help,
                    const std::string& labels = "");
    Histogram& GetHistogram(const std::string& name, const std::string& help,
                            const std::vector<double>& bounds, const std::string& labels = "");
    // A gauge whose value `fn` gives at each render; the id removes it.
    int AddGaugeCallback(const std::string& name, const std::string& help,
                         const std::string& labels, GaugeFn fn);
    void RemoveGaugeCallback(int id);

    // Every family with its HELP and TYPE lines, in registration order.
    std::string Render() const;
    // Every value (histograms as their count and sum), for the status view.
    std::vector<Sample> Samples() const;

  private:
    enum class Type { kCounter, kGauge, kHistogram };
    struct Series;
    struct Family;
    Series& Find(const std::string& name, const std::string& help, Type type,
                 const std::string& labels, const std::vector<double>* bounds);

    mutable std::mutex mMutex;
    std::vector<std::unique_ptr<Family>> mFamilies;
    int mnNextCallback = 1;
};

// The log's counters (base/LogManager, base/LogStream).
struct LogCounters {
    Counter& lines;
    Counter& bytes;
    Counter& rotations;
};
LogCounters& LogMetrics();

// Resident memory, open descriptors and uptime of this process, as
// callback gauges (once, from main).
void RegisterProcessMetrics();

}  // namespace metrics
