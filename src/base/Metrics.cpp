#include "base/Metrics.h"

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>

namespace metrics {

namespace {

// Numbers as the exposition format writes them: integers without a point.
void AppendNumber(std::string& out, double v) {
    char text[64];
    if (std::isinf(v)) {
        out += v > 0 ? "+Inf" : "-Inf";
        return;
    }
    if (std::isnan(v)) {
        out += "NaN";
        return;
    }
    if (v == std::floor(v) && std::fabs(v) < 1e15) {
        std::snprintf(text, sizeof text, "%.0f", v);
    } else {
        std::snprintf(text, sizeof text, "%.9g", v);
    }
    out += text;
}

void AppendSeries(std::string& out, const std::string& name, const std::string& labels,
                  const std::string& extra, double value) {
    out += name;
    if (!labels.empty() || !extra.empty()) {
        out += '{';
        out += labels;
        if (!labels.empty() && !extra.empty()) {
            out += ',';
        }
        out += extra;
        out += '}';
    }
    out += ' ';
    AppendNumber(out, value);
    out += '\n';
}

const std::chrono::steady_clock::time_point gStarted = std::chrono::steady_clock::now();

double OpenDescriptors() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return 0;
    }
    long count = 0;
    while (const dirent* entry = readdir(dir)) {
        count += entry->d_name[0] != '.' ? 1 : 0;
    }
    closedir(dir);
    return static_cast<double>(count - 1);  // the listing's own descriptor
}

double ResidentBytes() {
    FILE* f = std::fopen("/proc/self/statm", "re");
    if (f == nullptr) {
        return 0;
    }
    unsigned long size = 0;
    unsigned long resident = 0;
    const int got = std::fscanf(f, "%lu %lu", &size, &resident);
    std::fclose(f);
    return got == 2 ? static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE))
                    : 0;
}

}  // namespace

Histogram::Histogram(std::vector<double> bounds)
    : mBounds(std::move(bounds)), mCounts(new std::atomic<std::uint64_t>[mBounds.size() + 1]) {
    for (size_t i = 0; i <= mBounds.size(); ++i) {
        mCounts[i].store(0, std::memory_order_relaxed);
    }
}

void Histogram::Observe(double seconds) {
    size_t i = 0;
    while (i < mBounds.size() && seconds > mBounds[i]) {
        ++i;
    }
    mCounts[i].fetch_add(1, std::memory_order_relaxed);
    const double micros = seconds > 0 ? seconds * 1e6 : 0;
    mSumMicros.fetch_add(static_cast<std::uint64_t>(micros), std::memory_order_relaxed);
}

std::vector<std::uint64_t> Histogram::Buckets() const {
    std::vector<std::uint64_t> out(mBounds.size() + 1);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = mCounts[i].load(std::memory_order_relaxed);
    }
    return out;
}

double Histogram::Sum() const {
    return static_cast<double>(mSumMicros.load(std::memory_order_relaxed)) / 1e6;
}

std::string Label(const char* key, const std::string& value) {
    std::string out = key;
    out += "=\"";
    for (char c : value) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

struct Registry::Series {
    std::string labels;
    Counter counter;
    Gauge gauge;
    std::unique_ptr<Histogram> histogram;
    GaugeFn fn;
    int callbackId = 0;
};

struct Registry::Family {
    std::string name;
    std::string help;
    Type type;
    std::vector<std::unique_ptr<Series>> series;
};

Registry& Registry::Instance() {
    // Never destroyed: threads may count until the process is gone.
    static Registry& registry = *new Registry();
    return registry;
}

Registry::Registry() = default;
Registry::~Registry() = default;

Registry::Series& Registry::Find(const std::string& name, const std::string& help, Type type,
                                 const std::string& labels, const std::vector<double>* bounds) {
    Family* family = nullptr;
    for (const auto& f : mFamilies) {
        if (f->name == name) {
            family = f.get();
            break;
        }
    }
    if (family == nullptr) {
        mFamilies.push_back(std::make_unique<Family>(Family{name, help, type, {}}));
        family = mFamilies.back().get();
    } else if (family->type != type) {
        // A programming error; kept apart so that the text stays valid.
        static Series& orphan = *new Series();
        return orphan;
    }
    for (const auto& s : family->series) {
        if (s->labels == labels && s->callbackId == 0) {
            return *s;
        }
    }
    family->series.push_back(std::make_unique<Series>());
    Series& s = *family->series.back();
    s.labels = labels;
    if (bounds != nullptr) {
        s.histogram = std::make_unique<Histogram>(*bounds);
    }
    return s;
}

Counter& Registry::GetCounter(const std::string& name, const std::string& help,
                              const std::string& labels) {
    std::lock_guard<std::mutex> lock(mMutex);
    return Find(name, help, Type::kCounter, labels, nullptr).counter;
}

Gauge& Registry::GetGauge(const std::string& name, const std::string& help,
                          const std::string& labels) {
    std::lock_guard<std::mutex> lock(mMutex);
    return Find(name, help, Type::kGauge, labels, nullptr).gauge;
}

Histogram& Registry::GetHistogram(const std::string& name, const std::string& help,
                                  const std::vector<double>& bounds, const std::string& labels) {
    std::lock_guard<std::mutex> lock(mMutex);
    Series& s = Find(name, help, Type::kHistogram, labels, &bounds);
    if (!s.histogram) {
        s.histogram = std::make_unique<Histogram>(bounds);
    }
    return *s.histogram;
}

int Registry::AddGaugeCallback(const std::string& name, const std::string& help,
                               const std::string& labels, GaugeFn fn) {
    std::lock_guard<std::mutex> lock(mMutex);
    Family* family = nullptr;
    for (const auto& f : mFamilies) {
        if (f->name == name) {
            family = f.get();
        }
    }
    if (family == nullptr) {
        mFamilies.push_back(std::make_unique<Family>(Family{name, help, Type::kGauge, {}}));
        family = mFamilies.back().get();
    } else if (family->type != Type::kGauge) {
        return 0;
    }
    family->series.push_back(std::make_unique<Series>());
    Series& s = *family->series.back();
    s.labels = labels;
    s.fn = std::move(fn);
    s.callbackId = mnNextCallback++;
    return s.callbackId;
}

void Registry::RemoveGaugeCallback(int id) {
    if (id == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(mMutex);
    for (const auto& f : mFamilies) {
        for (auto it = f->series.begin(); it != f->series.end(); ++it) {
            if ((*it)->callbackId == id) {
                f->series.erase(it);
                return;
            }
        }
    }
}

std::string Registry::Render() const {
    std::string out;
    out.reserve(16384);
    std::lock_guard<std::mutex> lock(mMutex);
    for (const auto& f : mFamilies) {
        if (f->series.empty()) {
            continue;  // a callback family whose callbacks are gone
        }
        out += "# HELP " + f->name + " " + f->help + "\n";
        out += "# TYPE " + f->name +
               (f->type == Type::kCounter ? " counter\n"
                : f->type == Type::kGauge ? " gauge\n"
                                          : " histogram\n");
        for (const auto& s : f->series) {
            if (f->type == Type::kCounter) {
                AppendSeries(out, f->name, s->labels, "", static_cast<double>(s->counter.Value()));
            } else if (f->type == Type::kGauge) {
                const double v = s->fn ? s->fn() : static_cast<double>(s->gauge.Value());
                AppendSeries(out, f->name, s->labels, "", v);
            } else {
                const std::vector<std::uint64_t> counts = s->histogram->Buckets();
                const std::vector<double>& bounds = s->histogram->Bounds();
                std::uint64_t total = 0;
                for (size_t i = 0; i < counts.size(); ++i) {
                    total += counts[i];
                    std::string le = "le=\"";
                    if (i < bounds.size()) {
                        AppendNumber(le, bounds[i]);
                    } else {
                        le += "+Inf";
                    }
                    le += '"';
                    AppendSeries(out, f->name + "_bucket", s->labels, le,
                                 static_cast<double>(total));
                }
                AppendSeries(out, f->name + "_sum", s->labels, "", s->histogram->Sum());
                AppendSeries(out, f->name + "_count", s->labels, "", static_cast<double>(total));
            }
        }
    }
    return out;
}

std::vector<Registry::Sample> Registry::Samples() const {
    std::vector<Sample> out;
    std::lock_guard<std::mutex> lock(mMutex);
    for (const auto& f : mFamilies) {
        for (const auto& s : f->series) {
            if (f->type == Type::kCounter) {
                out.push_back({f->name, s->labels, static_cast<double>(s->counter.Value())});
            } else if (f->type == Type::kGauge) {
                out.push_back(
                    {f->name, s->labels, s->fn ? s->fn() : static_cast<double>(s->gauge.Value())});
            } else {
                std::uint64_t total = 0;
                for (std::uint64_t c : s->histogram->Buckets()) {
                    total += c;
                }
                out.push_back({f->name + "_count", s->labels, static_cast<double>(total)});
                out.push_back({f->name + "_sum", s->labels, s->histogram->Sum()});
            }
        }
    }
    return out;
}

LogCounters& LogMetrics() {
    static LogCounters& counters = *new LogCounters{
        Registry::Instance().GetCounter("valtd_log_lines_total", "Lines given to the log."),
        Registry::Instance().GetCounter("valtd_log_bytes_total", "Bytes written to the log file."),
        Registry::Instance().GetCounter("valtd_log_rotations_total",
                                        "Times the log file was rotated."),
    };
    return counters;
}

void RegisterProcessMetrics() {
    LogMetrics();
    Registry& r = Registry::Instance();
    r.AddGaugeCallback("valtd_process_resident_memory_bytes", "Resident memory of the daemon.", "",
                       ResidentBytes);
    r.AddGaugeCallback("valtd_process_open_fds", "Descriptors the daemon has open.", "",
                       OpenDescriptors);
    r.AddGaugeCallback("valtd_uptime_seconds", "Seconds since the daemon started.", "", [] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - gStarted).count();
    });
}

}  // namespace metrics
