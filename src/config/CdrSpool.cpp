#include "config/CdrSpool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/Metrics.h"
#include "base/RootPath.h"
#include "exchange/ExchangeCodec.h"

namespace {

CdrSpool::LogSink gLogSink = nullptr;
std::atomic<void (*)()> gCommitHook{nullptr};

// The newest committed records kept in memory, so that live delivery reads
// no file.
const size_t kTailRecords = 4096;
// How often opening a failing spool is tried again, and a failure logged.
const auto kRetryInterval = std::chrono::seconds(60);
// Acknowledgements are written at most this often by FlushAcks: one
// transaction for many answers.
const auto kAckInterval = std::chrono::milliseconds(200);
// Consumers kept: every (account, subscription ID) that ever subscribed is
// one, so a client that keeps choosing new IDs must not grow the file.
const size_t kMaxConsumers = 1000;
// Records examined per statement when retention looks for the oldest.
const int kRetentionStep = 512;

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS records(seq INTEGER PRIMARY KEY, arrived INTEGER NOT NULL, "
    "guid TEXT NOT NULL, bytes INTEGER NOT NULL, payload BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS consumers(account TEXT NOT NULL, sub INTEGER NOT NULL, "
    "floor INTEGER NOT NULL, PRIMARY KEY(account, sub));"
    "CREATE TABLE IF NOT EXISTS acks(account TEXT NOT NULL, sub INTEGER NOT NULL, "
    "seq INTEGER NOT NULL, PRIMARY KEY(account, sub, seq));"
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL);";

sqlite3_int64 I64(unsigned long long v) {
    return static_cast<sqlite3_int64>(v);
}

std::string Encode(const SpooledCdr& r) {
    exlink::CDRArrivedEv ev;
    ev.cdrType = r.kind;
    ev.cdr = r.cdr;
    ev.statistics = r.statistics;
    return exlink::EncodeMessage(ev);
}

}  // namespace

CdrSpool& CdrSpool::Instance() {
    static CdrSpool spool;
    return spool;
}

std::string CdrSpool::DefaultPath() {
    return RootPath("/var/spool/valtd/cdr.db");
}

void CdrSpool::SetLogSink(LogSink sink) {
    gLogSink = sink;
}

CdrSpool::~CdrSpool() {
    Close();
}

void CdrSpool::Log(const char* format, ...) {
    if (gLogSink == nullptr) {
        return;
    }
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    gLogSink(line);
}

namespace {

// The spool's counters and gauges, registered by the first Open: a daemon
// without the spool shows none of them.
struct SpoolMetrics {
    metrics::Counter& acknowledged;
    metrics::Counter& dropped;
};

SpoolMetrics& Metrics(const CdrSpool& spool) {
    static SpoolMetrics& m = [&spool]() -> SpoolMetrics& {
        metrics::Registry& r = metrics::Registry::Instance();
        r.AddGaugeCallback("valtd_cdr_spool_depth", "Call-detail records retained in the spool.",
                           "", [&spool] { return static_cast<double>(spool.Depth()); });
        r.AddGaugeCallback("valtd_cdr_spool_bytes", "Bytes of the records retained in the spool.",
                           "", [&spool] { return static_cast<double>(spool.RetainedBytes()); });
        r.AddGaugeCallback(
            "valtd_cdr_spool_oldest_age_seconds", "Age of the oldest retained record.", "",
            [&spool] { return static_cast<double>(spool.OldestAge(std::time(nullptr))); });
        r.AddGaugeCallback("valtd_cdr_spool_failing",
                           "1 while the spool cannot be written and records go out live only.", "",
                           [&spool] { return spool.Failing() ? 1.0 : 0.0; });
        return *new SpoolMetrics{
            r.GetCounter("valtd_cdr_spool_acknowledged_total",
                         "Records acknowledged by a CDR subscriber."),
            r.GetCounter("valtd_cdr_spool_dropped_total",
                         "Records retention removed before every subscriber acknowledged them.")};
    }();
    return m;
}

}  // namespace

void CdrSpool::Fail(const std::string& what) {
    mError = what;
    mFailing = true;
    const auto now = std::chrono::steady_clock::now();
    if (mLastFailLog == std::chrono::steady_clock::time_point{} ||
        now - mLastFailLog >= kRetryInterval) {
        mLastFailLog = now;
        Log("CdrSpool: ERROR. %s; records are delivered live only, retrying every minute\n",
            what.c_str());
    }
}

bool CdrSpool::Exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(mDb.get(), sql, nullptr, nullptr, &message) == SQLITE_OK) {
        return true;
    }
    std::string what = std::string(mPath) + ": " + (message != nullptr ? message : "error");
    sqlite3_free(message);
    Fail(what);
    return false;
}

bool CdrSpool::Open(const std::string& path, const CdrSpoolLimits& limits) {
    Metrics(*this);  // registered outside mMutex
    ThreadMutexLock lock(mMutex);
    CloseLocked();
    mPath = path;
    mLimits = limits;
    mbEnabled = true;
    ++mGeneration;
    mError.clear();
    mFailing = false;
    mLastFailLog = {};
    return OpenLocked();
}

bool CdrSpool::OpenLocked() {
    mLastOpenTry = std::chrono::steady_clock::now();
    const std::string::size_type slash = mPath.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        MakeDirectories(mPath.substr(0, slash), 0700);
    }
    // Created here so that it is 0600 whatever the umask; SQLite gives its
    // journal files the database file's mode.
    const int fd = ::open(mPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        Fail(mPath + ": " + std::strerror(errno));
        return false;
    }
    ::fchmod(fd, 0600);
    ::close(fd);
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(mPath.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    mDb.reset(raw);
    if (rc != SQLITE_OK) {
        Fail(mPath + ": " + (raw != nullptr ? sqlite3_errmsg(raw) : "cannot open"));
        mDb.reset();
        return false;
    }
    sqlite3_busy_timeout(mDb.get(), 1000);
    // auto_vacuum applies to a new file only: retention gives pages back.
    if (!Exec("PRAGMA auto_vacuum=INCREMENTAL") || !Exec("PRAGMA journal_mode=WAL") ||
        !Exec(kSchema) || !LoadLocked()) {
        mDb.reset();
        return false;
    }
    mError.clear();
    mFailing = false;
    Log("CdrSpool: open, %llu records, next sequence number %llu (%s)\n", mCount.load(), mNextSeq,
        mPath.c_str());
    return true;
}

bool CdrSpool::LoadLocked() {
    mConsumers.clear();
    mForgotten.clear();
    mTail.clear();
    mNextSeq = 1;
    mCount = mBytes = 0;
    mOldest = 0;
    SqliteStatement s =
        PrepareConfigStatement(mDb.get(),
                               "SELECT COUNT(*), COALESCE(SUM(bytes),0), COALESCE(MIN(arrived),0), "
                               "COALESCE(MAX(seq),0) FROM records");
    if (!s || sqlite3_step(s.get()) != SQLITE_ROW) {
        Fail(mPath + ": " + sqlite3_errmsg(mDb.get()));
        return false;
    }
    mCount = static_cast<unsigned long long>(sqlite3_column_int64(s.get(), 0));
    mBytes = static_cast<unsigned long long>(sqlite3_column_int64(s.get(), 1));
    mOldest = sqlite3_column_int64(s.get(), 2);
    mNextSeq = static_cast<unsigned long long>(sqlite3_column_int64(s.get(), 3)) + 1;
    SqliteStatement m = PrepareConfigStatement(mDb.get(), "SELECT key, value FROM meta");
    while (m && sqlite3_step(m.get()) == SQLITE_ROW) {
        const std::string key = ConfigColumnText(m.get(), 0);
        const auto value = static_cast<unsigned long long>(sqlite3_column_int64(m.get(), 1));
        if (key == "next_seq" && value > mNextSeq) {
            mNextSeq = value;  // records removed by retention are never numbered again
        }
    }
    SqliteStatement c =
        PrepareConfigStatement(mDb.get(), "SELECT account, sub, floor FROM consumers");
    while (c && sqlite3_step(c.get()) == SQLITE_ROW) {
        Consumer& consumer =
            mConsumers[{ConfigColumnText(c.get(), 0),
                        static_cast<unsigned long long>(sqlite3_column_int64(c.get(), 1))}];
        consumer.floor = static_cast<unsigned long long>(sqlite3_column_int64(c.get(), 2));
    }
    SqliteStatement a = PrepareConfigStatement(mDb.get(), "SELECT account, sub, seq FROM acks");
    while (a && sqlite3_step(a.get()) == SQLITE_ROW) {
        const ConsumerKey key{ConfigColumnText(a.get(), 0),
                              static_cast<unsigned long long>(sqlite3_column_int64(a.get(), 1))};
        auto found = mConsumers.find(key);
        const auto seq = static_cast<unsigned long long>(sqlite3_column_int64(a.get(), 2));
        if (found != mConsumers.end() && seq >= found->second.floor) {
            found->second.acked.insert(seq);
        }
    }
    if (!c || !a || !m) {
        Fail(mPath + ": " + sqlite3_errmsg(mDb.get()));
        return false;
    }
    mLastSeq.store(mNextSeq - 1, std::memory_order_release);
    return true;
}

void CdrSpool::Close() {
    // What was taken is committed before the spool goes.
    Flush(static_cast<long long>(std::time(nullptr)));
    ThreadMutexLock lock(mMutex);
    CloseLocked();
    mbEnabled = false;
    mFailing = false;
}

void CdrSpool::CloseLocked() {
    mDb.reset();
    mTail.clear();
}

void CdrSpool::SetLimits(const CdrSpoolLimits& limits) {
    ThreadMutexLock lock(mMutex);
    mLimits = limits;
}

bool CdrSpool::Enabled() const {
    ThreadMutexLock lock(mMutex);
    return mbEnabled;
}

bool CdrSpool::Healthy() const {
    ThreadMutexLock lock(mMutex);
    return mbEnabled && mDb != nullptr;
}

std::string CdrSpool::LastError() const {
    ThreadMutexLock lock(mMutex);
    return mError;
}

void CdrSpool::Append(int kind, const RcCDR& cdr, const CallStatistics* statistics, long long now) {
    ThreadMutexLock lock(mMutex);
    SpooledCdr r;
    r.arrived = now;
    r.kind = kind;
    r.cdr = cdr;
    if (statistics != nullptr) {
        r.statistics = *statistics;
    }
    mPending.push_back(std::move(r));
}

bool CdrSpool::HasPending() const {
    ThreadMutexLock lock(mMutex);
    return !mPending.empty();
}

void CdrSpool::SetCommitHook(void (*hook)()) {
    gCommitHook.store(hook);
}

std::vector<SpooledCdr> CdrSpool::Flush(long long now, size_t* committed) {
    size_t count = 0;
    std::vector<SpooledCdr> live = FlushLocked(now, count);
    if (committed != nullptr) {
        *committed = count;
    }
    if (count != 0) {
        if (void (*hook)() = gCommitHook.load()) {
            hook();
        }
    }
    return live;
}

std::vector<SpooledCdr> CdrSpool::FlushLocked(long long now, size_t& committed) {
    ThreadMutexLock lock(mMutex);
    std::vector<SpooledCdr> batch;
    batch.swap(mPending);
    if (!mbEnabled) {
        return batch;
    }
    if (!mDb) {
        if (std::chrono::steady_clock::now() - mLastOpenTry < kRetryInterval || !OpenLocked()) {
            Fail(mError);
            return batch;
        }
    }
    const bool aged =
        mLimits.maxAgeSeconds > 0 && mCount > 0 && mOldest < now - mLimits.maxAgeSeconds;
    if (batch.empty() && !mbAcksDirty && !aged) {
        return batch;
    }
    // Records are what the spool exists for: their commit waits for the disk.
    Exec(batch.empty() ? "PRAGMA synchronous=NORMAL" : "PRAGMA synchronous=FULL");
    bool ok = Exec("BEGIN IMMEDIATE");
    unsigned long long seq = mNextSeq;
    unsigned long long added = 0;
    SqliteStatement insert = PrepareConfigStatement(
        mDb.get(), "INSERT INTO records(seq, arrived, guid, bytes, payload) VALUES(?,?,?,?,?)");
    ok = ok && insert != nullptr;
    for (SpooledCdr& r : batch) {
        if (!ok) {
            break;
        }
        const std::string payload = Encode(r);
        r.seq = seq++;
        sqlite3_bind_int64(insert.get(), 1, I64(r.seq));
        sqlite3_bind_int64(insert.get(), 2, r.arrived);
        sqlite3_bind_text(insert.get(), 3, r.cdr.callGuid.data(),
                          static_cast<int>(r.cdr.callGuid.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert.get(), 4, static_cast<sqlite3_int64>(payload.size()));
        sqlite3_bind_blob(insert.get(), 5, payload.data(), static_cast<int>(payload.size()),
                          SQLITE_TRANSIENT);
        ok = sqlite3_step(insert.get()) == SQLITE_DONE;
        sqlite3_reset(insert.get());
        added += payload.size();
    }
    if (!ok) {
        Fail(mPath + ": " + sqlite3_errmsg(mDb.get()));
    }
    insert.reset();
    ok = ok && WriteConsumersLocked();
    if (ok && !batch.empty()) {
        char sql[96];
        std::snprintf(sql, sizeof sql, "INSERT OR REPLACE INTO meta VALUES('next_seq', %llu)", seq);
        ok = Exec(sql);
    }
    const unsigned long long countBefore = mCount;
    const unsigned long long bytesBefore = mBytes;
    const long long oldestBefore = mOldest;
    if (ok) {
        mCount += batch.size();
        mBytes += added;
        if (countBefore == 0 && !batch.empty()) {
            mOldest = batch.front().arrived;
        }
    }
    unsigned long long removed = 0;
    unsigned long long unacked = 0;
    ok = ok && RetainLocked(now, removed, unacked);
    ok = ok && Exec("COMMIT");
    if (!ok) {
        sqlite3_exec(mDb.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        mCount = countBefore;
        mBytes = bytesBefore;
        mOldest = oldestBefore;
        // The in-memory state may be ahead of the file: read again on reopen.
        CloseLocked();
        for (SpooledCdr& r : batch) {
            r.seq = 0;
        }
        return batch;
    }
    mbAcksDirty = false;
    for (auto& entry : mConsumers) {
        entry.second.dirty = false;
    }
    if (removed != 0) {
        mDropped += unacked;
        Metrics(*this).dropped.Add(unacked);
        Log("CdrSpool: retention removed %llu records, %llu of them unacknowledged (%llu "
            "retained, %llu bytes)\n",
            removed, unacked, mCount.load(), mBytes.load());
        sqlite3_exec(mDb.get(), "PRAGMA incremental_vacuum", nullptr, nullptr, nullptr);
    }
    mNextSeq = seq;
    mLastSeq.store(mNextSeq - 1, std::memory_order_release);
    for (SpooledCdr& r : batch) {
        mTail.push_back(r);
    }
    // The retained records are the last mCount numbers: retention may have
    // taken some of this batch already.
    while (mTail.size() > kTailRecords || mTail.size() > mCount) {
        mTail.pop_front();
    }
    committed = batch.size();
    return {};
}

bool CdrSpool::WriteConsumersLocked() {
    SqliteStatement upsert =
        PrepareConfigStatement(mDb.get(), "INSERT OR REPLACE INTO consumers VALUES(?,?,?)");
    SqliteStatement clear =
        PrepareConfigStatement(mDb.get(), "DELETE FROM acks WHERE account=? AND sub=?");
    SqliteStatement forget =
        PrepareConfigStatement(mDb.get(), "DELETE FROM consumers WHERE account=? AND sub=?");
    SqliteStatement add = PrepareConfigStatement(mDb.get(), "INSERT INTO acks VALUES(?,?,?)");
    if (!upsert || !clear || !add || !forget) {
        Fail(mPath + ": " + sqlite3_errmsg(mDb.get()));
        return false;
    }
    for (const ConsumerKey& key : mForgotten) {
        for (sqlite3_stmt* st : {forget.get(), clear.get()}) {
            sqlite3_bind_text(st, 1, key.first.data(), static_cast<int>(key.first.size()),
                              SQLITE_TRANSIENT);
            sqlite3_bind_int64(st, 2, I64(key.second));
            const bool done = sqlite3_step(st) == SQLITE_DONE;
            sqlite3_reset(st);
            if (!done) {
                Fail(mPath + ": " + sqlite3_errmsg(mDb.get()));
                return false;
            }
        }
    }
    mForgotten.clear();
    for (auto& [key, c] : mConsumers) {
        if (!c.dirty) {
            continue;
        }
        CompactLocked(c);
        bool ok = true;
        for (sqlite3_stmt* s : {upsert.get(), clear.get()}) {
            sqlite3_bind_text(s, 1, key.first.data(), static_cast<int>(key.first.size()),
                              SQLITE_TRANSIENT);
            sqlite3_bind_int64(s, 2, I64(key.second));
        }
        sqlite3_bind_int64(upsert.get(), 3, I64(c.floor));
        ok = sqlite3_step(upsert.get()) == SQLITE_DONE && sqlite3_step(clear.get()) == SQLITE_DONE;
        sqlite3_reset(upsert.get());
        sqlite3_reset(clear.get());
        for (unsigned long long seq : c.acked) {
            if (!ok) {
                break;
            }
            sqlite3_bind_text(add.get(), 1, key.first.data(), static_cast<int>(key.first.size()),
                              SQLITE_TRANSIENT);
            sqlite3_bind_int64(add.get(), 2, I64(key.second));
            sqlite3_bind_int64(add.get(), 3, I64(seq));
            ok = sqlite3_step(add.get()) == SQLITE_DONE;
            sqlite3_reset(add.get());
        }
        if (!ok) {
            Fail(mPath + ": " + sqlite3_errmsg(mDb.get()));
            return false;
        }
    }
    return true;
}

void CdrSpool::CompactLocked(Consumer& c) {
    if (c.acked.empty()) {
        return;
    }
    // The floor moves over records acknowledged, and over numbers no record
    // has any more (removed by retention).
    SqliteStatement s =
        PrepareConfigStatement(mDb.get(), "SELECT seq FROM records WHERE seq >= ? ORDER BY seq");
    if (!s) {
        return;
    }
    sqlite3_bind_int64(s.get(), 1, I64(c.floor));
    unsigned long long next = mNextSeq;
    while (sqlite3_step(s.get()) == SQLITE_ROW) {
        const auto seq = static_cast<unsigned long long>(sqlite3_column_int64(s.get(), 0));
        if (c.acked.count(seq) == 0) {
            next = seq;
            break;
        }
    }
    c.floor = std::max(c.floor, next);
    c.acked.erase(c.acked.begin(), c.acked.lower_bound(c.floor));
}

bool CdrSpool::AckedByAll(unsigned long long seq) const {
    if (mConsumers.empty()) {
        return false;
    }
    for (const auto& entry : mConsumers) {
        const Consumer& c = entry.second;
        if (seq >= c.floor && c.acked.count(seq) == 0) {
            return false;
        }
    }
    return true;
}

bool CdrSpool::RetainLocked(long long now, unsigned long long& removed,
                            unsigned long long& unacked) {
    const auto over = [&](long long arrived) {
        return (mLimits.maxRecords > 0 &&
                mCount > static_cast<unsigned long long>(mLimits.maxRecords)) ||
               (mLimits.maxBytes > 0 &&
                mBytes > static_cast<unsigned long long>(mLimits.maxBytes)) ||
               (mLimits.maxAgeSeconds > 0 && mCount > 0 && arrived < now - mLimits.maxAgeSeconds);
    };
    if (mCount == 0 || !over(mOldest)) {
        return true;
    }
    SqliteStatement oldest = PrepareConfigStatement(
        mDb.get(), "SELECT seq, bytes, arrived FROM records WHERE seq > ? ORDER BY seq LIMIT ?");
    if (!oldest) {
        Fail(mPath + ": " + sqlite3_errmsg(mDb.get()));
        return false;
    }
    unsigned long long cut = 0;  // records up to this one go
    for (bool more = true; more;) {
        sqlite3_bind_int64(oldest.get(), 1, I64(cut));
        sqlite3_bind_int(oldest.get(), 2, kRetentionStep);
        int rows = 0;
        while (sqlite3_step(oldest.get()) == SQLITE_ROW) {
            ++rows;
            const auto seq = static_cast<unsigned long long>(sqlite3_column_int64(oldest.get(), 0));
            const auto bytes =
                static_cast<unsigned long long>(sqlite3_column_int64(oldest.get(), 1));
            if (!over(sqlite3_column_int64(oldest.get(), 2))) {
                more = false;
                break;
            }
            cut = seq;
            ++removed;
            unacked += AckedByAll(seq) ? 0 : 1;
            --mCount;
            mBytes -= std::min(mBytes.load(), bytes);
        }
        sqlite3_reset(oldest.get());
        more = more && rows == kRetentionStep;
    }
    if (cut == 0) {
        return true;
    }
    char sql[96];
    std::snprintf(sql, sizeof sql, "DELETE FROM records WHERE seq <= %llu", cut);
    if (!Exec(sql)) {
        return false;
    }
    std::snprintf(sql, sizeof sql, "DELETE FROM acks WHERE seq <= %llu", cut);
    if (!Exec(sql)) {
        return false;
    }
    if (mCount == 0) {
        mOldest = 0;
    } else {
        SqliteStatement first =
            PrepareConfigStatement(mDb.get(), "SELECT arrived FROM records ORDER BY seq LIMIT 1");
        if (first && sqlite3_step(first.get()) == SQLITE_ROW) {
            mOldest = sqlite3_column_int64(first.get(), 0);
        }
    }
    for (auto& entry : mConsumers) {
        Consumer& c = entry.second;
        c.acked.erase(c.acked.begin(), c.acked.upper_bound(cut));
        c.floor = std::max(c.floor, cut + 1);
    }
    while (!mTail.empty() && mTail.front().seq <= cut) {
        mTail.pop_front();
    }
    return true;
}

unsigned long long CdrSpool::OpenConsumer(const std::string& account, unsigned long long id) {
    ThreadMutexLock lock(mMutex);
    const ConsumerKey key{account, id};
    auto found = mConsumers.find(key);
    if (found != mConsumers.end()) {
        return found->second.floor;
    }
    // Everything below the highest floor is acknowledged by that consumer;
    // above it, what any consumer acknowledged. The newcomer takes the rest.
    Consumer fresh;
    for (const auto& entry : mConsumers) {
        fresh.floor = std::max(fresh.floor, entry.second.floor);
    }
    for (const auto& entry : mConsumers) {
        fresh.acked.insert(entry.second.acked.lower_bound(fresh.floor), entry.second.acked.end());
    }
    fresh.dirty = true;
    mbAcksDirty = true;
    if (mConsumers.size() >= kMaxConsumers) {
        // The one furthest behind goes: it starts afresh if it ever comes back.
        auto behind = mConsumers.begin();
        for (auto it = mConsumers.begin(); it != mConsumers.end(); ++it) {
            behind = it->second.floor < behind->second.floor ? it : behind;
        }
        Log("CdrSpool: more than %zu consumers; forgetting '%s' %llu\n", kMaxConsumers,
            behind->first.first.c_str(), behind->first.second);
        mForgotten.push_back(behind->first);
        mConsumers.erase(behind);
    }
    Log("CdrSpool: new consumer '%s' %llu starts at %llu\n", account.c_str(), id, fresh.floor);
    return mConsumers.emplace(key, std::move(fresh)).first->second.floor;
}

bool CdrSpool::Decode(const std::string& payload, SpooledCdr& out) {
    exlink::ExchangeMessage message;
    std::string error;
    if (!exlink::DecodeMessage(payload.data(), payload.size(), message, error)) {
        return false;
    }
    const auto* ev = std::get_if<exlink::CDRArrivedEv>(&message);
    if (ev == nullptr) {
        return false;
    }
    out.kind = ev->cdrType;
    out.cdr = ev->cdr;
    out.statistics = ev->statistics;
    return true;
}

bool CdrSpool::ReadRecords(unsigned long long from, size_t limit, std::vector<SpooledCdr>& out) {
    if (!mDb) {
        return false;
    }
    SqliteStatement s = PrepareConfigStatement(
        mDb.get(), "SELECT seq, arrived, payload FROM records WHERE seq >= ? ORDER BY seq LIMIT ?");
    if (!s) {
        return false;
    }
    sqlite3_bind_int64(s.get(), 1, I64(from));
    sqlite3_bind_int64(s.get(), 2, static_cast<sqlite3_int64>(limit));
    while (sqlite3_step(s.get()) == SQLITE_ROW) {
        SpooledCdr r;
        r.seq = static_cast<unsigned long long>(sqlite3_column_int64(s.get(), 0));
        r.arrived = sqlite3_column_int64(s.get(), 1);
        const void* blob = sqlite3_column_blob(s.get(), 2);
        const std::string payload(static_cast<const char*>(blob),
                                  static_cast<size_t>(sqlite3_column_bytes(s.get(), 2)));
        if (Decode(payload, r)) {
            out.push_back(std::move(r));
        }
    }
    return true;
}

std::vector<SpooledCdr> CdrSpool::Next(const std::string& account, unsigned long long id,
                                       unsigned long long from, size_t limit) {
    ThreadMutexLock lock(mMutex);
    std::vector<SpooledCdr> out;
    auto found = mConsumers.find({account, id});
    if (found == mConsumers.end() || !mDb) {
        return out;
    }
    const Consumer& c = found->second;
    unsigned long long at = std::max(from, c.floor);
    const auto wanted = [&](unsigned long long seq) { return c.acked.count(seq) == 0; };
    // A few rounds at most: records acknowledged out of order are skipped.
    for (int round = 0; round < 4 && out.size() < limit && at < mNextSeq; ++round) {
        if (!mTail.empty() && at >= mTail.front().seq) {
            for (size_t i = static_cast<size_t>(at - mTail.front().seq);
                 i < mTail.size() && out.size() < limit; ++i) {
                if (wanted(mTail[i].seq)) {
                    out.push_back(mTail[i]);
                }
                at = mTail[i].seq + 1;
            }
            break;
        }
        // Acknowledged records next in line are passed over without reading.
        for (auto next = c.acked.lower_bound(at); next != c.acked.end() && *next == at; ++next) {
            ++at;
        }
        std::vector<SpooledCdr> read;
        if (!ReadRecords(at, limit - out.size(), read) || read.empty()) {
            break;
        }
        for (SpooledCdr& r : read) {
            if (out.size() >= limit) {
                break;
            }
            at = r.seq + 1;
            if (wanted(r.seq)) {
                out.push_back(std::move(r));
            }
        }
    }
    return out;
}

void CdrSpool::Ack(const std::string& account, unsigned long long id,
                   const std::vector<unsigned long long>& seqs) {
    ThreadMutexLock lock(mMutex);
    auto found = mConsumers.find({account, id});
    if (found == mConsumers.end()) {
        return;
    }
    Consumer& c = found->second;
    for (unsigned long long seq : seqs) {
        if (seq >= c.floor && c.acked.insert(seq).second) {
            ++mAcked;
            Metrics(*this).acknowledged.Add();
            c.dirty = true;
            mbAcksDirty = true;
        }
    }
    // Acknowledgements in order move the floor at once, so the set stays
    // small while a burst is delivered and its commit keeps the acks waiting.
    while (!c.acked.empty() && *c.acked.begin() == c.floor) {
        c.acked.erase(c.acked.begin());
        ++c.floor;
    }
}

bool CdrSpool::AcksPending() const {
    ThreadMutexLock lock(mMutex);
    return mbAcksDirty && mDb != nullptr;
}

void CdrSpool::FlushAcks(bool now) {
    ThreadMutexLock lock(mMutex);
    if (!mbAcksDirty || !mDb || !mPending.empty()) {
        return;  // written with the records' commit
    }
    const auto at = std::chrono::steady_clock::now();
    if (!now && at - mLastAckWrite < kAckInterval) {
        return;
    }
    mLastAckWrite = at;
    Exec("PRAGMA synchronous=NORMAL");
    bool ok = Exec("BEGIN IMMEDIATE") && WriteConsumersLocked() && Exec("COMMIT");
    if (!ok) {
        sqlite3_exec(mDb.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        return;
    }
    mbAcksDirty = false;
    for (auto& entry : mConsumers) {
        entry.second.dirty = false;
    }
}

std::vector<SpooledCdr> CdrSpool::Range(unsigned long long from, size_t limit) {
    ThreadMutexLock lock(mMutex);
    std::vector<SpooledCdr> out;
    ReadRecords(from, limit, out);
    return out;
}

unsigned long long CdrSpool::Depth() const {
    return mCount;
}

long long CdrSpool::OldestAge(long long now) const {
    return mCount == 0 ? 0 : std::max(0LL, now - mOldest.load());
}

unsigned long long CdrSpool::AckedCount() const {
    return mAcked;
}

unsigned long long CdrSpool::DroppedCount() const {
    return mDropped;
}

unsigned long long CdrSpool::RetainedBytes() const {
    return mBytes;
}
